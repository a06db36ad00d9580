// The agent program against the local management server, end to end. Every
// run is bounded; the assertions read what went over the wire from the
// server's record.
#include <gtest/gtest.h>

#include <map>

#include "AgentHarness.h"
#include "RecordReport.h"

using namespace zelvan::fennic;
using namespace fennic_agent_test;
using web::json::value;

namespace {

ServerOptions InFolder(const ScratchFolder& folder, const std::string& packages) {
  for (const char* sub : {"packages", "downloads"}) std::filesystem::create_directories(folder / sub);
  ServerOptions options;
  options.packagesFolder = packages.empty() ? folder / "packages" : packages;
  options.recordFile = folder / "record.jsonl";
  return options;
}

// A local server playing a scenario, and one-pass runs of the agent against it.
struct Site {
  ScratchFolder folder;
  ManagementServer server;
  Site(Scenario scenario, const std::string& packages) : server(std::move(scenario), InFolder(folder, packages)) {
    server.Start();
  }
  explicit Site(const std::string& scenario) : Site(Scenario::FromJson(value::parse(scenario), ""), "") {}
  Ended Once(const std::string& tenant = "acme") const {
    std::string config = ValidConfig(folder, server.BaseUrl());
    const std::pair<const char*, std::string> members[] = {
        {"tenantId", "\"" + tenant + "\""}, {"heartBeatSeconds", "300"}, {"onceTimeoutSeconds", "45"},
        {"sessionUser", "\"root\""},        {"supportedProducts", R"(["P100","P200"])"}};
    for (const auto& [name, json] : members) config = WithMember(config, name, json);
    std::ofstream(folder / "agent.json") << config;
    return RunToEnd(folder, {"--config", folder / "agent.json", "--once"});
  }
  void Package(const std::string& name, size_t size) const {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + name.size());
    std::ofstream(folder / ("packages/" + name), std::ios::binary) << bytes;
  }
  std::vector<value> Acks() const {
    std::vector<value> out;
    for (const auto& r : server.Records())
      if (r.at("type").as_string() == "11" && r.at("body").is_array())
        for (const auto& e : r.at("body").as_array()) out.push_back(e);
    return out;
  }
};

// Tenant "acme", `count` updates of product P100, and `rest` members.
std::string Play(int count, const std::string& rest = "") {
  std::string text = R"({"tenants": [{"id": "acme", "name": "Acme", "token": "tok-acme"}], "updates": [)";
  for (int id = 1; id <= count; ++id)
    text += (id > 1 ? "," : "") + std::string("{\"UpdateSchedulerId\":") + std::to_string(id) + ",\"UploadID\":" +
            std::to_string(9000 + id) + ",\"IProduct\":\"P100\",\"package\":\"pkg-" + std::to_string(id) + ".bin\"}";
  return text + "]" + rest + "}";
}

}  // namespace

TEST(AgentChain, DemoScenarioRegistersAppliesAndAcknowledgesEveryDownload) {
  Site site(Scenario::FromFile(FENNIC_DEMO_SCENARIO), FENNIC_DEMO_PACKAGES);
  const auto run = site.Once("demo-tenant");
  EXPECT_EQ(run.code, 0) << run.text;
  const auto records = ReadRecordFile(site.folder / "record.jsonl");
  EXPECT_EQ(Summarize(records),
            "demo: registered=yes heartbeats=1 updates=2 configs=1 downloads=2 acks=2 failures=0 directory=1 plugs=0"
            " unplugs=0 inventories=0 installs=0 installfailures=0 calls=0 softphones=0 userdetails=1"
            " voiceprompts=0 badbodies=0 signatures=0")
      << run.text;
  // Order on the wire: registration, the host's user details, heart beat,
  // directory queries answered, updates, then the downloads.
  std::vector<std::string> order;
  for (const auto& r : records) order.push_back(r.at("type").as_string());
  ASSERT_GE(order.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 6),
            (std::vector<std::string>{"2", "21", "3", "10", "6", "9"}));
  for (const auto& r : records)
    EXPECT_TRUE(r.at("type").as_string() == "2" || r.at("authorization").as_string() == "Bearer demo-token-1")
        << r.serialize();
}

TEST(AgentChain, DownloadBrokenOffByTheServerResumesOnTheNextRun) {
  Site site(Play(1, R"J(, "faults": [{"target": "package", "action": "truncate", "bytes": 2000000}])J"));
  site.Package("pkg-1.bin", 3 * 1024 * 1024);
  const auto first = site.Once();
  EXPECT_TRUE(first.code >= 0 && first.code < 128) << first.text;
  auto acks = site.Acks();
  ASSERT_FALSE(acks.empty()) << first.text;
  EXPECT_EQ(acks[0].at("Status").as_string(), "Failed");
  EXPECT_FALSE(acks[0].at("Reason").as_string().empty()) << "the failure is explained";

  // The server goes away and comes back on the same address with its state.
  site.server.Stop();
  site.server.Start();
  const auto second = site.Once();
  EXPECT_EQ(second.code, 0) << second.text;
  EXPECT_EQ(site.server.CountOf("2"), 1) << "the second run reuses the stored token";
  acks = site.Acks();
  ASSERT_GE(acks.size(), 2u);
  EXPECT_EQ(acks.back().at("Status").as_string(), "Success");
  const auto records = site.server.Records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const value& r) {
    return r.at("type").as_string() == "package" && r.has_field("range") && r.at("status").as_integer() == 206;
  })) << "the second run asked only for the missing part";
}

// Faults from the scenario list: whatever the server does, the agent ends
// by itself within the limit and never dies of a signal.
class AgentChainFaults : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(AgentChainFaults, AgentNeverCrashesOrHangs) {
  Site site(Play(2, std::string(R"J(, "faults": [)J") + GetParam().second + "]"));
  site.Package("pkg-1.bin", 100000);
  site.Package("pkg-2.bin", 100000);
  const auto run = site.Once();
  EXPECT_TRUE(run.code >= 0 && run.code < 128) << run.text;
  EXPECT_GE(site.server.CountOf("2"), 1) << "the agent did talk to the server";
  // A failed download is asked for once more by the full list that ends the
  // check, so an update is acknowledged at most twice, never more.
  std::map<int, int> acked;
  for (const auto& a : site.Acks()) ++acked[a.at("UpdateSchedulerId").as_integer()];
  for (const auto& [id, times] : acked) EXPECT_LE(times, 2) << "update " << id;
}

INSTANTIATE_TEST_SUITE_P(
    Scenario, AgentChainFaults,
    ::testing::Values(std::pair{"registrationDropped", R"J({"target": "2", "action": "refuse"})J"},
                      std::pair{"heartBeatMalformed", R"J({"target": "3", "action": "malformed"})J"},
                      std::pair{"updatesTruncated", R"J({"target": "9", "action": "truncate"})J"},
                      std::pair{"detailsMalformed", R"J({"target": "12", "action": "malformed"})J"},
                      std::pair{"detailsRefused", R"J({"target": "12", "action": "refuse", "times": -1})J"},
                      std::pair{"acknowledgementRefused", R"J({"target": "11", "action": "refuse"})J"},
                      std::pair{"packageRefused", R"J({"target": "package", "action": "refuse", "times": -1})J"},
                      std::pair{"everythingSlowOnce",
                                R"J({"target": "*", "action": "delay", "delayMs": 300, "times": 3})J"}),
    [](const auto& info) { return std::string(info.param.first); });
