#include <gtest/gtest.h>

#include <algorithm>

#include "AgentHarness.h"
#include "PackageSignature.h"
#include "../support/MinisignSigner.h"

using namespace fennic_agent_test;
using fennic_test::MinisignSigner;
namespace fs = std::filesystem;

namespace {

// The acknowledgements the server received for one scheduler id, as
// "Status (Reason)".
std::vector<std::string> AcksOf(const LocalServer& server, int id) {
  std::vector<std::string> out;
  for (const auto& r : server.Records()) {
    if (r.at("type").as_string() != "11" || !r.at("body").is_array()) continue;
    for (const auto& e : r.at("body").as_array())
      if (e.has_integer_field("UpdateSchedulerId") && e.at("UpdateSchedulerId").as_integer() == id)
        out.push_back(e.at("Status").as_string() + " (" + e.at("Reason").as_string() + ")");
  }
  return out;
}

int FetchesOf(const LocalServer& server, const std::string& path) {
  const auto records = server.Records();
  return static_cast<int>(std::count_if(records.begin(), records.end(),
                                        [&](const auto& r) { return r.at("path").as_string() == path; }));
}

}  // namespace

// Under "require" the agent installs the signed package, refuses the one
// altered after signing with a reason the server is told once, fetches it
// only once however often the heart beat comes, and hands it to nobody.
// A reload changes the trusted keys without a restart.
TEST(SignedPackagesTest, RequireInstallsTheSignedAndRefusesTheTamperedOnce) {
  ScratchFolder folder;
  fs::create_directories(folder / "packages");
  fs::create_directories(folder / "keys");
  MinisignSigner vendor, successor;
  const std::string good(40000, 'g'), bad(40000, 'b');
  std::string altered = bad;
  altered[20000] ^= 0x01;
  ScratchFolder::Put(folder / "packages/good.bin", good);
  ScratchFolder::Put(folder / "packages/good.bin.minisig", vendor.Sign(good, "good.bin"));
  ScratchFolder::Put(folder / "packages/bad.bin", altered);
  ScratchFolder::Put(folder / "packages/bad.bin.minisig", vendor.Sign(bad, "bad.bin"));
  ScratchFolder::Put(folder / "keys/vendor.pub", vendor.PublicKeyText());
  ScratchFolder::Put(folder / "keys/successor.pub", successor.PublicKeyText());
  const std::string update = R"({"Action":"ScheduleUpdate","IProduct":"P100","Version":"1.0","Type":"Firmware",)";
  LocalServer server(R"({"tenants":[{"id":"demo-tenant","name":"D","token":"t1"}],"heartbeat":{"TimeInterval":1},)"
                     R"("packagesFolder":")" + folder / "packages" + R"(","updates":[)" + update +
                     R"("UpdateSchedulerId":301,"UploadID":7001,"package":"good.bin"},)" + update +
                     R"("UpdateSchedulerId":302,"UploadID":7002,"package":"bad.bin"}]})");
  std::string config = WithMember(ValidConfig(folder, server.Url()), "controlSocket", "\"" + folder / "agent.sock" + "\"");
  config = WithMember(config, "installers", R"([{"product":"P100","deviceId":"D1","timeoutSeconds":10,)"
                                            R"("command":["/bin/sh","-c","basename \"$0\" >> )" + folder / "ran.txt" + R"("]}])");
  std::ofstream(folder / "config.json") << WithMember(config, "packageSignatures", R"({"publicKeys":["keys/vendor.pub"]})");
  AgentProcess agent(folder, {"--config", folder / "config.json"});
  const auto idOf = [](const MinisignSigner& s) { return zelvan::fennic::ParseMinisignKey(s.PublicKeyText()).IdText(); };
  ASSERT_TRUE(agent.WaitForOutput("Package signatures: require, keys " + idOf(vendor) + "\n", 10000, true))
      << agent.Err();
  for (int i = 0; i < 3000 && (AcksOf(server, 301).empty() || AcksOf(server, 302).empty()); ++i) ::usleep(10000);
  const int beats = server.CountOf("3");
  for (int i = 0; i < 1000 && server.CountOf("3") < beats + 3; ++i) ::usleep(10000);

  EXPECT_EQ(AcksOf(server, 301), std::vector<std::string>{"Success ()"});
  const auto refused = AcksOf(server, 302);
  EXPECT_EQ(refused.size(), 1u);
  if (!refused.empty()) {
    EXPECT_EQ(refused[0].rfind("Failed (bad signature: the package does not match the signature by key ", 0), 0u) << refused[0];
  }
  EXPECT_EQ(FetchesOf(server, "/packages/bad.bin"), 1);
  EXPECT_EQ(FetchesOf(server, "/packages/good.bin.minisig"), 1);
  EXPECT_EQ(ScratchFolder::Slurp(folder / "ran.txt"), "good.bin\n") << "only the verified package reached the installer";
  for (const auto& e : fs::recursive_directory_iterator(folder / "data"))
    EXPECT_EQ(e.path().filename().string().find("bad.bin"), std::string::npos) << e.path();
  EXPECT_TRUE(fs::is_empty(folder / "downloads"));

  // A reload swaps the key list; ctl status says which keys count now.
  const auto status = [&] {
    AgentProcess ctl(folder, {"ctl", "--socket", folder / "agent.sock", "status"});
    ctl.Wait(15000);
    const std::string out = ctl.Out();
    return out.substr(out.find("package signatures: "));
  };
  EXPECT_EQ(status(), "package signatures: require (keys " + idOf(vendor) + ")\n");
  std::ofstream(folder / "config.json")
      << WithMember(config, "packageSignatures", R"({"publicKeys":["keys/successor.pub"],"policy":"verify-if-present"})");
  agent.Signal(SIGHUP);
  ASSERT_TRUE(agent.WaitForOutput("Package signatures: verify-if-present, keys " + idOf(successor), 10000, true)) << agent.Err();
  EXPECT_EQ(status(), "package signatures: verify-if-present (keys " + idOf(successor) + ")\n");
  EXPECT_EQ(agent.Wait(0), -1) << "the reload ended the agent";
}
