#include "ScriptedListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace fennic_test {

namespace http = web::http;

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

ScriptedListener::ScriptedListener(Script script) : script_(std::move(script)) {
  for (int attempt = 0; attempt < 20 && !listener_; ++attempt) {
    const int port = FreeLoopbackPort();
    auto l = std::make_unique<http::experimental::listener::http_listener>("http://127.0.0.1:" +
                                                                           std::to_string(port));
    l->support([this](http::http_request request) {
      SeenRequest seen;
      seen.method = request.method();
      seen.path = request.relative_uri().to_string();
      for (const auto& h : request.headers()) seen.headers[h.first] = h.second;
      try {
        seen.body = request.extract_utf8string(true).get();
      } catch (const std::exception&) {
      }
      {
        std::lock_guard<std::mutex> hold(lock_);
        seen_.push_back(seen);
      }
      Reply reply = script_(seen);
      if (reply.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
      http::http_response response(static_cast<http::status_code>(reply.status));
      for (const auto& h : reply.headers) response.headers().add(h.first, h.second);
      // No connection outlives its exchange, so none is open when the listener closes.
      response.headers().add("Connection", "close");
      const uint64_t length = reply.body.size();
      auto source = zelvan::fennic::BodySource::OfText(
          reply.body, reply.breakAfter >= 0 ? static_cast<uint64_t>(reply.breakAfter) : length);
      response.set_body(concurrency::streams::istream(concurrency::streams::streambuf<uint8_t>(source)), length,
                        "application/octet-stream");
      try {
        request.reply(response).wait();
      } catch (const std::exception&) {
      }
    });
    try {
      l->open().wait();
      listener_ = std::move(l);
      port_ = port;
    } catch (const std::exception&) {
    }
  }
  if (!listener_) throw std::runtime_error("no loopback port for the scripted listener");
}

ScriptedListener::~ScriptedListener() {
  try {
    listener_->close().wait();
  } catch (const std::exception&) {
  }
}

std::vector<SeenRequest> ScriptedListener::Seen() {
  std::lock_guard<std::mutex> hold(lock_);
  return seen_;
}

}  // namespace fennic_test
