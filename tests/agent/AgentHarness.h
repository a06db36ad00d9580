#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ManagementServer.h"

namespace fennic_agent_test {

// A scratch folder, removed with everything in it.
struct Folder {
  Folder();
  ~Folder();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

std::string Slurp(const std::string& file);

// A run of the agent program (or `prefix` followed by it), its output in
// two files of `folder`. Killed when still running at destruction.
class AgentProcess {
 public:
  AgentProcess(const Folder& folder, const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               const std::vector<std::string>& prefix = {}, const std::string& input = "/dev/null");
  ~AgentProcess();
  // Exit code, or -1 when it had not ended within `limitMs`.
  int Wait(int limitMs);
  // Bounded wait for a text in the standard output.
  bool WaitForOutput(const std::string& text, int limitMs);
  void Signal(int signal);
  int Pid() const { return pid_; }
  std::string Out() const { return Slurp(out_); }
  std::string Err() const { return Slurp(err_); }

 private:
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
Ended RunToEnd(const Folder& folder, const std::vector<std::string>& args, const std::vector<std::string>& prefix = {});

// A configuration against `server` with every folder inside `folder`, no
// spread before the first heart beat and a 20 s step bound.
std::string ValidConfig(const Folder& folder, const std::string& server);
// `config` with member `name` set to the JSON text `json` (removed when empty).
std::string WithMember(const std::string& config, const std::string& name, const std::string& json);

// The local management server on a free loopback port, with one tenant
// "demo-tenant" and a one-second heart-beat interval unless `scenario`
// (a JSON text) says otherwise.
class LocalServer {
 public:
  explicit LocalServer(const std::string& scenario = "");
  ~LocalServer();
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int CountOf(const std::string& type) const { return server_->CountOf(type); }

 private:
  Folder folder_;
  std::unique_ptr<zelvan::fennic::ManagementServer> server_;
  int port_ = 0;
};

}  // namespace fennic_agent_test
