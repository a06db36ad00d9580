// Verified packages kept for the installer under product and version.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "AgentConfig.h"
#include "PackageStore.h"
#include "TransportFixtures.h"

using namespace zelvan::fennic;
using namespace fennic_test;

namespace {

struct StoreCase {
  const char *name, *product, *version;  // version nullptr: the details carry none
  bool ok;
  const char* file = "fw.bin";
};

class TransportPackageStore : public ::testing::TestWithParam<StoreCase> {};

TEST_P(TransportPackageStore, KeepsVerifiedPackagesByProductAndVersionAndNothingElsewhere) {
  const StoreCase& c = GetParam();
  ScratchFolder sandbox;
  fs::create_directories(sandbox.path / "dl");
  const std::string package = Package(100 * 1024);
  ScriptedListener server([&](const SeenRequest&) { return Reply{200, package}; });
  auto options = FastOptions((sandbox.path / "dl").string());
  options.packageStoreFolder = (sandbox.path / "store").string();
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  auto details = web::json::value::parse(Details("/packages/fw.bin", package.size(), Sha(package)));
  if (c.version) details["Version"] = web::json::value::string(c.version);
  const auto [ok, reason] = Fetch(client, details.serialize(), sandbox.path / "dl", c.file, c.product);
  EXPECT_EQ(ok, c.ok) << reason;
  EXPECT_EQ(reason.find("package store refuses") != std::string::npos, !c.ok) << reason;
  // A refused name is known before the transfer: nothing is fetched nor left.
  EXPECT_EQ(server.Seen().size(), c.ok ? 1u : 0u);
  EXPECT_EQ(fs::is_empty(sandbox.path / "dl"), !c.ok);
  fs::remove_all(sandbox.path / "dl");
  const std::string product = std::string("store/") + c.product;
  const std::string version = product + "/" + (c.version ? c.version : "unversioned");
  const std::vector<std::string> kept = {"store", product, version, version + "/fw.bin"};
  EXPECT_EQ(sandbox.Names(), c.ok ? kept : std::vector<std::string>());
  EXPECT_EQ(ScratchFolder::Slurp(sandbox.path / version / "fw.bin"), c.ok ? package : "");
  EXPECT_EQ(fs::status(sandbox.path / product).permissions() & fs::perms::all, ok ? fs::perms::owner_all : fs::perms::all);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TransportPackageStore,
    ::testing::Values(StoreCase{"productAndVersion", "P100", "2.1.0", true}, StoreCase{"noVersion", "P100", nullptr, true},
                      StoreCase{"climbingProduct", "../evil", "1", false}, StoreCase{"hiddenProduct", ".cache", "1", false},
                      StoreCase{"climbingVersion", "P100", "../../evil", false},
                      StoreCase{"hiddenFile", "P100", "1", false, "..%2F..%2Foutside%2Ffw.bin"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransportPackageStore, KeepsOnlyTheNewestTwoVersionsAndNeverFollowsALink) {
  ScratchFolder sandbox, elsewhere;
  std::ofstream(sandbox.path / "fw.bin") << "firmware";
  PackageStore store((sandbox.path / "store").string());
  for (const char* version : {"1", "2", "3"})
    EXPECT_EQ(store.Keep((sandbox.path / "fw.bin").string(), "P", version, "fw.bin"), "");
  EXPECT_EQ(sandbox.Names("store"), (std::vector<std::string>{"P", "P/2", "P/2/fw.bin", "P/3", "P/3/fw.bin"}));
  fs::create_directory_symlink(elsewhere.path, sandbox.path / "store" / "Q");
  EXPECT_NE(store.Keep((sandbox.path / "fw.bin").string(), "Q", "1", "fw.bin"), "");
  EXPECT_TRUE(elsewhere.Names().empty());
}

// The configuration's transport members and the download-folder rule.
struct ConfigCase {
  const char *name, *transport;  // the "transport" member's JSON
  unsigned folderMode;           // of the download folder; 0: the agent creates it
  const char* result;            // "proxy|certificate|store|answer cap" or the error's telling part
};

class AgentTransportConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(AgentTransportConfig, ReadsTheTransportMembersAndRefusesASharedDownloadFolder) {
  const ConfigCase& c = GetParam();
  ScratchFolder dir;
  if (c.folderMode != 0 && fs::create_directory(dir.path / "dl")) ::chmod((dir.path / "dl").c_str(), c.folderMode);
  std::ofstream(dir.path / "agent.json") << "{\"server\": \"http://127.0.0.1:1\", \"tenantId\": \"t\", \"dataFolder\": \""
                                         << (dir.path / "data").string() << "\", \"downloadFolder\": \""
                                         << (dir.path / "dl").string() << "\", \"heartBeatSeconds\": 60, \"logLevel\": 2, "
                                         << "\"supportedProducts\": [], \"transport\": " << c.transport << "}";
  std::string text;
  const std::string refusal = Refusal<agent::ConfigError>([&] {
    const auto config = agent::LoadAgentConfig((dir.path / "agent.json").string());
    text = config.transport.proxy + "|" + config.transport.clientCertFile + "|" +
           fs::relative(config.transport.packageStoreFolder, dir.path).string() + "|" +
           std::to_string(config.transport.maxAnswerBytes);
    for (const fs::path& folder : {fs::path(config.transport.packageStoreFolder), dir.path / "dl"})
      EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all) << folder;
  });
  EXPECT_EQ(refusal.find('\n'), std::string::npos) << "one line";
  EXPECT_NE((refusal.empty() ? text : refusal).find(c.result), std::string::npos) << text << refusal;
}

const char* const kTransport = "{\"proxy\": \"http://127.0.0.1:3128\", \"clientCertFile\": \"/dev/null\"}";
INSTANTIATE_TEST_SUITE_P(
    Files, AgentTransportConfig,
    ::testing::Values(ConfigCase{"createdPrivate", kTransport, 0, "http://127.0.0.1:3128|/dev/null|data/packages|16777216"},
                      ConfigCase{"privateFolder", "{\"maxAnswerBytes\": 4096}", 0700, "||data/packages|4096"},
                      ConfigCase{"othersMayWrite", "{}", 0777, "is writable by other users"},
                      ConfigCase{"groupMayWrite", "{}", 0770, "is writable by other users"},
                      ConfigCase{"unreadableKey", "{\"clientKeyFile\": \"/nonexistent/agent.key\"}", 0, "cannot read"},
                      ConfigCase{"proxyNotText", "{\"proxy\": 3}", 0, "\"proxy\" must be a non-empty string"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
