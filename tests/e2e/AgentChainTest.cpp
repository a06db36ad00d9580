// The agent program against the local management server, end to end. Every
// run is bounded; the assertions read what went over the wire from the
// server's record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

#include "AgentProcess.h"
#include "ManagementServer.h"
#include "RecordReport.h"
#include "Sha256.h"

using namespace zelvan::fennic;
using fennic_test::AgentRun;
using fennic_test::RunProgram;
using web::json::value;
namespace fs = std::filesystem;

namespace {

constexpr auto kRunLimit = std::chrono::seconds(60);

struct Site {
  fs::path root;
  Site() {
    root = fs::temp_directory_path() /
           ("fennic-e2e-" + std::to_string(::getpid()) + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root / "packages");
    fs::create_directories(root / "data");
    fs::create_directories(root / "downloads");
  }
  ~Site() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string Package(const std::string& name, size_t size) const {
    std::ofstream out(root / "packages" / name, std::ios::binary);
    std::string chunk(4096, '\0');
    for (size_t done = 0; done < size; done += chunk.size()) {
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((done + i) * 31 + name.size());
      out.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), size - done)));
    }
    return (root / "packages" / name).string();
  }
  std::vector<std::string> Downloads() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root / "downloads")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// The agent's configuration file for one site and server.
std::string WriteAgentConfig(const Site& site, const std::string& base, const std::string& tenant) {
  value c = value::object();
  c["server"] = value::string(base);
  c["tenantId"] = value::string(tenant);
  c["dataFolder"] = value::string((site.root / "data").string());
  c["downloadFolder"] = value::string((site.root / "downloads").string());
  c["heartBeatSeconds"] = value::number(300);
  c["logLevel"] = value::number(2);
  c["onceTimeoutSeconds"] = value::number(45);
  c["sessionUser"] = value::string("root");
  value products = value::array();
  products[0] = value::string("P100");
  products[1] = value::string("P200");
  c["supportedProducts"] = products;
  const auto path = site.root / "agent.json";
  std::ofstream(path) << c.serialize();
  return path.string();
}

AgentRun RunAgentOnce(const std::string& config) {
  return RunProgram(FENNIC_AGENT_PROGRAM, {"--config", config, "--once"}, kRunLimit);
}

struct Server {
  std::unique_ptr<ManagementServer> server;
  Server(const std::string& scenarioText, const Site& site, const std::string& packages = "") {
    ServerOptions options;
    options.packagesFolder = packages.empty() ? (site.root / "packages").string() : packages;
    options.recordFile = (site.root / "record.jsonl").string();
    server = std::make_unique<ManagementServer>(Scenario::FromJson(value::parse(scenarioText), ""), options);
    server->Start();
  }
  std::vector<value> Acks() const {
    std::vector<value> out;
    for (const auto& r : server->Records())
      if (r.at("type").as_string() == "11" && r.at("body").is_array())
        for (const auto& e : r.at("body").as_array()) out.push_back(e);
    return out;
  }
};

std::string Describe(const AgentRun& run) {
  return "exit " + std::to_string(run.exitCode) + " signal " + std::to_string(run.signal) +
         (run.timedOut ? " TIMED OUT" : "") + "\n" + run.output;
}

std::string Updates(int count, int firstId, const std::string& extra = "") {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i) text += ",";
    text += "{\"UpdateSchedulerId\":" + std::to_string(firstId + i) + ",\"UploadID\":" +
            std::to_string(9000 + firstId + i) + ",\"IProduct\":\"P100\",\"package\":\"pkg-" +
            std::to_string(firstId + i) + ".bin\"" + extra + "}";
  }
  return text;
}

const char* kTenant = R"J({"id": "acme", "name": "Acme", "token": "tok-acme"})J";

}  // namespace

TEST(AgentChain, DemoScenarioRegistersAppliesAndAcknowledgesEveryDownload) {
  Site site;
  ServerOptions options;
  options.packagesFolder = FENNIC_DEMO_PACKAGES;
  options.recordFile = (site.root / "record.jsonl").string();
  ManagementServer server(Scenario::FromFile(FENNIC_DEMO_SCENARIO), options);
  server.Start();
  const auto run = RunAgentOnce(WriteAgentConfig(site, server.BaseUrl(), "demo-tenant"));
  ASSERT_FALSE(run.timedOut) << Describe(run);
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  const auto records = ReadRecordFile(options.recordFile);
  EXPECT_EQ(Summarize(records),
            "demo: registered=yes heartbeats=1 updates=2 configs=1 downloads=2 acks=2 failures=0 directory=1 plugs=0"
            " unplugs=0 inventories=0 installs=0 installfailures=0 calls=0 softphones=0 userdetails=1"
            " voiceprompts=0 badbodies=0")
      << Describe(run);
  // Order on the wire: registration, the host's user details, heart beat,
  // directory queries answered, updates, then the downloads.
  std::vector<std::string> order;
  for (const auto& r : records) order.push_back(r.at("type").as_string());
  ASSERT_GE(order.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 6),
            (std::vector<std::string>{"2", "21", "3", "10", "6", "9"}));
  for (const auto& r : records) {
    if (r.at("type").as_string() != "2") {
      EXPECT_EQ(r.at("authorization").as_string(), "Bearer demo-token-1");
    }
  }
}

TEST(AgentChain, RefusedRegistrationEndsTheRunWithoutFurtherRequests) {
  Site site;
  Server s(R"J({"tenants": [{"id": "acme", "registration": "refuse", "errorMessage": "Tenant suspended"}]})J", site);
  const auto run = RunAgentOnce(WriteAgentConfig(site, s.server->BaseUrl(), "acme"));
  ASSERT_FALSE(run.timedOut) << Describe(run);
  EXPECT_EQ(run.signal, 0) << Describe(run);
  EXPECT_NE(run.exitCode, 0) << Describe(run);
  for (const auto& r : s.server->Records())
    EXPECT_TRUE(r.at("type").as_string() == "2" || r.at("outcome").as_string() == "unauthorised") << r.serialize();
}

TEST(AgentChain, DownloadBrokenOffByTheServerResumesOnTheNextRun) {
  Site site;
  const std::string package = site.Package("pkg-1.bin", 3 * 1024 * 1024);
  Server s(std::string(R"J({"tenants": [)J") + kTenant + R"J(], "updates": [)J" + Updates(1, 1) +
               R"J(], "faults": [{"target": "package", "action": "truncate", "bytes": 2000000}]})J",
           site);
  const std::string config = WriteAgentConfig(site, s.server->BaseUrl(), "acme");
  const auto first = RunAgentOnce(config);
  ASSERT_FALSE(first.timedOut) << Describe(first);
  EXPECT_EQ(first.signal, 0) << Describe(first);
  auto acks = s.Acks();
  ASSERT_FALSE(acks.empty()) << Describe(first);
  EXPECT_EQ(acks[0].at("Status").as_string(), "Failed");
  EXPECT_FALSE(acks[0].at("Reason").as_string().empty()) << "the failure is explained";

  // The server goes away and comes back on the same address with its state.
  s.server->Stop();
  s.server->Start();
  const auto second = RunAgentOnce(config);
  ASSERT_FALSE(second.timedOut) << Describe(second);
  EXPECT_EQ(second.exitCode, 0) << Describe(second);
  acks = s.Acks();
  ASSERT_GE(acks.size(), 2u);
  EXPECT_EQ(acks.back().at("Status").as_string(), "Success");
  bool resumed = false;
  for (const auto& r : s.server->Records())
    resumed = resumed || (r.at("type").as_string() == "package" && r.has_field("range") &&
                          r.at("status").as_integer() == 206);
  EXPECT_TRUE(resumed) << "the second run asked only for the missing part";
}

TEST(AgentChain, PackageWithAWrongChecksumIsRefusedAndNothingIsLeft) {
  Site site;
  site.Package("pkg-1.bin", 200000);
  Server s(std::string(R"J({"tenants": [)J") + kTenant + R"J(], "updates": [)J" +
               Updates(1, 1, ",\"checksum\":\"wrong\"") + "]}",
           site);
  const auto run = RunAgentOnce(WriteAgentConfig(site, s.server->BaseUrl(), "acme"));
  ASSERT_FALSE(run.timedOut) << Describe(run);
  EXPECT_EQ(run.signal, 0) << Describe(run);
  const auto acks = s.Acks();
  ASSERT_FALSE(acks.empty()) << Describe(run);
  EXPECT_EQ(acks[0].at("Status").as_string(), "Failed");
  EXPECT_NE(acks[0].at("Reason").as_string().find("checksum"), std::string::npos) << acks[0].serialize();
  EXPECT_TRUE(site.Downloads().empty()) << "neither the package nor a partial file stays";
}

TEST(AgentChain, FiftyUpdatesInOneAnswerAreAllDownloadedAndAcknowledgedOnce) {
  Site site;
  for (int i = 0; i < 50; ++i) site.Package("pkg-" + std::to_string(100 + i) + ".bin", 4096 + i * 10);
  Server s(std::string(R"J({"tenants": [)J") + kTenant + R"J(], "updates": [)J" + Updates(50, 100) + "]}", site);
  const auto run = RunAgentOnce(WriteAgentConfig(site, s.server->BaseUrl(), "acme"));
  ASSERT_FALSE(run.timedOut) << Describe(run);
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  std::map<int, int> acked;
  for (const auto& a : s.Acks()) {
    EXPECT_EQ(a.at("Status").as_string(), "Success") << a.serialize();
    ++acked[a.at("UpdateSchedulerId").as_integer()];
  }
  EXPECT_EQ(acked.size(), 50u);
  for (const auto& [id, times] : acked) EXPECT_EQ(times, 1) << "update " << id;
  EXPECT_EQ(s.server->CountOf("package"), 50);
}

// Faults from the scenario list: whatever the server does, the agent ends
// by itself within the limit and never dies of a signal.
struct FaultCase {
  const char* name;
  const char* fault;
};

class AgentChainFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(AgentChainFaults, AgentNeverCrashesOrHangs) {
  Site site;
  site.Package("pkg-1.bin", 100000);
  site.Package("pkg-2.bin", 100000);
  Server s(std::string(R"J({"tenants": [)J") + kTenant + R"J(], "updates": [)J" + Updates(2, 1) +
               R"J(], "faults": [)J" + GetParam().fault + "]}",
           site);
  const auto run = RunAgentOnce(WriteAgentConfig(site, s.server->BaseUrl(), "acme"));
  EXPECT_FALSE(run.timedOut) << Describe(run);
  EXPECT_EQ(run.signal, 0) << Describe(run);
  EXPECT_GE(s.server->CountOf("2"), 1) << "the agent did talk to the server";
  // A failed download is asked for once more by the full list that ends the
  // check, so an update is acknowledged at most twice, never more.
  std::map<int, int> acked;
  for (const auto& a : s.Acks()) ++acked[a.at("UpdateSchedulerId").as_integer()];
  for (const auto& [id, times] : acked) EXPECT_LE(times, 2) << "update " << id;
}

INSTANTIATE_TEST_SUITE_P(
    Scenario, AgentChainFaults,
    ::testing::Values(
        FaultCase{"registrationDropped", R"J({"target": "2", "action": "refuse"})J"},
        FaultCase{"heartBeat500", R"J({"target": "3", "action": "status500"})J"},
        FaultCase{"heartBeatMalformed", R"J({"target": "3", "action": "malformed"})J"},
        FaultCase{"updatesTruncated", R"J({"target": "9", "action": "truncate"})J"},
        FaultCase{"updatesSlow", R"J({"target": "9", "action": "delay", "delayMs": 1500})J"},
        FaultCase{"detailsMalformed", R"J({"target": "12", "action": "malformed"})J"},
        FaultCase{"detailsRefused", R"J({"target": "12", "action": "refuse", "times": -1})J"},
        FaultCase{"acknowledgementRefused", R"J({"target": "11", "action": "refuse"})J"},
        FaultCase{"packageRefused", R"J({"target": "package", "action": "refuse", "times": -1})J"},
        FaultCase{"everythingSlowOnce", R"J({"target": "*", "action": "delay", "delayMs": 300, "times": 3})J"}),
    [](const auto& info) { return std::string(info.param.name); });
