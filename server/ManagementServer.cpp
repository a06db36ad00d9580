#include "ManagementServer.h"

#include <arpa/inet.h>
#include <cpprest/http_listener.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "BodySource.h"
#include "ServerAnswer.h"
#include "Sha256.h"

// The server's life (start, stop) and its routing: which request type a
// request is, who answers it, and how the answer goes out.
namespace zelvan::fennic {

namespace http = web::http;
using web::json::value;

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

ManagementServer::ManagementServer(Scenario scenario, ServerOptions options)
    : scenario_(std::move(scenario)),
      options_(std::move(options)),
      routes_(options_.routesFile.empty() ? RouteTable() : RouteTable::FromFile(options_.routesFile)) {
  Sha256::Prepare();
  for (const auto& f : scenario_.faults) faults_.emplace_back(f, 0);
  faultRandom_.seed(scenario_.randomFaults.seed);
  if (!options_.packagesFolder.empty()) scenario_.packagesFolder = options_.packagesFolder;
  if (!options_.recordFile.empty()) {
    recordFile_.open(options_.recordFile, std::ios::out | std::ios::trunc);
    if (!recordFile_) throw std::runtime_error("record file " + options_.recordFile + ": cannot be written");
  }
}

ManagementServer::~ManagementServer() { Stop(); }

int ManagementServer::Start() {
  if (options_.host != "127.0.0.1" && options_.host != "localhost")
    throw std::runtime_error("the server listens on loopback only");
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = false;
  }
  std::string lastError = "no free port";
  // A port probed free can be taken before the listener binds it; try again.
  // After a stop, the server comes back on the port it had, as a restarted
  // server would.
  const int fixed = options_.port != 0 ? options_.port : port_.load();
  for (int attempt = 0; attempt < 20; ++attempt) {
    int port = fixed != 0 ? fixed : FreeLoopbackPort();
    if (port == 0) continue;
    auto listener = std::make_unique<http::experimental::listener::http_listener>(
        "http://127.0.0.1:" + std::to_string(port));
    listener->support([this](http::http_request request) { Handle(std::move(request)); });
    try {
      listener->open().wait();
      listener_ = std::move(listener);
      port_ = port;
      return port_;
    } catch (const std::exception& e) {
      lastError = e.what();
      if (fixed != 0) break;
    }
  }
  throw std::runtime_error("cannot listen on 127.0.0.1: " + lastError);
}

void ManagementServer::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
  }
  stopping_.notify_all();
  if (listener_) {
    try {
      listener_->close().wait();
    } catch (const std::exception&) {
      // Already closed connections are no reason to fail a stop.
    }
    listener_.reset();
  }
}

std::string ManagementServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void ManagementServer::Handle(http::http_request request) {
  const std::string method = request.method();
  const std::string path = web::uri::decode(request.relative_uri().path());
  const std::string tenant = HeaderOf(request, "X-Tenant-Id");
  std::string body;
  try {
    body = request.extract_utf8string(true).get();
  } catch (const std::exception&) {
    body.clear();
  }

  std::string typeText = "unknown";
  int type = -1;
  if (method == http::methods::GET && path.rfind("/packages/", 0) == 0) {
    typeText = "package";
  } else if (auto t = routes_.TypeOf(method, path, tenant)) {
    type = *t;
    typeText = std::to_string(type);
  } else if (method == http::methods::POST && path.rfind("/api/ManageAgent/Configuration", 0) == 0 &&
             path.find("Ack") != std::string::npos) {
    // Configuration acknowledgements may arrive on the path they carry.
    type = 22;
    typeText = "22";
  }

  value note = NoteOf(request, path, type, typeText, body);
  Answer answer;
  try {
    answer = Dispatch(type, path, body, request, note);
  } catch (const std::exception& e) {
    answer.status = 500;
    answer.text = Refusal(std::string("server error: ") + e.what()).serialize();
  }

  const auto fault = TakeFault(typeText);
  const int64_t breakAfter = fault ? ApplyFault(*fault, answer) : -1;
  const long seq = Record(std::move(note), answer, fault ? fault->action : "", breakAfter);
  if (!Reply(request, answer, breakAfter)) Unaccept(seq);
}

bool ManagementServer::Reply(http::http_request& request, const Answer& answer, int64_t breakAfter) {
  http::http_response response(static_cast<http::status_code>(answer.status));
  std::shared_ptr<BodySource> source;
  uint64_t length = 0;
  std::string contentType = "application/json";
  if (!answer.file.empty()) {
    int fd = ::open(answer.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      request.reply(http::status_codes::NotFound).wait();
      return true;
    }
    length = answer.length;
    source = BodySource::OfFile(fd, answer.offset, length, breakAfter >= 0 ? breakAfter : length);
    contentType = "application/octet-stream";
    response.headers().add("Accept-Ranges", "bytes");
    if (answer.partial)
      response.headers().add("Content-Range", "bytes " + std::to_string(answer.offset) + "-" +
                                                  std::to_string(answer.offset + length - 1) + "/" +
                                                  std::to_string(answer.fileSize));
  } else {
    length = answer.text.size();
    if (answer.retryAfterSeconds >= 0) response.headers().add("Retry-After", std::to_string(answer.retryAfterSeconds));
    source = BodySource::OfText(answer.text, breakAfter >= 0 ? breakAfter : length);
  }
  response.set_body(concurrency::streams::istream(concurrency::streams::streambuf<uint8_t>(source)), length,
                    contentType);
  try {
    request.reply(response).wait();
  } catch (const std::exception&) {
    // A broken-off body ends the connection; that is the point of the fault.
    return false;
  }
  return true;
}

ManagementServer::Answer ManagementServer::Dispatch(int type, const std::string& path, const std::string& body,
                                                    const http::http_request& request, value& note) {
  Answer a;
  const std::string auth = HeaderOf(request, "Authorization");
  const bool isPackage = note.at("type").as_string() == "package";
  bool authorised = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    authorised = auth.rfind("Bearer ", 0) == 0 && tokens_.count(auth.substr(7)) > 0;
  }
  if (isPackage) {
    if (!authorised) {
      a.status = 401;
      a.text = Refusal("Token Not Found").serialize();
      return a;
    }
    return PackageFile(path, request);
  }
  if (type < 0) {
    a.status = 404;
    value v = Envelope(false);
    v["ResposeCommand"] = value::number(45);
    a.text = v.serialize();
    return a;
  }
  if (type != 2 && !authorised) {
    a.text = Refusal("Token Not Found").serialize();
    note["outcome"] = value::string("unauthorised");
    return a;
  }
  if (scenario_.refused.count(note.at("type").as_string())) {
    a.text = Refusal("Refused by the scenario").serialize();
    note["outcome"] = value::string("refused");
    return a;
  }
  return Answered(type, body, note);
}

}  // namespace zelvan::fennic

// The listener's HTTP library can leave a reply task queued on its own thread
// pool when a connection and the listener close together at exit. Every
// program that runs this server in-process (the tests among them) tells the
// leak checker so, here, once.
#if defined(__SANITIZE_ADDRESS__)
#define FENNIC_LEAK_CHECKED
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FENNIC_LEAK_CHECKED
#endif
#endif
#ifdef FENNIC_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions() { return "leak:libcpprest.so\n"; }
#endif
