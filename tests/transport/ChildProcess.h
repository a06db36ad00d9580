#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace fennic_test {

// A helper program the test starts (a proxy, a TLS server) in `folder`,
// its output going to `folder`/log. The destructor stops it: SIGTERM, then
// SIGKILL after two seconds, so no test leaves one behind.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& folder);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // True once `port` on 127.0.0.1 accepts connections, within five seconds.
  bool AwaitPort(int port) const;
  bool Running() const;

 private:
  pid_t pid_ = -1;
};

// Whether `program` is on the PATH.
bool HaveProgram(const std::string& program);

}  // namespace fennic_test
