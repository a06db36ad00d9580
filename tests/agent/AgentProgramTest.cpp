#include <cpprest/json.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ManagementServer.h"
#include "Scenario.h"

namespace {

std::string Slurp(const std::string& file) {
  std::ifstream in(file);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct Folder {
  Folder() {
    std::string pattern = ::testing::TempDir() + "fennic-agent-XXXXXX";
    path = ::mkdtemp(&pattern[0]) ? pattern : std::string();
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// The running agent program, its output in two files.
class AgentProcess {
 public:
  AgentProcess(const Folder& folder, const std::vector<std::string>& args)
      : out_(folder / "stdout.txt"), err_(folder / "stderr.txt") {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, 1);
      ::dup2(err, 2);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(FENNIC_AGENT_PROGRAM));
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(FENNIC_AGENT_PROGRAM, argv.data());
      ::_exit(127);
    }
  }
  ~AgentProcess() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // Exit code, or -1 when it had not ended within `limitMs` (then killed).
  int Wait(int limitMs) {
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
  // Bounded wait for a text in the standard output.
  bool WaitForOutput(const std::string& text, int limitMs) {
    for (int waited = 0; waited <= limitMs; waited += 10) {
      if (Out().find(text) != std::string::npos) return true;
      ::usleep(10000);
    }
    return false;
  }
  void Signal(int signal) { ::kill(pid_, signal); }
  std::string Out() const { return Slurp(out_); }
  std::string Err() const { return Slurp(err_); }

 private:
  std::string out_;
  std::string err_;
  pid_t pid_ = -1;
  bool done_ = false;
};

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

}  // namespace

TEST(AgentProgramTest, BadConfigurationExitsWithOneLineNamingTheProblem) {
  Folder folder;
  std::ofstream(folder / "plain-file") << "x";
  const std::string good = ValidConfig(folder, "http://127.0.0.1:1");
  struct Case {
    const char* name;
    std::string content;  // empty: no file at all
    std::string expected;
  };
  const Case cases[] = {
      {"missing file", "", "cannot read the configuration file"},
      {"bad JSON", "{\"server\": ", "not valid JSON"},
      {"not an object", "[1,2]", "must be a JSON object"},
      {"missing tenant", WithMember(good, "tenantId", ""), "missing member \"tenantId\""},
      {"missing products", WithMember(good, "supportedProducts", ""), "missing member \"supportedProducts\""},
      {"zero interval", WithMember(good, "heartBeatSeconds", "0"), "\"heartBeatSeconds\" must be an integer"},
      {"log level text", WithMember(good, "logLevel", "\"high\""), "\"logLevel\" must be an integer"},
      {"server scheme", WithMember(good, "server", "\"ftp://127.0.0.1\""), "must start with http://"},
      {"products not strings", WithMember(good, "supportedProducts", "[1]"), "array of strings"},
      {"data folder under a file",
       WithMember(good, "dataFolder", web::json::value::string(folder / "plain-file/data").serialize()),
       "data folder " + (folder / "plain-file/data") + " cannot be created"},
      {"download folder is a file",
       WithMember(good, "downloadFolder", web::json::value::string(folder / "plain-file").serialize()),
       "download folder " + (folder / "plain-file") + " is not a folder"},
      {"transport not object", WithMember(good, "transport", "3"), "\"transport\" must be an object"},
  };
  for (const Case& c : cases) {
    const std::string file = folder / "config.json";
    std::filesystem::remove(file);
    if (!c.content.empty()) std::ofstream(file) << c.content;
    AgentProcess agent(folder, {"--config", file, "--once"});
    EXPECT_EQ(agent.Wait(10000), 2) << c.name;
    const std::string err = agent.Err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.name << ": " << err;
    EXPECT_NE(err.find(c.expected), std::string::npos) << c.name << ": " << err;
    EXPECT_NE(err.find(file), std::string::npos) << c.name << ": " << err;
    EXPECT_EQ(agent.Out(), "") << c.name;
  }
}

TEST(AgentProgramTest, CommandLineMistakesAndHelp) {
  Folder folder;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "/etc/fennic/agent.json"},
      {{"--config"}, "--config needs a file"},
      {{"--bogus"}, "unknown argument --bogus"},
  };
  for (const auto& [args, expected] : cases) {
    AgentProcess agent(folder, args);
    EXPECT_EQ(agent.Wait(10000), 2) << expected;
    EXPECT_NE(agent.Err().find(expected), std::string::npos) << agent.Err();
  }
  AgentProcess help(folder, {"--help"});
  EXPECT_EQ(help.Wait(10000), 0);
  EXPECT_NE(help.Out().find("usage: fennic-agent"), std::string::npos);
  EXPECT_NE(help.Out().find("\"heartBeatSeconds\""), std::string::npos);
}

namespace {

class LocalServer {
 public:
  LocalServer() {
    const web::json::value scenario = web::json::value::parse(
        R"({"tenants":[{"id":"demo-tenant","name":"Demo Tenant","token":"demo-token-1"}],
            "heartbeat":{"TimeInterval":1}})");
    server_ = std::make_unique<zelvan::fennic::ManagementServer>(
        zelvan::fennic::Scenario::FromJson(scenario, folder_.path), zelvan::fennic::ServerOptions{});
    port_ = server_->Start();
  }
  ~LocalServer() { server_->Stop(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  Folder folder_;
  std::unique_ptr<zelvan::fennic::ManagementServer> server_;
  int port_ = 0;
};

}  // namespace

TEST(AgentProgramTest, OncePassRegistersThenReusesTheStoredToken) {
  LocalServer server;
  Folder folder;
  std::ofstream(folder / "config.json") << ValidConfig(folder, server.Url());
  {
    AgentProcess agent(folder, {"--config", folder / "config.json", "--once"});
    ASSERT_EQ(agent.Wait(60000), 0) << agent.Err();
    const std::string out = agent.Out();
    EXPECT_NE(out.find("event 1: registration completed"), std::string::npos) << out;
    EXPECT_NE(out.find("event 4: update check finished"), std::string::npos) << out;
  }
  for (const char* sealed : {"Token.dat", "TenantConfiguration.dat"})
    EXPECT_TRUE(std::filesystem::exists(folder / (std::string("data/") + sealed))) << sealed;
  EXPECT_EQ(Slurp(folder / "data/Token.dat").find("demo-token-1"), std::string::npos);
  {
    AgentProcess again(folder, {"--config", folder / "config.json", "--once"});
    ASSERT_EQ(again.Wait(60000), 0) << again.Err();
    EXPECT_EQ(again.Out().find("event 1:"), std::string::npos) << "registered again: " << again.Out();
    EXPECT_NE(again.Out().find("event 4: update check finished"), std::string::npos);
  }
}

TEST(AgentProgramTest, OncePassFailsClearlyWithoutAServer) {
  Folder folder;
  // A port nobody listens on: take one and let it go.
  LocalServer* gone = new LocalServer();
  const std::string url = gone->Url();
  delete gone;
  std::ofstream(folder / "config.json") << ValidConfig(folder, url);
  AgentProcess agent(folder, {"--config", folder / "config.json", "--once"});
  EXPECT_EQ(agent.Wait(60000), 1);
  EXPECT_NE(agent.Err().find("fennic-agent: registration failed"), std::string::npos) << agent.Err();
}

TEST(AgentProgramTest, StopSignalEndsARunningAgentPromptly) {
  LocalServer server;
  for (int signal : {SIGTERM, SIGINT}) {
    Folder folder;
    std::ofstream(folder / "config.json") << ValidConfig(folder, server.Url());
    AgentProcess agent(folder, {"--config", folder / "config.json"});
    ASSERT_TRUE(agent.WaitForOutput("event 6: heart beat accepted", 30000)) << agent.Out() << agent.Err();
    agent.Signal(signal);
    // Bounded: the agent promises to leave within two seconds.
    EXPECT_EQ(agent.Wait(2500), 0) << "signal " << signal << ": " << agent.Err();
  }
}
