#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace fennic_test {

// A helper program the test starts (a proxy, a TLS server) in `folder`,
// output to `folder`/log. The destructor stops it: SIGTERM, SIGKILL after
// two seconds, so no test leaves one behind.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, const std::string& folder) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const std::string log = folder + "/log";
    if ((pid_ = ::fork()) != 0) return;
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0 && ::chdir(folder.c_str()) == 0 && ::dup2(out, 1) >= 0 && ::dup2(out, 2) >= 0)
      ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ~ChildProcess() {
    if (Running()) ::kill(pid_, SIGTERM);
    for (int i = 0; i < 40 && Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (Running() && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
  }
  bool Running() const {
    if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;  // reaped: never signalled again
    return pid_ > 0;
  }
  // True once `port` on 127.0.0.1 accepts connections, within five seconds.
  bool AwaitPort(int port) const {
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    for (int i = 0; i < 100 && Running(); ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
      ::close(fd);
      if (up) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  mutable pid_t pid_ = -1;
};

inline bool HaveProgram(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace fennic_test
