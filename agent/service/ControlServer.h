#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include <cpprest/json.h>

#include "AgentHost.h"

namespace zelvan::fennic::agent {

// The agent's control socket, served from the host's event loop (no thread
// of its own). One JSON request line per connection, one JSON answer line:
//   {"command":"status"}
//   {"command":"heartbeat", "waitFor":[6,7], "timeoutMs":N}
//   {"command":"request", "code":N, "data":"...", "waitFor":[...], "timeoutMs":N}
// With "waitFor" the answer comes once one of those events was raised, or
// with an error at the time-out; it lists every event seen meanwhile. Only
// the agent's user, root, or members of the configured group may connect:
// the socket has mode 0660 and each peer's credentials are checked.
class ControlServer {
 public:
  // Throws std::runtime_error when the socket cannot be made (another agent
  // listens there, a non-socket is in the way, an unknown group).
  explicit ControlServer(AgentHost& host);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  struct Connection {
    std::string input;
    bool waiting = false;
    std::set<int> wanted;
    web::json::value events = web::json::value::array();
    std::uint64_t timer = 0;
    web::json::value answer;
  };
  void Accept();
  bool Allowed(int fd) const;
  void Read(int fd);
  void Handle(int fd, const std::string& line);
  void OnEvent(int code, const std::string& text, const std::string& payload);
  void Answer(int fd, const web::json::value& answer);
  void Close(int fd);
  web::json::value Status();

  AgentHost& host_;
  std::string path_;
  int listen_ = -1;
  gid_t group_ = static_cast<gid_t>(-1);
  int clientState_ = 0;
  std::map<int, Connection> connections_;
};

}  // namespace zelvan::fennic::agent
