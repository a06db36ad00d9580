#include "UpdatesDownload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "CRestClientFactory.h"
#include "RestRequestType.h"
#include "TextConversion.h"
#include "support/ExecutorHarness.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
namespace fs = std::filesystem;
using fennic_test::UpdateDescription;

namespace {

class DownloadFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "fennic-dl-" + std::to_string(getpid());
    fs::remove_all(folder);
    fs::create_directories(folder);
    config->firmwareFolder = folder;
    config->supportedProducts = {L"P100"};
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
  // Lists one update (stored as not yet downloaded when `stored`) and takes its download request.
  void Schedule(int id, const std::string& type, bool stored = false) {
    const std::string url = R"("UpdatesURL":"https://s/pkg/f)" + std::to_string(id) + R"(.bin")";
    const auto list = [&](const std::string& more) {
      return web::json::value::parse("[" + UpdateDescription(id, url, "ScheduleUpdate", "P100", more, type) + "]");
    };
    if (stored) config->jsonFiles["Update.dat"] = list(R"(,"downloadStatus":false)");
    downloader->ConstructDownloadObject(list(""), false);
    Queued();
  }
  std::string Ack(const std::vector<RestMessage>& queued) {
    for (const auto& m : queued)
      if (m.getType() == DOWNLOAD_STATUS_REQ) return m.getData();
    return "";
  }

  fennic_test::ServicesScope services;
  std::shared_ptr<fennic_test::MemoryConfigurationManager> config =
      std::make_shared<fennic_test::MemoryConfigurationManager>();
  std::shared_ptr<fennic_test::ScriptedTransport> transport = std::make_shared<fennic_test::ScriptedTransport>();
  std::shared_ptr<UpdatesDownload> downloader;
  std::string folder;
};

struct Outcome {
  const char* name;
  std::string answer;
  std::string type;
  uint32_t freeMB;
  std::string localName;  // appended to folder + "\\"
  bool transferOk;
  bool softwareEnabled;
  // Expected.
  const char* ack;        // "Success" or "Failed"
  const char* reason;     // the acknowledgement's "Reason"
  int transfers;
  const char* stored;     // the stored flag afterwards; "-" when "Update.dat" is not written
  int voicePrompts;       // voice-prompt downloads queued
  std::string line;       // "level text" that must be logged
};

class DownloadOutcomeTest : public DownloadFixture, public ::testing::WithParamInterface<Outcome> {};

TEST_P(DownloadOutcomeTest, AcknowledgesStoresAndFollowsUpAsTabled) {
  const Outcome& c = GetParam();
  services.files->freeMB = c.freeMB;
  config->softwareDownloadEnabled = c.softwareEnabled;
  config->voicePrompts = [](web::json::value&) {
    return std::vector<web::json::value>{web::json::value::parse(R"({"UpdatesURL":"https://s/vp1.bin"})")};
  };
  if (!c.transferOk)
    transport->OnDownload([](const fennic_test::DownloadCall&, std::wstring& reason) { return reason = L"stalled", false; });
  Schedule(5, c.type, true);
  const int writes = config->jsonWrites;
  downloader->ProcessDownloadFile(c.answer, folder + "\\" + c.localName, L"https://s/pkg/f5.bin", "5", "24");
  const std::vector<RestMessage> queued = Queued();
  const web::json::value ack = web::json::value::parse(Ack(queued)).at(0);
  EXPECT_EQ(ack.at("Status").as_string(), c.ack);
  EXPECT_EQ(ack.at("UploadID").as_integer(), 1005);
  std::string line = c.line;
  if (line.find("DIR") != std::string::npos) line.replace(line.find("DIR"), 3, folder);
  EXPECT_EQ(ack.at("Reason").as_string(), c.reason);
  EXPECT_EQ(static_cast<int>(transport->Downloads().size()), c.transfers);
  for (const auto& d : transport->Downloads()) EXPECT_EQ(d.localPath, ToWide(folder + "/f5.bin")) << "\\ is a separator";
  int acks = 0;
  for (const auto& m : queued) acks += m.getType() == DOWNLOAD_STATUS_REQ;
  EXPECT_EQ(acks, 1) << "acknowledged once";
  const bool written = config->jsonWrites > writes;
  EXPECT_EQ(written ? (config->jsonFiles["Update.dat"][0].at("downloadStatus").as_bool() ? "true" : "false") : "-",
            std::string(c.stored));
  int prompts = 0;
  for (const auto& m : queued) prompts += m.getType() == DOWNLOAD_FILES && m.getDownloadKey() == "5_1";
  EXPECT_EQ(prompts, c.voicePrompts);
  bool logged = false;
  for (const auto& l : services.logger->Lines()) logged |= std::to_string(l.level) + " " + l.text == line;
  EXPECT_TRUE(logged) << line;
  EXPECT_TRUE(fs::is_empty(folder)) << "no file, partial or whole, is left";
}

const std::string kOk = R"({"StatusCode":200})";
const std::string kLow = "Available disk space is low ";
const std::string kNotOk =
    "3 Status Code is Not OK or Download Url is empty or No write permission or Low disk space";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DownloadOutcomeTest,
    ::testing::Values(
        Outcome{"Firmware100MB", kOk, "Firmware", 100, "f5.bin", true, true, "Success", "", 1, "true", 1,
                "2 Process download bool value is :1"},
        Outcome{"Firmware99MB", kOk, "Firmware", 99, "f5.bin", true, true, "Failed",
                "low disk space: 99 MB free, 100 MB needed", 0, "-", 0, "5 " + kLow + "99MB, cannot download update file!"},
        Outcome{"LargerThanTheFreeSpace", R"({"StatusCode":200,"FileSize":134217728})", "Firmware", 112, "f5.bin", true,
                true, "Failed", "low disk space: 112 MB free, 129 MB needed", 0, "-", 0,
                "5 " + kLow + "112MB, cannot download update file!"},
        Outcome{"Software500MB", kOk, "Software", 500, "f5.bin", true, true, "Success", "", 1, "true", 1,
                "2 Process download bool value is :1"},
        Outcome{"Software499MB", kOk, "Software", 499, "f5.bin", true, true, "Failed",
                "low disk space: 499 MB free, 500 MB needed", 0, "-", 0, "5 " + kLow + "499MB, cannot download update file!"},
        Outcome{"SoftwareDisabled", kOk, "Software", 500, "f5.bin", true, false, "Success", "", 0, "true", 0,
                "2 Process download bool value is :1"},
        Outcome{"TransferFails", kOk, "Firmware", 100, "f5.bin", false, true, "Failed", "stalled", 1, "false", 0,
                "3 Download DIR/f5.bin failed"},
        Outcome{"Status404", R"({"StatusCode":404})", "Firmware", 100, "f5.bin", true, true, "Failed",
                "download details answered StatusCode 404", 0, "false", 0, kNotOk},
        Outcome{"DetailsEmpty", "", "Firmware", 100, "f5.bin", true, true, "Failed", "download details answer is empty", 0,
                "false", 0, kNotOk},
        Outcome{"EscapingName", kOk, "Firmware", 100, "..\\..\\etc\\x", true, true, "Failed", "Refused unsafe local path", 0,
                "false", 0, "3 Refused unsafe local path : DIR\\..\\..\\etc\\x"}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

// Two answers before the downloads ran, then the full list: one request per
// entry, one transfer, one acknowledgement with its ids; a stale request for
// the entry changes nothing. After a lack of space the offer waits for space.
TEST_F(DownloadFixture, AnEntryListedByManyAnswersIsFetchedAndAcknowledgedOnce) {
  const auto list = web::json::value::parse("[" + UpdateDescription(5, R"("UpdatesURL":"https://s/pkg/f5.bin")") + "]");
  config->jsonFiles["Update.dat"] = web::json::value::parse("[" + UpdateDescription(5, R"("UpdatesURL":"https://s/pkg/f5.bin","downloadStatus":false)") + "]");
  for (const bool full : {false, false, true}) downloader->ConstructDownloadObject(list, full);
  int requests = 0;
  for (const auto& m : Queued()) requests += m.getType() == DOWNLOAD_FILES;
  EXPECT_EQ(requests, 1);
  const auto fetch = [&] { return downloader->ProcessDownloadFile(kOk, folder + "\\f5.bin", L"https://s/pkg/f5.bin", "5", "9"); };
  EXPECT_TRUE(fetch());
  transport->OnDownload([](const fennic_test::DownloadCall&, std::wstring& reason) { return reason = L"stalled", false; });
  EXPECT_FALSE(fetch());
  EXPECT_EQ(Ack(Queued()), R"([{"Reason":"","Status":"Success","UpdateSchedulerId":5,"UploadID":1005}])");
  EXPECT_EQ(transport->Downloads().size(), 1u);
  EXPECT_TRUE(config->jsonFiles["Update.dat"][0].at("downloadStatus").as_bool()) << "undone by the stale request";

  services.files->freeMB = 50;
  downloader->ConstructDownloadObject(list, false);
  Queued();
  EXPECT_FALSE(fetch());
  for (const uint32_t free : {50u, 40u, 51u}) {
    services.files->freeMB = free;
    downloader->ConstructDownloadObject(list, false);
    EXPECT_EQ(downloader->GetPendingDownloadCount(), free > 50 ? 1 : 0) << free << " MB free";
  }
  EXPECT_EQ(services.logger->Count("Update entry skipped until the free space grows (it failed for lack of space)"), 2);
}

// Without write permission nothing is fetched. Root writes anyway, so CI
// also runs this as an unprivileged user (see tests/CMakeLists.txt).
TEST_F(DownloadFixture, ReadOnlyFolderIsRefused) {
  chmod(folder.c_str(), 0555);
  services.files->writable = access(folder.c_str(), W_OK) == 0;
  if (services.files->writable) GTEST_SKIP() << "running with permission to write anyway";
  Schedule(5, "Firmware");
  downloader->ProcessDownloadFile(kOk, folder + "\\f5.bin", L"https://s/pkg/f5.bin", "5", "9");
  EXPECT_EQ(web::json::value::parse(Ack(Queued())).at(0).at("Status").as_string(), "Failed");
  EXPECT_TRUE(transport->Downloads().empty());
  EXPECT_TRUE(services.logger->Has("Dont have read/write permission to LocalFirmwareServer folder!"));
  EXPECT_EQ(services.logger->FirstStartingWith("Dont have").level, 5);
}

// Voice-prompt files inherit the update's acknowledgement; their own
// success starts no further check, and they skip the space check.
TEST_F(DownloadFixture, VoicePromptsFollowASuccessfulMainPackageOnly) {
  config->voicePrompts = [](web::json::value&) {
    return std::vector<web::json::value>{web::json::value::parse(R"({"UpdatesURL":"https://s/vp1.bin"})"),
                                         web::json::value::parse(R"({"UpdatesURL":"https://s/vp2.bin"})")};
  };
  Schedule(5, "Firmware", true);  // the stored flag feeds the cache the voice prompts depend on
  downloader->ProcessDownloadFile(kOk, folder + "\\f5.bin", L"https://s/pkg/f5.bin", "5", "24");
  std::vector<std::string> prompts;
  for (const auto& m : Queued())
    if (m.getType() == DOWNLOAD_FILES) prompts.push_back(ToUtf8(m.getTarget()) + " " + m.getDownloadKey() + " " + m.getData());
  EXPECT_EQ(prompts, (std::vector<std::string>{"https://s/vp1.bin 5_1 24", "https://s/vp2.bin 5_2 24"}));
  EXPECT_TRUE(services.logger->Has("Push VP download request for https://s/vp2.bin",
                                   "UpdatesDownload::CheckforVoicePromptsDownload"));
  services.files->freeMB = 0;
  EXPECT_TRUE(downloader->ProcessDownloadFile(kOk, folder + "\\vp1.bin", L"https://s/vp1.bin", "5_1", "24"));
  const std::vector<RestMessage> after = Queued();
  ASSERT_EQ(after.size(), 1u) << "only the acknowledgement";
  EXPECT_EQ(Ack(after), R"([{"Reason":"","Status":"Success","UpdateSchedulerId":5,"UploadID":1005}])");
  EXPECT_EQ(downloader->GetPendingDownloadCount(), 1);

}

TEST_F(DownloadFixture, SupportedProductsAskedPerEntryAndNotForAnEmptyList) {
  downloader->ConstructDownloadObject(web::json::value::array(), false);
  EXPECT_EQ(config->CountOf("GetSupportedProducts"), 0);
  const std::string url = R"("UpdatesURL":"https://s/pkg/f.bin")";
  downloader->ConstructDownloadObject(
      web::json::value::parse("[" + UpdateDescription(1, url) + "," + UpdateDescription(2, url, "ScheduleUpdate",
                                                                                         "P100", "", "Software") + "]"),
      false);
  EXPECT_EQ(config->CountOf("GetSupportedProducts"), 2);
}

// A system error while the outcome is processed skips the store; the
// acknowledgement still goes out.
TEST_F(DownloadFixture, SystemErrorSkipsTheStoreButNotTheAcknowledgement) {
  Schedule(5, "Firmware");
  transport->OnDownload([](const fennic_test::DownloadCall&, std::wstring&) -> bool {
    throw std::system_error(std::make_error_code(std::errc::io_error), "disk gone");
  });
  const int writes = config->jsonWrites;
  EXPECT_FALSE(downloader->ProcessDownloadFile(kOk, folder + "\\f5.bin", L"https://s/pkg/f5.bin", "5", "9"));
  EXPECT_EQ(config->jsonWrites, writes);
  EXPECT_FALSE(services.logger->Has("Process download bool value is :1"));
  EXPECT_EQ(services.logger->FirstStartingWith("disk gone").level, 5);
  EXPECT_EQ(web::json::value::parse(Ack(Queued())).at(0).at("Status").as_string(), "Failed");
}

// Every stored id is read, not only once the update is in the cache.
TEST_F(DownloadFixture, StoredEntryWithoutIdIsSkippedByTheFlagWrite) {
  config->jsonFiles["Update.dat"] = web::json::value::parse(R"([{"downloadStatus":false},7])");
  const int writes = config->jsonWrites;
  EXPECT_NO_THROW(downloader->updatedownloadStatusToFile(5, true));
  EXPECT_EQ(config->jsonWrites, writes + 1);
  // A failing store is logged; code 0 asks for the full list again, straight on the queue.
  for (int code : {0, 1, 2}) {
    config->ThrowOn("ReadJsonFile", code, "store locked");
    downloader->updatedownloadStatusToFile(5, true);
    std::vector<int> types;
    for (const auto& m : Queued()) types.push_back(m.getType());
    EXPECT_EQ(types, code == 0 ? std::vector<int>{GET_ALL_UPDATES_REQ} : std::vector<int>{}) << code;
  }
  EXPECT_EQ(services.logger->Count("store locked", "UpdatesDownload::updatedownloadStatusToFile"), 3);
}

}  // namespace
