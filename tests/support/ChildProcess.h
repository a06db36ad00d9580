#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

// A helper program (a proxy, a TLS server, the management server) run in the
// background in `folder`, output to `folder`/log. It is stopped by the
// destructor and in any case after `limitSeconds`, so no test leaves one behind.
class ChildProcess {
 public:
  ChildProcess(const std::string& command, const std::string& folder, int limitSeconds = 120) : folder_(folder) {
    Shell("cd '" + folder_ + "' && { timeout " + std::to_string(limitSeconds) + " " + command +
          " >>log 2>&1 & echo $! >pid; }");
  }
  // Waits up to five seconds for it to go, so its folder is not removed under it.
  ~ChildProcess() {
    Shell("p=$(cat '" + folder_ + "/pid'); kill $p 2>/dev/null; " +
          "for i in $(seq 50); do kill -0 $p 2>/dev/null || break; sleep 0.1; done");
  }
  // True once `port` on 127.0.0.1 accepts connections, within five seconds.
  static bool AwaitPort(int port) {
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
      ::close(fd);
      if (up) return true;
    }
    return false;
  }
  static bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

 private:
  const std::string folder_;
};
