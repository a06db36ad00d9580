#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "AgentConfig.h"
#include "AgentHarness.h"

using namespace fennic_agent_test;

TEST(AgentProgramTest, BadConfigurationExitsWithOneLineNamingTheProblem) {
  ScratchFolder folder;
  std::ofstream(folder / "plain-file") << "x";
  const std::string good = ValidConfig(folder, "http://127.0.0.1:1");
  // The file's content ("": no file at all), and what the one line says.
  const std::pair<std::string, std::string> cases[] = {
      {"", "cannot read the configuration file"},
      {"{\"server\": ", "not valid JSON"},
      {"[1,2]", "must be a JSON object"},
      {WithMember(good, "tenantId", ""), "missing member \"tenantId\""},
      {WithMember(good, "heartBeatSeconds", "0"), "\"heartBeatSeconds\" must be an integer"},
      {WithMember(good, "logLevel", "\"high\""), "\"logLevel\" must be an integer"},
      {WithMember(good, "server", "\"ftp://127.0.0.1\""), "must start with http://"},
      {WithMember(good, "supportedProducts", "[1]"), "array of strings"},
      {WithMember(good, "dataFolder", "\"" + (folder / "plain-file/data") + "\""),
       "data folder " + (folder / "plain-file/data") + " cannot be created"},
      {WithMember(good, "downloadFolder", "\"" + (folder / "plain-file") + "\""),
       "download folder " + (folder / "plain-file") + " is not a folder"},
      {WithMember(good, "transport", "3"), "\"transport\" must be an object"},
      {WithMember(good, "packageSignatures", R"({"policy":"require"})"),
       "policy \"require\" needs at least one key in \"publicKeys\""},
      {WithMember(good, "packageSignatures", R"({"publicKeys":["plain-file"]})"),
       "packageSignatures: public key " + (folder / "plain-file") + ": not a minisign public key"},
      {WithMember(good, "packageSignatures", R"({"publicKeys":["none.pub"],"policy":"lax"})"),
       "public key " + (folder / "none.pub") + " cannot be read"},
  };
  for (const auto& [content, expected] : cases) {
    const std::string file = folder / "config.json";
    std::filesystem::remove(file);
    if (!content.empty()) std::ofstream(file) << content;
    AgentProcess agent(folder, {"--config", file, "--once"});
    EXPECT_EQ(agent.Wait(10000), 2) << expected;
    const std::string err = agent.Err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    // A folder the machine will not let us use is not a mistake in the file.
    const bool folderFault = expected.find(" folder ") != std::string::npos;
    EXPECT_EQ(err.find(file) != std::string::npos, !folderFault) << err;
    EXPECT_EQ(err.find("bad configuration") != std::string::npos, !folderFault) << err;
    EXPECT_EQ(agent.Out(), "") << expected;
  }
}

// The unit's stop timeout kills an agent still draining: a longer drain is
// held at the cap with one warning, and the cap leaves the stop (drain plus
// 2 s) inside the packaged unit's timeout; far beyond it is a mistake.
TEST(AgentProgramTest, StopDrainIsHeldBelowTheUnitsStopTimeout) {
  ScratchFolder folder;
  const std::string file = folder / "config.json", good = ValidConfig(folder, "http://127.0.0.1:1");
  for (const auto& [configured, used] : {std::pair<std::string, int>{"", 5}, {"15", 15}, {"16", 15}, {"600", 15}}) {
    std::ofstream(file) << (configured.empty() ? good : WithMember(good, "stopDrainSeconds", configured));
    testing::internal::CaptureStderr();
    EXPECT_EQ(zelvan::fennic::agent::LoadAgentConfig(file).stopDrainSeconds, used) << configured;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              configured.empty() || used == std::stoi(configured) ? ""
              : "fennic-agent: " + file + ": \"stopDrainSeconds\" " + configured + " is above the service's stop bound; using 15\n");
  }
  std::ofstream(file) << WithMember(good, "stopDrainSeconds", "601");
  EXPECT_THROW(zelvan::fennic::agent::LoadAgentConfig(file), zelvan::fennic::agent::ConfigError);
  std::smatch timeout;
  const std::string unit = ScratchFolder::Slurp(std::filesystem::path(__FILE__).parent_path() / "../../packaging/fennic-agent.service");
  ASSERT_TRUE(std::regex_search(unit, timeout, std::regex("\nTimeoutStopSec=([0-9]+)\n"))) << unit;
  EXPECT_LT(zelvan::fennic::agent::kMaxStopDrainSeconds + 2, std::stoi(timeout[1]));
}

TEST(AgentProgramTest, CommandLineMistakesAndHelp) {
  ScratchFolder folder;
  // No row runs without --config: that would read the machine's own
  // configuration (CI's package check runs the installed agent that way).
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
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
  for (const char* text : {"usage: fennic-agent", "default /etc/fennic/agent.json", "\"heartBeatSeconds\"",
                           "Exit codes: 0 success; 1 a server or network failure",
                           "2 a bad command line, configuration or local state"})
    EXPECT_NE(help.Out().find(text), std::string::npos) << text;
  AgentProcess version(folder, {"--version"});
  EXPECT_EQ(version.Wait(10000), 0);
  EXPECT_EQ(version.Out(), "fennic-agent " FENNIC_VERSION "\n");
}
