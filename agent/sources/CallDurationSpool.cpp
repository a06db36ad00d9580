#include "CallDurationSpool.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cpprest/json.h>
#include <cstdio>
#include <system_error>

#include "SourceLog.h"
#include "TextConversion.h"

namespace zelvan::fennic::agent {

namespace {

constexpr const char* kWhere = "CallDurationSpool";
// Call statistics are small; a larger file is not ours to send.
constexpr std::size_t kMaxFile = 1 << 20;

bool Spooled(const std::string& name) {
  return name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".json") == 0;
}

}  // namespace

CallDurationSpool::CallDurationSpool(EventLoop& loop, std::string folder, Send send)
    : loop_(loop), folder_(std::move(folder)), send_(std::move(send)) {}

CallDurationSpool::~CallDurationSpool() {
  if (fd_ >= 0) {
    loop_.Unwatch(fd_);
    ::close(fd_);
  }
}

void CallDurationSpool::Start() {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0 || ::inotify_add_watch(fd_, folder_.c_str(),
                                     IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR) < 0)
    throw std::system_error(errno, std::generic_category(), "call-duration spool " + folder_ + " cannot be watched");
  loop_.Watch(fd_, [this] { OnNotify(); });
  if (DIR* dir = ::opendir(folder_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) Offer(entry->d_name);
    ::closedir(dir);
  }
}

void CallDurationSpool::OnNotify() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name = event->len ? event->name : "";
      if (event->mask & (IN_DELETE | IN_MOVED_FROM)) sent_.erase(name);
      else if (!(event->mask & IN_ISDIR)) Offer(name);
    }
  }
}

void CallDurationSpool::Offer(const std::string& name) {
  if (!Spooled(name)) return;
  const std::string path = folder_ + "/" + name;
  // The library names the file in UTF-8 and could never delete this one: it
  // would go again, and be refused, at every start. Renamed once, it is no
  // longer a spooled name.
  if (ToUtf8(ToWide(name)) != name) {
    const bool moved = std::rename(path.c_str(), (path + ".set-aside").c_str()) == 0;
    SourceLog(3, kWhere, std::string("Call-duration file ") + (moved ? "set aside" : "skipped") +
                             " (its name is not UTF-8): " + path);
    return;
  }
  std::string text;
  if (!ReadPlainFile(path, kMaxFile, text)) {
    SourceLog(3, kWhere, "Call-duration file skipped (not a plain file of at most 1 MiB): " + path);
    return;
  }
  // Rewritten while its first send was under way, it holds new data: the
  // library deletes the file once the first is accepted, so it goes now.
  if (auto sent = sent_.find(name); sent != sent_.end() && sent->second == text) return;
  std::error_code error;
  const web::json::value data = web::json::value::parse(text, error);
  if (error) {
    SourceLog(3, kWhere, "Call-duration file skipped (not JSON): " + path);
    return;
  }
  web::json::value body = web::json::value::object();
  body["FileInfo"] = web::json::value::string(path);
  body["CallData"] = data;
  sent_[name] = text;
  SourceLog(2, kWhere, "Call-duration file sent: " + path);
  send_(14, body.serialize());
}

}  // namespace zelvan::fennic::agent
