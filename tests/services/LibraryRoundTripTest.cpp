// The library's own writers against the real configuration manager and
// cipher: what it stores must come back unchanged.
#include <gtest/gtest.h>

#include "AesGcmCipher.h"
#include "FileConfigurationManager.h"
#include "IAgentUtils.h"
#include "support/ScratchFolder.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;

TEST(LibraryRoundTripTest, TenantSettingsAndMachineDataWrittenByTheLibraryReadBack) {
  ScratchFolder folder;
  fennic_test::ServicesScope scope;
  auto cipher = std::make_shared<services::AesGcmCipher>(folder / "agent.key");
  IAgentUtils::setEncryptDecrypt(cipher);
  auto configuration = std::make_shared<services::FileConfigurationManager>(
      services::ServiceSettings{folder / "data", folder / "downloads", "http://127.0.0.1:1", "tenant-7", {}, "1.0.0",
                                true},
      cipher, scope.logger);
  auto executor = std::make_shared<fennic_test::TestableExecutor>(
      configuration, std::make_shared<fennic_test::RecordingResponseProcessor>(),
      std::make_shared<fennic_test::ScriptedTransport>());

  const std::map<std::string, std::string> written = {
      {"URL", "http://127.0.0.1:9090"}, {"TenantID", "tenant-7"},     {"TenantName", "Demo \u00c4"},
      {"CollectSoftPhoneStats", "True"}, {"CollectCallStats", "False"}, {"CollectData", "Limited"},
      {"TimeInterval", "300"},           {"AllowDownGrade", "True"},    {"UpdateFromFile", "False"},
      {"AnonymizePersonalData", R"(["UserName","HostName"])"},
      {"UpgradeSupportMessage", "Please \"upgrade\""}, {"NotSupportMessage", "no"}};
  for (const auto& [key, text] : written) executor->SetTenantValue(key, text);
  executor->WriteTenantConfigsToFile();
  executor->SetDeviceInfoUrl(L"http://127.0.0.1:9090/deviceinfo");
  executor->WriteMachineDataInConfigFile(L"support@tenant.invalid", L"agent-42");

  EXPECT_EQ(ScratchFolder::Slurp(folder / "data/TenantConfiguration.dat").find("9090"), std::string::npos);
  EXPECT_EQ(configuration->GetTenantDetails(), written);
  executor->LoadTenantConfiguration();
  for (const auto& [key, text] : written) EXPECT_EQ(executor->TenantValue(key), text) << key;
  EXPECT_EQ(configuration->GetMachineDataValue(L"SupportEmail"), L"support@tenant.invalid");
  EXPECT_EQ(configuration->GetMachineDataValue(L"AgentID"), L"agent-42");
  EXPECT_EQ(configuration->GetDeviceInfoUrl(), L"http://127.0.0.1:9090/deviceinfo");
  executor->Shutdown();
}
