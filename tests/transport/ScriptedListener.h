#pragma once

#include <cpprest/http_listener.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BodySource.h"

namespace fennic_test {

struct SeenRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;
  std::string body;
};

// What the listener answers: a status, a body, and optionally a point after
// which the body breaks off (the connection is dropped) or a delay.
struct Reply {
  Reply(int s = 200, std::string b = "", long cut = -1, int delay = 0)
      : status(s), body(std::move(b)), breakAfter(cut), delayMs(delay) {}
  int status = 200;
  std::string body;
  long breakAfter = -1;
  int delayMs = 0;
  std::vector<std::pair<std::string, std::string>> headers;
};

// An HTTP listener on 127.0.0.1 and a free port whose replies the test
// scripts; it keeps every request it saw.
class ScriptedListener {
 public:
  using Script = std::function<Reply(const SeenRequest&)>;
  explicit ScriptedListener(Script script);
  ~ScriptedListener();
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int Port() const { return port_; }
  std::vector<SeenRequest> Seen();

 private:
  Script script_;
  int port_ = 0;
  std::unique_ptr<web::http::experimental::listener::http_listener> listener_;
  std::mutex lock_;
  std::vector<SeenRequest> seen_;
};

int FreeLoopbackPort();

}  // namespace fennic_test
