#pragma once

#include <cpprest/json.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ManagementServer.h"
#include "Scenario.h"
#include "../support/ScratchFolder.h"

namespace fennic_agent_test {

// A run of the agent program (or `prefix` followed by it), its output in
// two files of `folder`. Killed when still running at destruction.
class AgentProcess {
 public:
  AgentProcess(const ScratchFolder& folder, const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               const std::vector<std::string>& prefix = {}, const std::string& input = "/dev/null") {
    static std::atomic<int> runs{0};
    const std::string tag = std::to_string(runs++);
    out_ = folder / ("stdout." + tag + ".txt");
    err_ = folder / ("stderr." + tag + ".txt");
    std::vector<std::string> all = prefix;
    all.push_back(FENNIC_AGENT_PROGRAM);
    all.insert(all.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) Exec(all, env, input);
  }
  ~AgentProcess() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // Exit code (128 + the signal that ended it), or -1 when it had not ended within `limitMs`.
  int Wait(int limitMs) {
    for (int waited = 0; waited <= limitMs; waited += 10, ::usleep(10000)) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        done_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }
  bool WaitForOutput(const std::string& text, int limitMs, bool error = false) const {
    for (int waited = 0; waited <= limitMs; waited += 10, ::usleep(10000))
      if ((error ? Err() : Out()).find(text) != std::string::npos) return true;
    return false;
  }
  void Signal(int signal) const { ::kill(pid_, signal); }
  int Pid() const { return pid_; }
  std::string Out() const { return ScratchFolder::Slurp(out_); }
  std::string Err() const { return ScratchFolder::Slurp(err_); }

 private:
  void Exec(const std::vector<std::string>& all, const std::vector<std::string>& env, const std::string& input) {
    ::dup2(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    ::dup2(::open(input.c_str(), O_RDONLY), 0);
    // The test's own descriptors (a server's listening socket, say) stay
    // with the test: held by the agent, a stopped server's port stays taken.
    ::close_range(3, ~0U, 0);
    for (const auto& pair : env) ::putenv(const_cast<char*>(pair.c_str()));
    // "JOURNAL_STREAM=stderr" stands for the identity of the standard error
    // file, as the service manager sets it for its journal stream.
    struct stat info {};
    if (const char* journal = ::getenv("JOURNAL_STREAM"); journal && std::string(journal) == "stderr" && ::fstat(2, &info) == 0)
      ::setenv("JOURNAL_STREAM", (std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino)).c_str(), 1);
    std::vector<char*> argv;
    for (const auto& arg : all) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  std::string out_;
  std::string err_;
  int pid_ = -1;
  bool done_ = false;
};

// Runs the agent program (after `prefix`) to its end: its exit code (-1 when
// it had not ended within a minute and was killed) and all it printed.
struct Ended {
  int code;
  std::string text;
};
inline Ended RunToEnd(const ScratchFolder& folder, const std::vector<std::string>& args,
                      const std::vector<std::string>& prefix = {}) {
  AgentProcess run(folder, args, {}, prefix);
  const int code = run.Wait(60000);
  return {code, "exit " + std::to_string(code) + "\n" + run.Out() + run.Err()};
}

// `config` with member `name` set to the JSON text `json` (removed when empty).
inline std::string WithMember(const std::string& config, const std::string& name, const std::string& json) {
  web::json::value doc = web::json::value::parse(config);
  if (json.empty()) doc.erase(name);
  else doc[name] = web::json::value::parse(json);
  return doc.serialize();
}

// A configuration against `server` with every folder inside `folder`, no
// spread before the first heart beat and a 20 s step bound.
inline std::string ValidConfig(const ScratchFolder& folder, const std::string& server) {
  return R"({"server":")" + server + R"(","tenantId":"demo-tenant","dataFolder":")" + folder / "data" +
         R"(","downloadFolder":")" + folder / "downloads" + R"(","heartBeatSeconds":1,"logLevel":2,"logFile":")" +
         folder / "agent.log" +
         R"(","supportedProducts":["P100"],"onceTimeoutSeconds":20,"firstHeartBeatSpreadSeconds":0})";
}

// The local management server on a free loopback port, with one tenant
// "demo-tenant" and a one-second heart-beat interval unless `scenario`
// (a JSON text) says otherwise.
class LocalServer {
 public:
  explicit LocalServer(const std::string& scenario = "")
      : server_(zelvan::fennic::Scenario::FromJson(
                    web::json::value::parse(!scenario.empty() ? scenario : R"({"tenants":[{"id":"demo-tenant",
                      "name":"Demo Tenant","token":"demo-token-1"}],"heartbeat":{"TimeInterval":1}})"),
                    folder_.path.string()),
                zelvan::fennic::ServerOptions{}),
        port_(server_.Start()) {}
  ~LocalServer() { server_.Stop(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int CountOf(const std::string& type) const { return server_.CountOf(type); }
  std::vector<web::json::value> Records() const { return server_.Records(); }

 private:
  ScratchFolder folder_;
  zelvan::fennic::ManagementServer server_;
  int port_ = 0;
};

}  // namespace fennic_agent_test
