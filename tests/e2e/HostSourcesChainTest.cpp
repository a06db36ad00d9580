// Every host request of the agent, driven by the real fennic-agent program
// from its real source (NSS groups, the spool folder, the softphone file,
// passwd, installers on the package store, udev devices on a umockdev
// testbed), as the server's record shows them. One shared run; the table
// then reads the record.
#include <gtest/gtest.h>

#include "AgentHarness.h"
#include "RecordReport.h"

using namespace zelvan::fennic;
using namespace fennic_agent_test;
using web::json::value;
namespace fs = std::filesystem;

namespace {

const char* kScenario = R"J({
  "tenants": [{"id": "acme", "name": "Acme", "token": "tok-acme"}],
  "updates": [
    {"UpdateSchedulerId": 101, "UploadID": 5001, "IProduct": "P100", "Version": "2.1.0", "Type": "Firmware", "package": "fw-a.bin"},
    {"UpdateSchedulerId": 102, "UploadID": 5002, "IProduct": "P200", "Version": "1.4.2", "Type": "Firmware", "package": "fw-b.bin"}],
  "directoryQueries": [
    {"ADSelectQuery": "CN=root,OU=Groups,DC=corp", "expect": "Valid"},
    {"ADSelectQuery": "nogroup", "expect": "InValid"},
    {"ADSelectQuery": "CN=fennic-unknown-group,DC=corp", "expect": "NA"}],
  "voicePromptVersion": "3.2.0"})J";

struct Chain {
  ScratchFolder root;
  Ended once, devices{0, ""}, voicePrompt, voiceFile;
  std::vector<value> records;

  Chain() {
    for (const char* folder : {"packages", "spool", "devices", "data/packages/P100/2.1.0", "data/packages/P200/1.4.2"})
      fs::create_directories(root / folder);
    // The store as the transport leaves it after verified downloads (the
    // transport puts the same files in the same places).
    for (const char* file : {"packages/fw-a.bin", "data/packages/P100/2.1.0/fw-a.bin"})
      std::ofstream(root / file) << "firmware for P100";
    for (const char* file : {"packages/fw-b.bin", "data/packages/P200/1.4.2/fw-b.bin"})
      std::ofstream(root / file) << "firmware for P200";
    std::ofstream(root / "spool/calls-1.json") << R"({"Calls":[{"DurationSeconds":754}]})";
    std::ofstream(root / "softphones.json") << R"({"Softphones":[{"Name":"Dialer","Version":"4.1"}]})";

    ServerOptions options;
    options.packagesFolder = root / "packages";
    options.recordFile = root / "record.jsonl";
    ManagementServer server(Scenario::FromJson(value::parse(kScenario), ""), options);
    server.Start();
    const std::string config = WriteConfig(server.BaseUrl());
    once = RunToEnd(root, {"--config", config, "--once"});
#ifdef FENNIC_DEVICEBED_PROGRAM
    devices = RunToEnd(root, {"--config", config},
                       {FENNIC_DEVICEBED_PROGRAM, "--record", options.recordFile, "--device", "1209:00a1:HS-0001", "--"});
#endif
    voicePrompt = RunToEnd(root, {"--config", config, "--vp-version", "VP-EN", "Desk Headset", "1.0"});
    voiceFile = RunToEnd(root, {"--config", config, "--vp-file", server.BaseUrl() + "/packages/fw-a.bin"});
    server.Stop();
    records = ReadRecordFile(options.recordFile);
  }

  std::string WriteConfig(const std::string& base) const {
    const std::string r = root.path;
    const std::string text = R"({"server": ")" + base + R"(", "tenantId": "acme", "dataFolder": ")" + r +
                             R"(/data", "downloadFolder": ")" + r + R"(/downloads", "heartBeatSeconds": 300,
      "firstHeartBeatSpreadSeconds": 0, "logLevel": 2, "onceTimeoutSeconds": 45, "supportedProducts": ["P100", "P200"],
      "sessionUser": "root", "usbVendorIds": ["1209"], "callDurationSpool": ")" + r + R"(/spool",
      "softphoneListFile": ")" + r + R"(/softphones.json", "installers": [{"product": "P100", "deviceId": "HS-0001",
      "command": [")" FENNIC_FLASH_INSTALLER R"(", ")" + r + R"(/devices"]},
      {"product": "P200", "deviceId": "HS-0002", "command": ["/bin/sh", "-c", "exit 4"]}]})";
    std::ofstream(root / "agent.json") << text;
    return root / "agent.json";
  }
};

Chain& SharedChain() {
  static Chain chain;
  return chain;
}

TEST(HostSourcesChain, OncePassWithDirectoryQueriesFinishesAndLeavesNothingBehind) {
  Chain& chain = SharedChain();
  EXPECT_EQ(chain.once.code, 0) << chain.once.text;
  EXPECT_FALSE(fs::exists(chain.root / "spool/calls-1.json")) << "accepted call data is deleted";
  EXPECT_TRUE(fs::is_empty(chain.root / "data/packages")) << "the store keeps nothing once installed or failed";
  EXPECT_EQ(ScratchFolder::Slurp(chain.root / "devices/HS-0001/firmware.bin"), "firmware for P100");
  EXPECT_NE(chain.voicePrompt.text.find("voice-prompt version: 3.2.0"), std::string::npos) << chain.voicePrompt.text;
  EXPECT_EQ(chain.voiceFile.code, 0) << chain.voiceFile.text;
  int fetched = 0;
  for (const auto& r : chain.records) fetched += r.at("path").as_string() == "/packages/fw-a.bin";
  EXPECT_EQ(fetched, 2) << "once by the update, once as a voice-prompt file";
  EXPECT_EQ(chain.devices.code, 0) << chain.devices.text;
  EXPECT_NE(Summarize(chain.records).find(" badbodies=0"), std::string::npos) << Summarize(chain.records);
}

struct RequestCase {
  const char* name;
  const char* type;
  int count;
  const char* body;  // found in the body of one of the requests
  bool needsTestbed = false;
};

class HostRequests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(HostRequests, ReachTheServerWithBodiesOfTheRightShape) {
#ifndef FENNIC_DEVICEBED_PROGRAM
  if (GetParam().needsTestbed) GTEST_SKIP() << "umockdev is not installed";
#endif
  int count = 0;
  bool found = false;
  for (const auto& r : SharedChain().records) {
    if (r.at("type").as_string() != GetParam().type) continue;
    ++count;
    EXPECT_EQ(r.at("shape").as_string(), "ok") << r.serialize();
    EXPECT_EQ(r.at("authorization").as_string(), "Bearer tok-acme");
    found = found || r.at("body").serialize().find(GetParam().body) != std::string::npos;
    EXPECT_TRUE(std::string(GetParam().type) != "6" || r.at("outcome").as_string() == "as expected") << r.serialize();
  }
  EXPECT_EQ(count, GetParam().count);
  EXPECT_TRUE(found) << "no request of type " << GetParam().type << " carries " << GetParam().body;
}

INSTANTIATE_TEST_SUITE_P(
    Chain, HostRequests,
    ::testing::Values(
        RequestCase{"DirectoryVerdictsIncludingAnUnknownGroup", "6", 1,
                    R"("ADSelectQuery":"CN=fennic-unknown-group,DC=corp","UserStatus":"NA")"},
        RequestCase{"InstallerSucceeded", "7", 2,
                    R"({"DeviceID":"HS-0001","Reason":"","UpdateSchedularID":101,"Updatestatus":"Success","UploadID":5001})"},
        RequestCase{"InstallerFailed", "7", 2,
                    R"("Reason":"installer exited with status 4","UpdateSchedularID":102,"Updatestatus":"Failed")"},
        RequestCase{"CallDurationFromTheSpool", "20", 1, R"({"Calls":[{"DurationSeconds":754}]})"},
        RequestCase{"SoftphoneListAtEachStart", "19", 2, R"({"Softphones":[{"Name":"Dialer","Version":"4.1"}]})"},
        RequestCase{"UserDetailsFromPasswdAtEachStart", "21", 2, R"("FullName":"root")"},
        RequestCase{"DeviceInventoryAtEachStart", "8", 2, R"({"Devices":[)"},
        RequestCase{"DevicePlugged", "4", 1, R"("SerialNumber":"HS-0001","VendorID":"1209")", true},
        RequestCase{"DeviceUnplugged", "5", 1, R"("SerialNumber":"HS-0001","VendorID":"1209")", true},
        RequestCase{"VoicePromptVersion", "23", 1, R"("DeviceName":"Desk_Headset")"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
