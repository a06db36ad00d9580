#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "AgentHarness.h"

using namespace fennic_agent_test;

namespace {

struct OnceCase {
  const char* name;
  std::string scenario;  // tenant "demo-tenant" with token "t1", plus these members; "": no server
  int exit;
  std::string err;
  int limitMs;  // the pass ends well before its 20 s bound
  const char* env = "";  // JOURNAL_STREAM=stderr: the standard error is the journal's stream
};

class OncePassOutcomeTest : public ::testing::TestWithParam<OnceCase> {};

TEST_P(OncePassOutcomeTest, ExitCodeAndOneLine) {
  const OnceCase& c = GetParam();
  LocalServer server(R"({"tenants":[{"id":"demo-tenant","name":"D","token":"t1")" + (c.scenario.empty() ? "}]" : c.scenario) + "}");
  ScratchFolder folder;
  std::ofstream(folder / "config.json") << ValidConfig(folder, c.scenario.empty() ? "http://127.0.0.1:1" : server.Url());
  const auto start = std::chrono::steady_clock::now();
  AgentProcess agent(folder, {"--config", folder / "config.json", "--once"},
                     *c.env ? std::vector<std::string>{c.env} : std::vector<std::string>{});
  EXPECT_EQ(agent.Wait(30000), c.exit) << agent.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.limitMs));
  std::string lines;
  for (std::istringstream err(agent.Err()); std::getline(err, lines);)
    if (lines.find("fennic-agent: ") <= 3) break;
  const std::string err = agent.Err();
  EXPECT_EQ(lines.rfind(c.err, 0), 0u) << err;
  EXPECT_EQ(err.find("refused the new registration's token"), std::string::npos) << err;
  EXPECT_EQ(err.find("kept for the next start"), std::string::npos) << "nothing was queued: " << err;
  if (!*c.env) return;
  // Log lines carry their priority only for the journal; the log file gets them either way.
  const bool journal = std::string(c.env) == "JOURNAL_STREAM=stderr";
  EXPECT_EQ(err.find("\n<4>CRestExecutor::ManageHeartBeat: ") != std::string::npos, journal) << err;
  EXPECT_EQ(err.find("[warning]") != std::string::npos, !journal) << err;
  EXPECT_EQ(err.find("<6>") != std::string::npos, journal) << err;
  EXPECT_NE(ScratchFolder::Slurp(folder / "agent.log").find("[warning]"), std::string::npos);
}

const OnceCase kOnceCases[] = {
    {"Succeeds", "}]", 0, "", 10000},
    {"RegistrationRefused", R"(,"registration":"refuse","errorMessage":"Seat limit reached"}])", 1,
     "fennic-agent: registration refused: Seat limit reached", 10000},
    {"HeartBeatAnsweredHttp500", R"(}],"faults":[{"target":"3","action":"status500","times":-1}])", 1,
     "fennic-agent: update check failed", 10000, "JOURNAL_STREAM=1:1"},
    {"HeartBeatAnsweredHttp500ToTheJournal", R"(}],"faults":[{"target":"3","action":"status500","times":-1}])", 1,
     "<3>fennic-agent: update check failed", 10000, "JOURNAL_STREAM=stderr"},
    {"ServerKeepsAskingForRegistration", R"(}],"heartbeat":{"TriggerRegistartion":true})", 1,
     "fennic-agent: the server asked for a new registration 3 times in a row", 10000},
    // Ends as soon as the transport reports the failed exchange, well
    // before the 20 s bound.
    {"RegistrationAnsweredHttp500", R"(}],"faults":[{"target":"2","action":"status500","times":-1}])", 1,
     "fennic-agent: registration failed: server answered HTTP 500", 10000},
    // No wait on the worker after a failed registration: the stop's drain
    // has nothing to wait for.
    {"NoServer", "", 1, "fennic-agent: registration failed: no answer from http://127.0.0.1:1 (connection refused)",
     4000},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, OncePassOutcomeTest, ::testing::ValuesIn(kOnceCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A status report kept from an earlier run is refused during the pass: the
// pass still ends with its own update check, the package downloaded and
// acknowledged, not at the report's failure.
TEST(OncePassTest, ARefusedKeptReportDoesNotEndThePass) {
  ScratchFolder packages, folder;
  std::ofstream(packages / "fw.bin") << std::string(4096, 'p');
  LocalServer server(R"({"tenants":[{"id":"demo-tenant","name":"D","token":"t1"}],"packagesFolder":")" +
                     packages.path.string() + R"(","updates":[{"UpdateSchedulerId":7,"UploadID":5007,"Action":"ScheduleUpdate",)"
                     R"("IProduct":"P100","Version":"3.7","Type":"Firmware","package":"fw.bin"}],)"
                     R"("faults":[{"target":"7","action":"statusFalse","times":-1},)"
                     R"({"target":"package","action":"delay","delayMs":2000,"times":1}]})");
  std::filesystem::create_directories(folder / "data");
  std::ofstream(folder / "data/FailedUpdateStatus.dat")
      << R"([{"DeviceID":"dev-1","Updatestatus":"Success","UploadID":1,"UpdateSchedularID":1,"Reason":""}])";
  // A pass that ended early would stop within a second, the slow transfer cut off.
  std::ofstream(folder / "config.json") << WithMember(ValidConfig(folder, server.Url()), "stopDrainSeconds", "1");
  AgentProcess agent(folder, {"--config", folder / "config.json", "--once"});
  EXPECT_EQ(agent.Wait(30000), 0) << agent.Err();
  EXPECT_GE(server.CountOf("7"), 1) << "the kept report was not sent";
  EXPECT_EQ(server.CountOf("package"), 1) << agent.Err();
  EXPECT_EQ(server.CountOf("11"), 1) << agent.Err();
}

// The service manager's side of sd_notify: a datagram socket.
struct NotifySocket {
  explicit NotifySocket(const std::string& path) : path(path) {
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const timeval limit{15, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~NotifySocket() { ::close(fd); }
  std::string Next() const {
    char buffer[512];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, got) : "";
  }
  std::string path;
  int fd = -1;
};

TEST(AgentServiceTest, ReadyIdleOnFourThreadsAndStoppedPromptlyBySignal) {
  LocalServer server;
  for (int signal : {SIGTERM, SIGINT}) {
    ScratchFolder folder;
    std::ofstream(folder / "config.json") << ValidConfig(folder, server.Url());
    const NotifySocket manager(folder / "notify.sock");
    AgentProcess agent(folder, {"--config", folder / "config.json"}, {"NOTIFY_SOCKET=" + manager.path});
    EXPECT_EQ(manager.Next(), "READY=1");
    ASSERT_TRUE(agent.WaitForOutput("event 6: heart beat accepted", 30000)) << agent.Err();
    const auto tasks = std::filesystem::directory_iterator("/proc/" + std::to_string(agent.Pid()) + "/task");
    EXPECT_LE(std::distance(begin(tasks), end(tasks)), 4);
    agent.Signal(signal);
    // Bounded: the agent promises to leave within two seconds.
    EXPECT_EQ(agent.Wait(2500), 0) << "signal " << signal << ": " << agent.Err();
    EXPECT_EQ(manager.Next(), "STOPPING=1");
  }
}

TEST(AgentServiceTest, ReloadAppliesWhatItCanAndNamesTheRest) {
  LocalServer server;
  ScratchFolder folder;
  const std::string config = ValidConfig(folder, server.Url());
  std::ofstream(folder / "config.json") << config;
  AgentProcess agent(folder, {"--config", folder / "config.json"});
  ASSERT_TRUE(agent.WaitForOutput("event 6: heart beat accepted", 30000)) << agent.Err();
  const std::pair<std::string, std::string> reloads[] = {
      {WithMember(config, "heartBeatSeconds", "7"), "fennic-agent: configuration re-read\n"},
      {WithMember(WithMember(config, "tenantId", "\"other\""), "logLevel", "4"),
       "fennic-agent: configuration re-read; a restart is needed for tenantId, logLevel\n"},
      {"{\"server\": ", "fennic-agent: configuration not re-read, keeping the running one: "},
  };
  for (const auto& [text, expected] : reloads) {
    const std::size_t before = agent.Err().size();
    std::ofstream(folder / "config.json") << text;
    agent.Signal(SIGHUP);
    for (int i = 0; i < 500 && agent.Err().size() == before; ++i) ::usleep(10000);
    EXPECT_EQ(agent.Err().substr(before).rfind(expected, 0), 0u) << agent.Err().substr(before);
  }
  EXPECT_EQ(agent.Wait(0), -1) << "a reload ended the agent";
}

TEST(AgentServiceTest, FailedHeartBeatsBackOffWithJitter) {
  // Registration passes; every heart beat after it finds the connection dropped.
  LocalServer server(R"({"tenants":[{"id":"demo-tenant","name":"D","token":"t1"}],
                         "faults":[{"target":"3","action":"refuse","times":-1}]})");
  ScratchFolder folder;
  std::ofstream(folder / "config.json") << ValidConfig(folder, server.Url());
  AgentProcess agent(folder, {"--config", folder / "config.json"});
  // Two intervals at most: the second failure waits no longer than the first.
  const std::pair<const char*, std::pair<double, double>> failures[] = {{"failure 1 in a row; next attempt in ", {1.6, 2.4}},
                                                                      {"failure 2 in a row; next attempt in ", {1.6, 2.4}}};
  for (const auto& [line, range] : failures) {
    ASSERT_TRUE(agent.WaitForOutput(line, 15000, true)) << agent.Err();
    const std::string err = agent.Err();
    const double seconds = std::stod(err.substr(err.find(line) + std::strlen(line)));
    EXPECT_TRUE(seconds >= range.first && seconds <= range.second) << line << seconds;
  }
}

// Whatever the server answers, registration and heart beats keep to the one
// back-off: with a one-second interval, waits of 1.6 to 2.4 s, so six
// seconds hold two to five attempts, never a storm and never a wait for the
// step bound.
struct StormCase {
  const char* name;
  std::string tenant;  // members after the tenant's id; "": no server at all
  std::string line;    // the host's first failure line
  const char* type = "2";  // the request that fails, counted
};

class StormTest : public ::testing::TestWithParam<StormCase> {};

TEST_P(StormTest, RegistrationFollowsTheBackoff) {
  const StormCase& c = GetParam();
  LocalServer server(R"({"tenants":[{"id":"demo-tenant",)" + (c.tenant.empty() ? R"("token":"t1"}])" : c.tenant) + "}");
  ScratchFolder folder;
  std::ofstream(folder / "config.json") << ValidConfig(folder, c.tenant.empty() ? "http://127.0.0.1:1" : server.Url());
  AgentProcess agent(folder, {"--config", folder / "config.json"});
  EXPECT_TRUE(agent.WaitForOutput("fennic-agent: " + c.line, 3000, true)) << agent.Err();
  ::usleep(6000000);
  const std::string err = agent.Err();
  int attempts = 0;
  if (!c.tenant.empty()) attempts = server.CountOf(c.type);
  else for (auto at = err.find(c.line); at != std::string::npos; at = err.find(c.line, at + 1)) ++attempts;
  EXPECT_GE(attempts, 2) << err;
  EXPECT_LE(attempts, 5) << err;
  EXPECT_LE(server.CountOf("2") + server.CountOf("3"), 10) << err;
  EXPECT_EQ(err.find("next attempt in 0"), std::string::npos) << err;
}

const StormCase kStormCases[] = {
    {"EmptyToken", R"("token":""}])", "registration failed: the server's token was refused (empty)"},
    {"RegistrationAnsweredHttp500", R"("token":"t1"}],"faults":[{"target":"2","action":"status500","times":-1}])",
     "registration failed: server answered HTTP 500"},
    // Event 7 (no 6) ends the heart beat as a failure at once.
    {"HeartBeatAnsweredHttp500", R"("token":"t1"}],"faults":[{"target":"3","action":"status500","times":-1}])",
     "failure 1 in a row", "3"},
    {"ServerKeepsAskingForRegistration", R"("token":"t1"}],"heartbeat":{"TriggerRegistartion":true})",
     "failure 1 in a row"},
    {"NoServer", "", "registration failed: no answer from http://127.0.0.1:1 (connection refused)"},
};

INSTANTIATE_TEST_SUITE_P(Answers, StormTest, ::testing::ValuesIn(kStormCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AgentServiceTest, AStopAbortsASlowRequestWithinTheDrainBoundPlusTwoSeconds) {
  // The download details are answered after 30 s; the request's own limit is longer.
  LocalServer server(R"({"tenants":[{"id":"demo-tenant","name":"D","token":"t1"}],
      "updates":[{"UpdateSchedulerId":1,"UploadID":9001,"IProduct":"P100","package":"p.bin"}],
      "faults":[{"target":"12","action":"delay","delayMs":30000,"times":-1}]})");
  ScratchFolder folder;
  std::string config = WithMember(ValidConfig(folder, server.Url()), "stopDrainSeconds", "1");
  std::ofstream(folder / "config.json") << WithMember(config, "transport", R"({"requestTimeoutMs":60000})");
  AgentProcess agent(folder, {"--config", folder / "config.json"});
  for (int i = 0; i < 1500 && server.CountOf("9") + server.CountOf("24") == 0; ++i) ::usleep(10000);
  ASSERT_GT(server.CountOf("9") + server.CountOf("24"), 0) << agent.Err();
  ::usleep(500000);  // the details request is in flight
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(3000), 0) << agent.Err();
  const std::string log = ScratchFolder::Slurp(folder / "agent.log") + agent.Err();
  EXPECT_NE(log.find("aborted by the stop"), std::string::npos) << log;
  EXPECT_EQ(log.find("timed out after"), std::string::npos) << log;
}

}  // namespace
