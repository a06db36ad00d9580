#include "ControlServer.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>


namespace zelvan::fennic::agent {

namespace {

using web::json::value;

// A request line longer than this is refused; real ones are a few hundred bytes
// plus the data of one request.
constexpr std::size_t kMaxLine = 1 << 20;
constexpr int kDefaultWaitMs = 30000;

[[noreturn]] void Refuse(const std::string& path, const std::string& what) {
  throw std::runtime_error("control socket " + path + ": " + what);
}

value Error(const std::string& text) {
  value answer = value::object(true);
  answer["ok"] = value::boolean(false);
  answer["error"] = value::string(text);
  return answer;
}

value Ok() {
  value answer = value::object(true);
  answer["ok"] = value::boolean(true);
  return answer;
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) Refuse(path, "path too long");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// A socket left by an agent that died is replaced; a live agent's socket,
// or anything that is not a socket, is left alone.
void ClearStale(const std::string& path, const sockaddr_un& address) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return;
  if (!S_ISSOCK(info.st_mode)) Refuse(path, "something else than a socket is in the way");
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  if (live) Refuse(path, "another agent is listening on it");
  ::unlink(path.c_str());
}

}  // namespace

ControlServer::ControlServer(AgentHost& host) : host_(host), path_(host.Config().controlSocket) {
  if (!host.Config().controlGroup.empty()) {
    const group* found = ::getgrnam(host.Config().controlGroup.c_str());
    if (!found) Refuse(path_, "unknown group \"" + host.Config().controlGroup + "\"");
    group_ = found->gr_gid;
  }
  const sockaddr_un address = AddressOf(path_);
  ClearStale(path_, address);
  listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // Made private from the start; opened up to the group only afterwards.
  const mode_t old = ::umask(0177);
  const bool bound = ::bind(listen_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(old);
  if (!bound || ::listen(listen_, 16) != 0) {
    const int error = errno;
    ::close(listen_);
    Refuse(path_, std::strerror(error));
  }
  if ((group_ != static_cast<gid_t>(-1) && ::chown(path_.c_str(), static_cast<uid_t>(-1), group_) != 0) ||
      ::chmod(path_.c_str(), 0660) != 0) {
    const int error = errno;
    ::close(listen_);
    ::unlink(path_.c_str());
    Refuse(path_, std::strerror(error));
  }
  host_.Loop().Watch(listen_, [this] { Accept(); });
  host_.AddEventHandler(
      [this](int code, const std::string& text, const std::string& payload) { OnEvent(code, text, payload); });
}

ControlServer::~ControlServer() {
  while (!connections_.empty()) Close(connections_.begin()->first);
  host_.Loop().Unwatch(listen_);
  ::close(listen_);
  ::unlink(path_.c_str());
}

bool ControlServer::Allowed(int fd) const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  if (peer.uid == 0 || peer.uid == ::geteuid()) return true;
  if (group_ == static_cast<gid_t>(-1)) return false;
  if (peer.gid == group_) return true;
  // Supplementary groups count too; the kernel's credentials carry only the
  // primary one, the peer's status file has the rest.
  std::ifstream status("/proc/" + std::to_string(peer.pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Groups:", 0) == 0) {
      std::istringstream groups(line.substr(7));
      for (long gid = 0; groups >> gid;)
        if (static_cast<gid_t>(gid) == group_) return true;
    }
  return false;
}

void ControlServer::Accept() {
  for (;;) {
    const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    // A peer that does not read its answer cannot hold the loop.
    const timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (!Allowed(fd)) {
      const std::string line = Error("permission denied").serialize() + "\n";
      [[maybe_unused]] const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
      ::close(fd);
      continue;
    }
    connections_[fd];
    host_.Loop().Watch(fd, [this, fd] { Read(fd); });
  }
}

void ControlServer::Read(int fd) {
  char buffer[4096];
  const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return Close(fd);
  if (got < 0) return;
  Connection& connection = connections_[fd];
  // One request per connection: anything after it is ignored.
  if (connection.waiting) return;
  connection.input.append(buffer, static_cast<std::size_t>(got));
  const std::size_t end = connection.input.find('\n');
  if (end == std::string::npos) {
    if (connection.input.size() > kMaxLine) Answer(fd, Error("request line too long"));
    return;
  }
  Handle(fd, connection.input.substr(0, end));
}

void ControlServer::Handle(int fd, const std::string& line) {
  std::error_code error;
  const value request = value::parse(line, error);
  if (error || !request.is_object() || !request.has_string_field("command"))
    return Answer(fd, Error("malformed request: one JSON object with a \"command\" is expected"));
  const std::string command = request.at("command").as_string();
  std::set<int> wanted;
  if (request.has_field("waitFor")) {
    if (!request.at("waitFor").is_array()) return Answer(fd, Error("\"waitFor\" must be an array of event codes"));
    for (const auto& code : request.at("waitFor").as_array()) {
      if (!code.is_integer()) return Answer(fd, Error("\"waitFor\" must be an array of event codes"));
      wanted.insert(code.as_integer());
    }
  }
  value answer = Ok();
  if (command == "status") {
    answer["status"] = Status();
    return Answer(fd, answer);
  } else if (command == "heartbeat") {
    host_.BeatNow();
  } else if (command == "request") {
    if (!request.has_integer_field("code")) return Answer(fd, Error("\"request\" needs an integer \"code\""));
    if (request.has_field("data") && !request.at("data").is_string())
      return Answer(fd, Error("\"data\" must be a string"));
    const int code = request.at("code").as_integer();
    const std::string data = request.has_field("data") ? request.at("data").as_string() : std::string();
    try {
      answer["returned"] = value::number(host_.Client().SendRequest(code, data));
    } catch (const std::exception& e) {
      return Answer(fd, Error(std::string("request refused: ") + e.what()));
    }
    if (code == 16) clientState_ = std::atoi(data.c_str());
  } else {
    return Answer(fd, Error("unknown command \"" + command + "\""));
  }
  if (wanted.empty()) return Answer(fd, answer);
  Connection& connection = connections_[fd];
  connection.waiting = true;
  connection.wanted = std::move(wanted);
  connection.answer = answer;
  const int waitMs = request.has_integer_field("timeoutMs") ? request.at("timeoutMs").as_integer() : kDefaultWaitMs;
  connection.timer = host_.Loop().AddTimer(EventLoop::Clock::now() + std::chrono::milliseconds(std::max(waitMs, 0)),
                                           [this, fd] {
                                             Connection& timedOut = connections_[fd];
                                             timedOut.timer = 0;
                                             value late = Error("no awaited event within the time-out");
                                             late["events"] = timedOut.events;
                                             Answer(fd, late);
                                           });
}

void ControlServer::OnEvent(int code, const std::string& text, const std::string& payload) {
  // The library's state as it is now: registration sets it (3), the end of
  // an update check clears it (4 is raised exactly then).
  if (code == 3) clientState_ = std::atoi(text.c_str());
  else if (code == 4) clientState_ = 0;
  std::vector<int> done;
  for (auto& [fd, connection] : connections_) {
    if (!connection.waiting) continue;
    value event = value::object(true);
    event["code"] = value::number(code);
    event["text"] = value::string(text);
    event["payload"] = value::string(payload);
    connection.events[connection.events.size()] = event;
    if (connection.wanted.count(code)) done.push_back(fd);
  }
  for (int fd : done) {
    Connection& connection = connections_[fd];
    connection.answer["events"] = connection.events;
    Answer(fd, connection.answer);
  }
}

value ControlServer::Status() {
  value status = value::object(true);
  status["version"] = value::string(FENNIC_VERSION);
  status["registered"] = value::boolean(!host_.Executor().GetToken().empty());
  status["lastContact"] = value::string(host_.Client().GetLastSeenOfServer());
  status["clientState"] = value::number(clientState_);
  status["pendingDownloads"] = value::number(host_.PendingDownloads());
  status["updateCheckFailed"] = value::boolean(host_.Client().IsRequestFailed(L"CC_CONFIG_REQUEST"));
  const PackageTrust& trust = host_.Config().transport.packageTrust;
  value keys = value::array();
  for (std::size_t i = 0; i < trust.keys.size(); ++i) keys[i] = value::string(trust.keys[i].IdText());
  status["signaturePolicy"] = value::string(SignaturePolicyName(trust.policy));
  status["trustedKeyIds"] = keys;
  return status;
}

void ControlServer::Answer(int fd, const value& answer) {
  const std::string line = answer.serialize() + "\n";
  [[maybe_unused]] const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
  Close(fd);
}

void ControlServer::Close(int fd) {
  const auto it = connections_.find(fd);
  if (it != connections_.end()) {
    host_.Loop().CancelTimer(it->second.timer);
    connections_.erase(it);
  }
  host_.Loop().Unwatch(fd);
  ::close(fd);
}

}  // namespace zelvan::fennic::agent
