#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>

#include "AgentHarness.h"

using namespace fennic_agent_test;

namespace {

// A running agent with its control socket in a scratch folder that other
// users may pass through.
struct RunningAgent {
  explicit RunningAgent(const std::string& group = "", const std::string& scenario = "") : server(scenario) {
    ::chmod(folder.path.c_str(), 0711);
    std::string config = WithMember(ValidConfig(folder, server.Url()), "controlSocket", "\"" + Socket() + "\"");
    if (!group.empty()) config = WithMember(config, "controlGroup", "\"" + group + "\"");
    std::ofstream(folder / "config.json") << config;
    agent = std::make_unique<AgentProcess>(folder, std::vector<std::string>{"--config", folder / "config.json"});
    ready = agent->WaitForOutput("event 6: heart beat accepted", 30000);
  }
  std::string Socket() const { return folder / "agent.sock"; }
  std::unique_ptr<AgentProcess> Ctl(std::vector<std::string> args, const std::vector<std::string>& prefix = {},
                                    const std::string& input = "/dev/null") const {
    args.insert(args.begin(), {"ctl", "--socket", Socket()});
    auto ctl = std::make_unique<AgentProcess>(folder, args, std::vector<std::string>{}, prefix, input);
    code = ctl->Wait(15000);
    return ctl;
  }
  LocalServer server;
  ScratchFolder folder;
  std::unique_ptr<AgentProcess> agent;
  bool ready = false;
  mutable int code = -1;
};

struct CtlCase {
  const char* name;
  std::vector<std::string> args;  // "DATA" stands for a file holding `data`
  std::string data;
  int exit;
  std::string out;
  std::string err;
};

class ControlCommandTest : public ::testing::TestWithParam<CtlCase> {
 protected:
  static void SetUpTestSuite() { shared_ = std::make_unique<RunningAgent>(); }
  static void TearDownTestSuite() { shared_.reset(); }
  static inline std::unique_ptr<RunningAgent> shared_;
};

TEST_P(ControlCommandTest, AnswersAndLeavesTheAgentRunning) {
  const CtlCase& c = GetParam();
  ASSERT_TRUE(shared_->ready) << shared_->agent->Out() << shared_->agent->Err();
  std::vector<std::string> args = c.args;
  const std::string dataFile = shared_->folder / (std::string(c.name) + ".data");
  std::ofstream(dataFile) << c.data;
  std::string input = "/dev/null";
  for (auto& arg : args)
    if (arg == "DATA") arg = dataFile;
    else if (arg == "-") input = dataFile;
  const auto ctl = shared_->Ctl(args, {}, input);
  EXPECT_EQ(shared_->code, c.exit) << ctl->Out() << ctl->Err();
  EXPECT_NE(ctl->Out().find(c.out), std::string::npos) << ctl->Out();
  EXPECT_NE(ctl->Err().find(c.err), std::string::npos) << ctl->Err();
  const std::string err = ctl->Err();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.exit != 0 ? 1 : 0) << err;
  EXPECT_EQ(shared_->agent->Wait(0), -1) << "the agent ended: " << shared_->agent->Err();
}

const CtlCase kCtlCases[] = {
    {"Status", {"status"}, "", 0, "version: " FENNIC_VERSION "\nregistered: yes\nlast contact with the server: 20", ""},
    {"StatusReportsUpdateCheck", {"status"}, "", 0, "last update check failed: no", ""},
    {"HeartBeatNowWaitsForItsEvent", {"--wait", "6,7", "heartbeat"}, "", 0, "event 6: heart beat accepted", ""},
    {"TransportQueryRaisesItsEvent", {"--wait", "19", "request", "19"}, "", 0,
     "event 19: transport query answered\nrequest 19: queued", ""},
    {"ClientStateFromAFile", {"request", "16", "DATA"}, "1", 0, "request 16: nothing queued", ""},
    {"BadDataFromStandardInputRefused", {"request", "16", "-"}, "x", 1, "", "request refused: invalid stoi argument"},
    {"SessionTerminatedQueued", {"request", "18"}, "", 0, "request 18: queued", ""},
    {"AllUpdatesWithDataEndTheirCheck", {"--wait", "4,9", "request", "13", "DATA"}, "{}", 0, "request 13: queued", ""},
    {"AwaitedEventMissingTimesOut", {"--wait", "15", "--timeout", "1", "request", "19"}, "", 1,
     "event 19: transport query answered", "no awaited event within the time-out"},
    {"UnknownCommand", {"bogus"}, "", 2, "", "unknown command bogus"},
    {"RequestWithoutCode", {"request"}, "", 2, "", "request needs a numeric code"},
    {"BadWaitCodes", {"--wait", "6,x", "status"}, "", 2, "", "bad event codes 6,x"},
};

INSTANTIATE_TEST_SUITE_P(Commands, ControlCommandTest, ::testing::ValuesIn(kCtlCases),
                         [](const auto& info) { return std::string(info.param.name); });

std::string RawExchange(const std::string& path, const std::string& line) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
  }
  ::close(fd);
  return answer;
}

TEST_F(ControlCommandTest, MalformedLinesGetAnErrorAnswer) {
  RunningAgent& running = *shared_;
  ASSERT_TRUE(running.ready) << running.agent->Err();
  const std::pair<const char*, const char*> lines[] = {
      {"not json\n", "malformed request"},
      {"[1]\n", "malformed request"},
      {"{\"command\":\"request\",\"code\":\"9\"}\n", "needs an integer \\\"code\\\""},
      {"{\"command\":\"status\",\"waitFor\":[\"x\"]}\n", "array of event codes"},
      {"{\"command\":\"launch\"}\n", "unknown command"},
  };
  for (const auto& [line, expected] : lines) {
    const std::string answer = RawExchange(running.Socket(), line);
    EXPECT_NE(answer.find("\"ok\":false"), std::string::npos) << line << answer;
    EXPECT_NE(answer.find(expected), std::string::npos) << line << answer;
  }
  EXPECT_NE(running.Ctl({"status"})->Out().find("registered: yes"), std::string::npos);
  EXPECT_EQ(running.code, 0);
}

TEST(ControlSocketTest, StatusSaysWhatIsTrueNow) {
  LocalServer server;
  ScratchFolder folder;
  std::filesystem::create_directories(folder / "data");
  ::chmod((folder / "data").c_str(), 0700);
  // One update downloaded (its package since handed on), two not yet.
  ScratchFolder::Put(folder / "data/Update.dat", R"([{"UpdateSchedulerId":1,"downloadStatus":true},)"
                                                 R"({"UpdateSchedulerId":2,"downloadStatus":false},{"UpdateSchedulerId":3}])");
  std::ofstream(folder / "config.json")
      << WithMember(ValidConfig(folder, server.Url()), "controlSocket", "\"" + folder / "agent.sock" + "\"");
  AgentProcess agent(folder, {"--config", folder / "config.json"});
  // Registered (client state 3), then the first heart beat's check ended (0).
  ASSERT_TRUE(agent.WaitForOutput("event 5: no update work pending", 30000)) << agent.Err();
  AgentProcess ctl(folder, {"ctl", "--socket", folder / "agent.sock", "status"});
  EXPECT_EQ(ctl.Wait(15000), 0) << ctl.Err();
  EXPECT_NE(ctl.Out().find("client state: 0\n"), std::string::npos) << ctl.Out();
  EXPECT_NE(ctl.Out().find("pending downloads: 2\n"), std::string::npos) << ctl.Out();
}

struct PermissionCase {
  const char* name;
  std::string group;  // controlGroup of the agent
  bool openMode;      // the socket's mode loosened to 0666 behind the agent's back
  std::vector<std::string> user;
  int exit;
  std::string err;
};

class ControlPermissionTest : public ::testing::TestWithParam<PermissionCase> {};

TEST_P(ControlPermissionTest, OnlyTheAgentsUserOrGroup) {
  const PermissionCase& c = GetParam();
  RunningAgent running(c.group);
  ASSERT_TRUE(running.ready) << running.agent->Err();
  EXPECT_EQ(static_cast<unsigned>(std::filesystem::status(running.Socket()).permissions()), 0660u);
  if (c.openMode) ::chmod(running.Socket().c_str(), 0666);
  std::vector<std::string> prefix = {"/usr/bin/setpriv"};
  prefix.insert(prefix.end(), c.user.begin(), c.user.end());
  const auto ctl = running.Ctl({"status"}, prefix);
  EXPECT_EQ(running.code, c.exit) << ctl->Err();
  EXPECT_NE(ctl->Err().find(c.err), std::string::npos) << ctl->Err();
}

const std::vector<std::string> kNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
const PermissionCase kPermissionCases[] = {
    {"OtherUserStoppedBySocketMode", "", false, kNobody, 1, "Permission denied"},
    {"OtherUserStoppedByCredentials", "", true, kNobody, 1, "permission denied"},
    {"OtherGroupStoppedByCredentials", "nogroup", true, {"--reuid=65534", "--regid=65533", "--clear-groups"}, 1,
     "permission denied"},
    {"ControlGroupMember", "nogroup", false, kNobody, 0, ""},
    {"SupplementaryControlGroupMember", "nogroup", false, {"--reuid=65534", "--regid=65533", "--groups=65534"}, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Users, ControlPermissionTest, ::testing::ValuesIn(kPermissionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ControlSocketTest, NoAgentFailsAtOnceWithOneLine) {
  ScratchFolder folder;
  AgentProcess ctl(folder, {"ctl", "--socket", folder / "absent.sock", "status"});
  EXPECT_EQ(ctl.Wait(3000), 1);
  EXPECT_EQ(ctl.Err(), "fennic-agent ctl: no agent is listening on " + (folder / "absent.sock") +
                           " (No such file or directory)\n");
}

TEST(ControlSocketTest, SecondAgentRefusedAndTheStopSendsTheQueueThenRemovesTheSocket) {
  // Each device report takes the slowed server 300 ms; the stop comes right after the burst.
  RunningAgent running("", R"({"tenants":[{"id":"demo-tenant","name":"D","token":"t1"}],
                              "faults":[{"target":"4","action":"delay","delayMs":300,"times":-1}]})");
  ASSERT_TRUE(running.ready) << running.agent->Err();
  AgentProcess second(running.folder, {"--config", running.folder / "config.json"});
  EXPECT_EQ(second.Wait(10000), 2);
  EXPECT_NE(second.Err().find("another agent is listening on it"), std::string::npos) << second.Err();
  for (int i = 0; i < 4; ++i) EXPECT_EQ((running.Ctl({"request", "2"}), running.code), 0) << i;
  running.agent->Signal(SIGTERM);
  EXPECT_EQ(running.agent->Wait(10000), 0) << running.agent->Err();
  EXPECT_NE(::access(running.Socket().c_str(), F_OK), 0) << "the socket stays";
  EXPECT_EQ(running.server.CountOf("4"), 4);
}

}  // namespace
