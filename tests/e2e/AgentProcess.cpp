#include "AgentProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace fennic_test {

AgentRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                    std::chrono::milliseconds limit) {
  AgentRun run;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    ::dup2(pipeFds[1], 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 200)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) {
      const ssize_t n = ::read(pipeFds[0], buffer, sizeof(buffer));
      if (n > 0) {
        run.output.append(buffer, static_cast<size_t>(n));
        continue;
      }
      break;  // end of output: the program closed its side
    }
  }
  ::close(pipeFds[0]);
  int status = 0;
  // After the output ends, the exit follows at once; bound it all the same.
  for (int i = 0; i < 100; ++i) {
    const pid_t done = ::waitpid(pid, &status, run.timedOut ? 0 : WNOHANG);
    if (done == pid) break;
    if (i == 99) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      run.timedOut = true;
    }
    ::usleep(20000);
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status) && !run.timedOut) run.signal = WTERMSIG(status);
  return run;
}

}  // namespace fennic_test
