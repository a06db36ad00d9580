#include "AgentHarness.h"

#include <cpprest/json.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Scenario.h"

namespace fennic_agent_test {

Folder::Folder() {
  std::string pattern = ::testing::TempDir() + "fennic-agent-XXXXXX";
  path = ::mkdtemp(&pattern[0]) ? pattern : std::string();
}

Folder::~Folder() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string Slurp(const std::string& file) {
  std::ifstream in(file);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

AgentProcess::AgentProcess(const Folder& folder, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::vector<std::string>& prefix,
                           const std::string& input) {
  static std::atomic<int> runs{0};
  const std::string tag = std::to_string(runs++);
  out_ = folder / ("stdout." + tag + ".txt");
  err_ = folder / ("stderr." + tag + ".txt");
  std::vector<std::string> all = prefix;
  all.push_back(FENNIC_AGENT_PROGRAM);
  all.insert(all.end(), args.begin(), args.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    const int nothing = ::open(input.c_str(), O_RDONLY);
    ::dup2(nothing, 0);
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
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !done_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int AgentProcess::Wait(int limitMs) {
  for (int waited = 0; waited <= limitMs; waited += 10) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      done_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::usleep(10000);
  }
  return -1;
}

bool AgentProcess::WaitForOutput(const std::string& text, int limitMs) {
  for (int waited = 0; waited <= limitMs; waited += 10) {
    if (Out().find(text) != std::string::npos) return true;
    ::usleep(10000);
  }
  return false;
}

void AgentProcess::Signal(int signal) { ::kill(pid_, signal); }

Ended RunToEnd(const Folder& folder, const std::vector<std::string>& args, const std::vector<std::string>& prefix) {
  AgentProcess run(folder, args, {}, prefix);
  const int code = run.Wait(60000);
  return {code, "exit " + std::to_string(code) + "\n" + run.Out() + run.Err()};
}

std::string ValidConfig(const Folder& folder, const std::string& server) {
  web::json::value doc = web::json::value::object(true);
  doc["server"] = web::json::value::string(server);
  doc["tenantId"] = web::json::value::string("demo-tenant");
  doc["dataFolder"] = web::json::value::string(folder / "data");
  doc["downloadFolder"] = web::json::value::string(folder / "downloads");
  doc["heartBeatSeconds"] = web::json::value::number(1);
  doc["logLevel"] = web::json::value::number(2);
  doc["logFile"] = web::json::value::string(folder / "agent.log");
  doc["supportedProducts"] = web::json::value::parse(R"(["P100"])");
  doc["onceTimeoutSeconds"] = web::json::value::number(20);
  doc["firstHeartBeatSpreadSeconds"] = web::json::value::number(0);
  return doc.serialize();
}

std::string WithMember(const std::string& config, const std::string& name, const std::string& json) {
  web::json::value doc = web::json::value::parse(config);
  if (json.empty()) doc.erase(name);
  else doc[name] = web::json::value::parse(json);
  return doc.serialize();
}

LocalServer::LocalServer(const std::string& scenario) {
  const web::json::value doc = web::json::value::parse(
      !scenario.empty() ? scenario
                        : R"({"tenants":[{"id":"demo-tenant","name":"Demo Tenant","token":"demo-token-1"}],
                             "heartbeat":{"TimeInterval":1}})");
  server_ = std::make_unique<zelvan::fennic::ManagementServer>(zelvan::fennic::Scenario::FromJson(doc, folder_.path),
                                                               zelvan::fennic::ServerOptions{});
  port_ = server_->Start();
}

LocalServer::~LocalServer() { server_->Stop(); }

}  // namespace fennic_agent_test
