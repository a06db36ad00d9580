#include "FileConfigurationManager.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "AesGcmCipher.h"
#include "AgentException.h"
#include "support/RecordingLogger.h"
#include "support/ScratchFolder.h"
#include "TextConversion.h"

using namespace zelvan::fennic;
using services::AesGcmCipher;
using services::FileConfigurationManager;
using services::ServiceSettings;
using web::json::value;

namespace {

class ConfigurationFixture : public ::testing::Test {
 protected:
  std::shared_ptr<FileConfigurationManager> Open() {
    return std::make_shared<FileConfigurationManager>(
        ServiceSettings{folder / "data", folder / "downloads", "http://127.0.0.1:8080", "tenant-7", {"P100", "P200"},
                        "1.0.0", true},
        cipher, logger);
  }
  std::string Data(const std::string& name) { return folder.path.string() + "/data/" + name; }

  ScratchFolder folder;
  std::shared_ptr<AesGcmCipher> cipher = std::make_shared<AesGcmCipher>(folder / "agent.key");
  std::shared_ptr<fennic_test::RecordingLogger> logger = std::make_shared<fennic_test::RecordingLogger>();
};

}  // namespace

TEST_F(ConfigurationFixture, EveryDataFileSurvivesAReopen) {
  const value updates = value::parse(R"([{"UpdateSchedulerId":101,"UpdatesURLs":[{"IProduct":"P100"}]}])");
  const value configs = value::parse(R"([{"UpdateSchedulerId":201,"configSettings":{"Volume":7}}])");
  const value failed = value::parse(R"({"FailedRequest":[{"CC_CONFIG_REQUEST":""}]})");
  const value silent = value::parse(R"([{"UpdateSchedulerId":301,"Action":"Silent","downloadStatus":true}])");
  const value reports = value::parse(R"([{"DeviceName":"P100","Status":"Failed"}])");
  {
    auto writer = Open();
    writer->WriteJsonFile(updates, "Update.dat");
    writer->WriteJsonFile(configs, "Config.dat");
    writer->WriteJsonFile(failed, "FailedConfig.dat");
    writer->WriteSilentUpdates(silent, 0);
    writer->WriteSilentUpdates(reports, 1);
    writer->SaveToken(L"tok\u00e9n-1");
    writer->SaveDeviceInfoUrl(L"http://127.0.0.1/deviceinfo");
  }
  auto reader = Open();
  EXPECT_EQ(reader->ReadJsonFile("Update.dat"), updates);
  EXPECT_EQ(reader->ReadJsonFile("Config.dat"), configs);
  EXPECT_EQ(reader->ReadJsonFile("FailedConfig.dat"), failed);
  EXPECT_EQ(reader->ReadSilentUpdates(0), silent);
  EXPECT_EQ(reader->ReadSilentUpdates(1), reports);
  EXPECT_EQ(reader->LoadToken(), L"tok\u00e9n-1");
  EXPECT_EQ(reader->GetDeviceInfoUrl(), L"http://127.0.0.1/deviceinfo");
  EXPECT_EQ(ScratchFolder::Slurp(Data("Token.dat")).find("tok"), std::string::npos);
  // Never-written stores read as something that is not an array.
  EXPECT_FALSE(Open()->ReadJsonFile("Never.dat").is_array());
}

TEST_F(ConfigurationFixture, AgentIdIsMadeOnceAndTheServersIdReplacesIt) {
  const WideRecord first = Open()->GetAgentIdentity();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].size(), 36u);
  EXPECT_EQ(Open()->GetAgentIdentity(), first);
  EXPECT_EQ(ToWide(Open()->GetAgentDetails().at("AgentID").as_string()), first[0]);
  WideRecord assigned = first;
  assigned[0] = L"agent-tenant-7";
  Open()->SetAgentIdentity(assigned);
  EXPECT_EQ(Open()->GetAgentIdentity()[0], L"agent-tenant-7");
  auto configuration = Open();
  const value registration = configuration->GetRegistrationAgentDetails();
  EXPECT_EQ(registration.at("AgentID").as_string(), "agent-tenant-7");
  EXPECT_EQ(registration.at("SupportedProducts").serialize(), R"(["P100","P200"])");
  EXPECT_EQ(configuration->GetDataFolder(), folder.path.string() + "/data/");
  EXPECT_EQ(configuration->GetLocalFirmwareServerFolder(), folder.path.string() + "/downloads/");
}

TEST_F(ConfigurationFixture, TenantSettingsFileReadsBackAsTheDetailsMap) {
  auto configuration = Open();
  // Before the server's first settings, the host's configuration names the tenant.
  auto initial = configuration->GetTenantDetails();
  EXPECT_EQ(initial["URL"], "http://127.0.0.1:8080");
  EXPECT_EQ(initial["TenantID"], "tenant-7");

  // Values the library wrote are read back by LibraryRoundTripTest; here, the list that hides personal data.
  configuration->WriteDataFile(cipher->Encrypt(R"({"URL":"http://127.0.0.1:9090","TenantID":"tenant-7",)"
                                               R"("AnonymizePersonalData":["UserName"]})"),
                               Data("TenantConfiguration.dat"), nullptr);
  EXPECT_EQ(configuration->GetTenantDetails()["URL"], "http://127.0.0.1:9090");
  EXPECT_EQ(configuration->GetUserDetails().at("UserName").as_string().size(), 64u);

  const std::string nullList = R"({"URL":"http://127.0.0.1:9090","TenantID":"tenant-7","AnonymizePersonalData":null})";
  configuration->WriteDataFile(cipher->Encrypt(nullList), Data("TenantConfiguration.dat"), nullptr);
  EXPECT_EQ(configuration->GetTenantDetails()["AnonymizePersonalData"], "");
}

TEST_F(ConfigurationFixture, UnreadableTokenAndTenantFilesAreMovedAsideAndReadAsEmpty) {
  auto configuration = Open();
  configuration->SaveToken(L"abc");
  const std::pair<std::string, std::string> cases[] = {
      {"Token.dat", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
      {"TenantConfiguration.dat", cipher->Encrypt("{not json")},
  };
  for (const auto& [file, content] : cases) ScratchFolder::Put(Data(file), content);
  EXPECT_EQ(configuration->LoadToken(), L"");
  EXPECT_EQ(configuration->GetTenantDetails()["TenantID"], "tenant-7");
  for (const auto& [file, content] : cases) {
    EXPECT_FALSE(std::filesystem::exists(Data(file))) << file;
    EXPECT_EQ(ScratchFolder::Slurp(Data(file + ".corrupt")), content) << file;
    const fennic_test::LogLine line = logger->FirstStartingWith("Corrupt data file " + Data(file) + " ");
    EXPECT_EQ(line.level, 3) << file;
    EXPECT_EQ(line.where, "FileConfigurationManager::ReadDataFile") << file;
  }
}

TEST_F(ConfigurationFixture, NamesAndPathsNeverLeaveTheDataFolder) {
  auto configuration = Open();
  for (const std::string name : {"../Update.dat", "a/b", "", "..", "."})
    EXPECT_THROW(configuration->WriteJsonFile(value::array(), name), AgentException) << name;
  for (const std::string& path : {folder / "outside.dat", Data("../outside.dat"), Data("sub/x.dat")})
    EXPECT_THROW(configuration->WriteDataFile("x", path, nullptr), AgentException) << path;
  EXPECT_THROW(configuration->ReadSilentUpdates(2), AgentException);
  EXPECT_FALSE(std::filesystem::exists(folder / "outside.dat"));
}

TEST_F(ConfigurationFixture, UpdateUrlIsResolvedFromEveryShapeOfSource) {
  auto configuration = Open();
  struct Case {
    const char* source;
    const char* product;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {R"("http://127.0.0.1/one")", "P100", L"http://127.0.0.1/one"},
      {R"({"UpdatesURL":"http://127.0.0.1/obj"})", "P100", L"http://127.0.0.1/obj"},
      {R"([{"IProduct":"P200","UpdatesURL":"http://127.0.0.1/b"},{"IProduct":"P100","UpdatesURL":"http://127.0.0.1/a"}])",
       "P100", L"http://127.0.0.1/a"},
      {R"([{"IProduct":"P200","UpdatesURL":"http://127.0.0.1/b"},{"UpdatesURL":"http://127.0.0.1/c"}])", "P900",
       L"http://127.0.0.1/b"},
      {R"([{"IProduct":"P100"}])", "P100", L""},
      {"null", "P100", L""},
      {"42", "P100", L""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(configuration->ResolveUpdateUrl(value::parse(c.source), c.product, ""), c.expected) << c.source;

  value voice = value::parse(R"({"VoicePrompts":[{"UpdatesURL":"http://127.0.0.1/vp1"},{"Name":"no url"},
      {"UpdatesURL":"http://127.0.0.1/vp2"}]})");
  const auto prompts = configuration->GetVoicePromptDownloads(voice);
  ASSERT_EQ(prompts.size(), 2u);
  EXPECT_EQ(prompts[1].at("UpdatesURL").as_string(), "http://127.0.0.1/vp2");
  value none = value::string("http://127.0.0.1/x");
  EXPECT_TRUE(configuration->GetVoicePromptDownloads(none).empty());
}

TEST_F(ConfigurationFixture, DeviceConfigurationsAreKeptPerProduct) {
  auto configuration = Open();
  value first = value::parse(R"({"Volume":7})");
  value second = value::parse(R"({"Ringtone":"Classic"})");
  EXPECT_TRUE(configuration->ApplyDeviceConfiguration(first, L"P100"));
  EXPECT_TRUE(configuration->ApplyDeviceConfiguration(second, L"P200"));
  const value stored = Open()->ReadJsonFile("DeviceConfiguration.json");
  EXPECT_EQ(stored.at("P100"), first);
  EXPECT_EQ(stored.at("P200"), second);
}
