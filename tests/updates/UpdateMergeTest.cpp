#include <gmock/gmock.h>

#include <system_error>

#include "CQLResponse.h"
#include "TextConversion.h"
#include "UpdatesDownload.h"
#include "support/ExecutorHarness.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
using web::json::value;

namespace {

using fennic_test::UpdateDescription;

std::string Urls(const std::string& url) { return R"("UpdatesURLs":[{"IProduct":"P100","UpdatesURL":")" + url + "\"}]"; }
std::string Swapped(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}
std::string Without(const std::string& text, const std::string& member) { return Swapped(text, member, ""); }

struct Outcome {
  bool result = false;
  std::string updateFile;
  std::vector<std::string> queued;  // type, target, key, data
  std::vector<std::string> log;     // level, where, text
  int pending = 0;
};

// Processes an answer listing `updates`, with update 1 stored as downloaded from `storedAddress`.
Outcome Process(const std::string& storedAddress, const std::string& updates, bool allUpdates,
                std::function<std::wstring(value, const std::string&)> resolve = nullptr) {
  fennic_test::ServicesScope services;
  auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
  config->supportedProducts = {L"P100"};
  config->jsonFiles["Update.dat"] = value::parse(
      "[" + UpdateDescription(1, storedAddress, "ScheduleUpdate", "P100", R"(,"downloadStatus":true)") + "]");
  config->resolveUrl = std::move(resolve);
  auto downloader = std::make_shared<UpdatesDownload>(config);
  CQLResponse processor(config, std::make_shared<fennic_test::CountingTenantConfig>(), downloader);
  Outcome o;
  o.result = processor.ProcessGetUpdtResponse(
      fennic_test::AcceptedUpdateAnswer(R"({"Updates":[)" + updates + R"(],"ConfigurationUpdates":[]})"), allUpdates);
  o.updateFile = config->jsonFiles["Update.dat"].serialize();
  for (const auto& m : fennic_test::TakeQueuedMessages())
    o.queued.push_back(std::to_string(m.getType()) + " " + ToUtf8(m.getTarget()) + " " + m.getDownloadKey() + " " +
                       m.getData());
  for (const auto& line : services.logger->Lines())
    o.log.push_back(std::to_string(line.level) + " " + line.where + " " + line.text);
  o.pending = downloader->GetPendingDownloadCount();
  RestMsgQueue::releaseInstance();
  return o;
}

struct AddressCase {
  const char* name;
  std::string stored;    // "UpdatesURLs" text of the stored, downloaded entry
  std::string received;  // the same member in the answer
  bool stillDownloaded;
};

class AddressCompareTest : public ::testing::TestWithParam<AddressCase> {};

// A stored "downloaded" holds only while the address text is unchanged; a
// changed one is downloaded again.
TEST_P(AddressCompareTest, DownloadedOnlyWhileTheAddressTextIsTheSame) {
  const AddressCase& c = GetParam();
  const Outcome o = Process("\"UpdatesURLs\":" + c.stored, UpdateDescription(1, "\"UpdatesURLs\":" + c.received), true,
                            [](value, const std::string&) { return std::wstring(L"https://s/x.bin"); });
  EXPECT_EQ(value::parse(o.updateFile).at(0).at("downloadStatus").as_bool(), c.stillDownloaded);
  EXPECT_EQ(o.queued.size(), c.stillDownloaded ? 0u : 1u);
  EXPECT_EQ(o.result, !c.stillDownloaded);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, AddressCompareTest,
    ::testing::Values(
        AddressCase{"Same", R"([{"IProduct":"P100","UpdatesURL":"https://s/a.bin"}])",
                    R"([{"IProduct":"P100","UpdatesURL":"https://s/a.bin"}])", true},
        AddressCase{"OtherAddress", R"([{"IProduct":"P100","UpdatesURL":"https://s/a.bin"}])",
                    R"([{"IProduct":"P100","UpdatesURL":"https://s/b.bin"}])", false},
        AddressCase{"EscapedAlike", R"(["https:\/\/s\/a.bin"])", R"(["https://s/a.bin"])", true},
        AddressCase{"ExtraMember", R"([{"UpdatesURL":"u"}])", R"([{"UpdatesURL":"u","Mirror":"m"}])", false},
        AddressCase{"IntegerAndDouble", R"([{"UpdatesURL":"u","Size":1}])", R"([{"UpdatesURL":"u","Size":1.0}])",
                    value::parse("1").serialize() == value::parse("1.0").serialize()},
        AddressCase{"TextAndList", R"("u")", R"(["u"])", false},
        AddressCase{"NestedFlagDiffers", R"([{"Parts":[["a",true]]}])", R"([{"Parts":[["a",false]]}])", false},
        // A stored entry without a source compares as empty text.
        AddressCase{"StoredNull", "null", "null", false}),
    [](const ::testing::TestParamInfo<AddressCase>& info) { return info.param.name; });

struct HandOffCase {
  const char* name;
  std::string updates;
  bool allUpdates;
  bool result;
  std::string storedIds;             // ids in "Update.dat", in order
  std::vector<std::string> queued;   // type, target, key, data
  std::string logged;                // a level-3 or level-5 line that must be there
};

class HandOffTest : public ::testing::TestWithParam<HandOffCase> {};

// The stores are written before the hand-off; the downloader then queues one
// request per pending key, in key order.
TEST_P(HandOffTest, StoresThenQueuesThePendingDownloads) {
  const HandOffCase& c = GetParam();
  const auto resolve = [](value source, const std::string&) {
    const std::string url = source.as_array().at(0).at("UpdatesURL").as_string();
    if (url == "https://s/boom.bin") throw std::system_error(std::make_error_code(std::errc::io_error));
    return ToWide(url);
  };
  const Outcome o = Process(Urls("https://s/old.bin"), c.updates, c.allUpdates, resolve);
  EXPECT_EQ(o.result, c.result);
  std::string ids;
  const value updateFile = value::parse(o.updateFile);
  for (const auto& entry : updateFile.as_array())
    ids += (ids.empty() ? "" : " ") + std::to_string(entry.at("UpdateSchedulerId").as_integer());
  EXPECT_EQ(ids, c.storedIds);
  EXPECT_EQ(o.queued, c.queued);
  EXPECT_EQ(o.pending, static_cast<int>(c.queued.size()));
  EXPECT_THAT(o.log, testing::Contains(testing::HasSubstr(c.logged)));
}

const std::string kGood = UpdateDescription(2, Urls("https://s/two.bin"));
const std::string kMixed = UpdateDescription(1, Urls("https://s/old.bin")) + "," + kGood + "," +
                           UpdateDescription(3, R"("UpdatesURL":"https://s/three.bin")", "Silent") + "," +
                           UpdateDescription(4, Urls("https://s/four.bin"), "Install") + "," +
                           UpdateDescription(5, Urls("https://s/five.bin"), "ScheduleUpdate", "P999") + "," +
                           UpdateDescription(2, Urls("https://s/second.bin")) + "," +
                           UpdateDescription(10, Urls("https://s/ten.bin"));

INSTANTIATE_TEST_SUITE_P(
    Descriptions, HandOffTest,
    ::testing::Values(
        // 1 is downloaded already, 5 is firmware of an unsupported product, the
        // first description of 2 wins, and keys go in byte order (10 before 2).
        // Each id is stored once: the second 2 is refused, a stored 1 gives way to the received one.
        HandOffCase{"MixedFromAll", kMixed, true, true, "1 2 5 10",
                    {"12 https://s/ten.bin 10 24", "12 https://s/two.bin 2 24", "12 https://s/three.bin 3 24",
                     "12 https://s/four.bin 4 24"},
                    "3 UpdatesDownload::ConstructDownloadObject P999 is not supported so skipping FW download!"},
        HandOffCase{"MixedNew", kMixed, false, true, "1 2 5 10",
                    {"12 https://s/ten.bin 10 9", "12 https://s/two.bin 2 9", "12 https://s/three.bin 3 9",
                     "12 https://s/four.bin 4 9"},
                    "2 UpdatesDownload::ConstructDownloadObject Download called for : 4"},
        // A description the downloader cannot read is refused at the answer, the others go on.
        HandOffCase{"MissingVersion",
                    kGood + "," + Without(UpdateDescription(6, Urls("https://s/six.bin")), R"(,"Version":"1.0")"), true,
                    true, "2", {"12 https://s/two.bin 2 24"},
                    "3 CQLResponse::GetUpdateResponse Update entry refused (\"Version\" is missing or not text)"},
        HandOffCase{"IdTooLarge",
                    kGood + "," + Swapped(UpdateDescription(6, Urls("https://s/six.bin")), ":6,", ":1e20,"),
                    true, true, "2", {"12 https://s/two.bin 2 24"},
                    "3 CQLResponse::GetUpdateResponse Update entry refused (\"UpdateSchedulerId\" is not a 32-bit"},
        // A caught lookup error: the entry is stored, but listed for download only when read whole.
        HandOffCase{"LookupFails", kGood + "," + UpdateDescription(6, Urls("https://s/boom.bin")), true, true, "2 6",
                    {"12 https://s/two.bin 2 24"}, "5 UpdatesDownload::convertUpdateJsonToMap"}),
    [](const ::testing::TestParamInfo<HandOffCase>& info) { return std::string(info.param.name); });

// Keeps the local path that the processor hands to the downloader.
struct PathRecorder : IUpdatesDownload {
  std::string path = "untouched";
  std::map<std::string, UpdateRecord> ConstructDownloadObject(value, bool) override { return {}; }
  std::map<std::string, UpdateRecord> ConstructMapFromJSON(value) override { return {}; }
  bool ProcessDownloadFile(const std::string&, const std::string& localPath, const std::wstring&, const std::string&,
                           const std::string&) override { return path = localPath, true; }
  bool SetEventListener(IRestEventListener*) override { return true; }
  void CheckforVoicePromptsDownload(value&, int, const std::string&) override {}
  int GetPendingDownloadCount() override { return 0; }
};

TEST(LocalFilePathTest, IsTheFolderABackslashAndTheLastSegment) {
  fennic_test::ServicesScope services;
  auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
  config->firmwareFolder = "/fw";
  auto downloader = std::make_shared<PathRecorder>();
  CQLResponse processor(config, std::make_shared<fennic_test::CountingTenantConfig>(), downloader);
  for (const auto& [url, path] : std::vector<std::pair<std::wstring, std::string>>{
           {L"", ""}, {L"pkg.bin", "/fw\\pkg.bin"}, {L"https://s/a/b\\c.bin", "/fw\\b\\c.bin"}}) {
    processor.HandleDownloadResponse("{}", url, "1", "9");
    EXPECT_EQ(downloader->path, path) << ToUtf8(url);
  }
}

}  // namespace
