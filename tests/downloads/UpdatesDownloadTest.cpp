#include "UpdatesDownload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "CRestClientFactory.h"
#include "IAgentUtils.h"
#include "RestRequestType.h"
#include "TextConversion.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
namespace fs = std::filesystem;

namespace {

// File services over the real file system, with an optional cap on the
// free space it reports.
class RealFileManager : public IFileManager {
 public:
  uint32_t GetFreeDiskSpaceMB(const std::string& folder) override {
    struct statvfs st {};
    if (statvfs(folder.c_str(), &st) != 0) return 0;
    const uint64_t mb = static_cast<uint64_t>(st.f_bavail) * st.f_frsize / (1024 * 1024);
    return static_cast<uint32_t>(std::min<uint64_t>(mb, capMB));
  }
  bool HasWritePermission(const std::string& folder) override { return access(folder.c_str(), W_OK) == 0; }
  uint64_t capMB = UINT32_MAX;
};

std::string Description(int id, const std::string& type, const std::string& product = "P100") {
  return R"({"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":)" + std::to_string(id + 1000) +
         R"(,"Action":"ScheduleUpdate","IProduct":")" + product + R"(","Version":"1","Type":")" + type +
         R"(","ScheduledTime":"t","updateDeployedTime":"t","ForceUpdate":"False","UpdatesURL":"https://s/pkg/f)" +
         std::to_string(id) + R"(.bin"})";
}

class DownloadFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "fennic-dl-" + std::to_string(getpid());
    fs::remove_all(folder);
    fs::create_directories(folder);
    config->firmwareFolder = folder;
    config->supportedProducts = {L"P100"};
    IAgentUtils::setFileManager(files);
    CRestClientFactory::setRestClient(transport);
    // The transport writes a real file where it is told to.
    transport->OnDownload([](const fennic_test::DownloadCall& call, std::wstring&) {
      std::ofstream(ToUtf8(call.localPath)) << "package";
      return true;
    });
    downloader = std::make_shared<UpdatesDownload>(config);
  }
  void TearDown() override {
    chmod(folder.c_str(), 0755);
    fs::remove_all(folder);
    CRestClientFactory::setRestClient(nullptr);
    RestMsgQueue::releaseInstance();
  }
  // Nothing else takes from the queue here.
  std::vector<RestMessage> Queued() { return fennic_test::TakeQueuedMessages(); }
  std::string Ack(const std::vector<RestMessage>& queued) {
    for (const auto& m : queued)
      if (m.getType() == DOWNLOAD_STATUS_REQ) return m.getData();
    return "";
  }

  fennic_test::ServicesScope services;
  std::shared_ptr<RealFileManager> files = std::make_shared<RealFileManager>();
  std::shared_ptr<fennic_test::MemoryConfigurationManager> config =
      std::make_shared<fennic_test::MemoryConfigurationManager>();
  std::shared_ptr<fennic_test::ScriptedTransport> transport = std::make_shared<fennic_test::ScriptedTransport>();
  std::shared_ptr<UpdatesDownload> downloader;
  std::string folder;
};

TEST_F(DownloadFixture, KeysInByteOrderUnsupportedFirmwareSkipped) {
  auto list = downloader->ConstructDownloadObject(
      web::json::value::parse("[" + Description(9, "Firmware") + "," + Description(10, "Firmware") + "," +
                              Description(-7, "Software") + "," + Description(11, "Firmware", "P999") + "," +
                              Description(9, "Software") + "]"),
      false);
  std::vector<std::string> keys;
  for (const auto& m : Queued()) {
    EXPECT_EQ(m.getType(), DOWNLOAD_FILES);
    EXPECT_EQ(m.getData(), "9");
    keys.push_back(m.getDownloadKey());
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"-7", "10", "9"}));
  EXPECT_EQ(list.at("9").Type, L"Firmware") << "the first description of an id wins";
  EXPECT_TRUE(services.logger->Has("P999 is not supported so skipping FW download!"));
}

struct Refusal {
  const char* name;
  std::string answer;
  std::string type;
  uint64_t capMB;
  bool readOnly;
  std::string localName;  // appended to folder + "\\"
};

class RefusalTest : public DownloadFixture, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, FailedAcknowledgementAndNothingWritten) {
  const Refusal& c = GetParam();
  files->capMB = c.capMB;
  if (c.readOnly) chmod(folder.c_str(), 0555);
  if (c.readOnly && access(folder.c_str(), W_OK) == 0) GTEST_SKIP() << "running with permission to write anyway";
  downloader->ConstructDownloadObject(web::json::value::parse("[" + Description(5, c.type) + "]"), false);
  Queued();
  downloader->ProcessDownloadFile(c.answer, folder + "\\" + c.localName, L"https://s/pkg/f5.bin", "5", "9");
  const std::string ack = Ack(Queued());
  ASSERT_FALSE(ack.empty()) << "every answered download is acknowledged";
  EXPECT_EQ(web::json::value::parse(ack).at(0).at("Status").as_string(), "Failed");
  EXPECT_TRUE(transport->Downloads().empty()) << "nothing was fetched";
  EXPECT_TRUE(fs::is_empty(folder)) << "no file, partial or whole, is left";
}

const std::string kOk = R"({"StatusCode":200})";

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Values(Refusal{"Status404", R"({"StatusCode":404})", "Firmware", UINT32_MAX, false, "f5.bin"},
                      Refusal{"FirmwareSpace99", kOk, "Firmware", 99, false, "f5.bin"},
                      Refusal{"SoftwareSpace499", kOk, "Software", 499, false, "f5.bin"},
                      Refusal{"ReadOnlyFolder", kOk, "Firmware", UINT32_MAX, true, "f5.bin"},
                      Refusal{"ParentDirectory", kOk, "Firmware", UINT32_MAX, false, ".."},
                      Refusal{"EscapingName", kOk, "Firmware", UINT32_MAX, false, "..\\..\\etc\\x"},
                      Refusal{"NulInName", kOk, "Firmware", UINT32_MAX, false, std::string("a\0b", 3)}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST_F(DownloadFixture, MissingFolderIsRefused) {
  config->firmwareFolder = folder + "/missing";
  downloader->ConstructDownloadObject(web::json::value::parse("[" + Description(5, "Firmware") + "]"), false);
  Queued();
  downloader->ProcessDownloadFile(kOk, config->firmwareFolder + "\\f5.bin", L"https://s/pkg/f5.bin", "5", "9");
  EXPECT_TRUE(transport->Downloads().empty());
  EXPECT_TRUE(services.logger->Has("Dont have read/write permission to LocalFirmwareServer folder!"));
}

TEST_F(DownloadFixture, SuccessIsRecordedAndEachOfManyAcknowledgedOnce) {
  std::string list = "[";
  for (int id = 1; id <= 300; ++id) list += (id > 1 ? "," : "") + Description(id, "Firmware");
  list += "]";
  {
    auto hold = config->Lock();
    config->jsonFiles["Update.dat"] = web::json::value::parse(list);
    for (auto& u : config->jsonFiles["Update.dat"].as_array()) u["downloadStatus"] = web::json::value::boolean(false);
  }
  downloader->ConstructDownloadObject(web::json::value::parse(list), false);
  std::vector<RestMessage> requests = Queued();
  ASSERT_EQ(requests.size(), 300u);
  std::map<int, int> acks;
  for (const auto& m : requests) {
    downloader->ProcessDownloadFile(kOk, folder + "\\f" + m.getDownloadKey() + ".bin", m.getTarget(),
                                    m.getDownloadKey(), m.getData());
    for (const auto& q : Queued()) {
      ASSERT_EQ(q.getType(), DOWNLOAD_STATUS_REQ);
      auto ack = web::json::value::parse(q.getData()).at(0);
      EXPECT_EQ(ack.at("Status").as_string(), "Success");
      ++acks[ack.at("UpdateSchedulerId").as_integer()];
    }
  }
  EXPECT_EQ(downloader->GetPendingDownloadCount(), 0);
  ASSERT_EQ(acks.size(), 300u);
  for (const auto& [id, n] : acks) EXPECT_EQ(n, 1) << id;
  EXPECT_EQ(transport->Downloads().size(), 300u);
  EXPECT_EQ(transport->Downloads()[0].localPath, ToWide(folder + "/f1.bin")) << "the backslash is a separator";
  auto hold = config->Lock();
  for (const auto& u : config->jsonFiles["Update.dat"].as_array()) EXPECT_TRUE(u.at("downloadStatus").as_bool());
  EXPECT_TRUE(fs::is_empty(folder)) << "packages are handed on and removed";
}

}  // namespace
