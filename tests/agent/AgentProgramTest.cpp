#include <gtest/gtest.h>

#include <algorithm>

#include "AgentHarness.h"

using namespace fennic_agent_test;

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
  for (const char* text : {"\"heartBeatSeconds\"", "Exit codes: 0 success; 1 a server or network failure",
                           "2 a bad command line, configuration or local state"})
    EXPECT_NE(help.Out().find(text), std::string::npos) << text;
  AgentProcess version(folder, {"--version"});
  EXPECT_EQ(version.Wait(10000), 0);
  EXPECT_EQ(version.Out(), "fennic-agent " FENNIC_VERSION "\n");
}

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
