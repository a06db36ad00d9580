// Processing of update answers with the real download list: the stored
// download flags after the address comparison, and what the hand-off to the
// downloader stores, queues and logs.
#include <gtest/gtest.h>

#include <system_error>

#include "CQLResponse.h"
#include "IAgentUtils.h"
#include "RestRequestType.h"
#include "TextConversion.h"
#include "UpdatesDownload.h"
#include "support/ExecutorHarness.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
using web::json::value;

namespace {

std::string Answer(const std::string& updates) {
  return fennic_test::AcceptedUpdateAnswer(R"({"Updates":[)" + updates + R"(],"ConfigurationUpdates":[]})");
}

// One description; `address` is the text of the address member, `extra`
// members are appended and `omit` drops one member by name.
std::string Description(int id, const std::string& address, const std::string& action = "ScheduleUpdate",
                        const std::string& product = "P100", const std::string& omit = "",
                        const std::string& extra = "") {
  std::vector<std::pair<std::string, std::string>> members = {
      {"UpdateSchedulerId", std::to_string(id)}, {"UploadID", std::to_string(id + 100)},
      {"Action", '"' + action + '"'},           {"IProduct", '"' + product + '"'},
      {"Version", "\"1.0\""},                   {"Type", "\"Firmware\""},
      {"ScheduledTime", "\"t\""},               {"updateDeployedTime", "\"t\""},
      {"ForceUpdate", "\"False\""}};
  std::string text = "{" + address;
  for (const auto& [name, member] : members)
    if (name != omit) text += ",\"" + name + "\":" + member;
  return text + extra + "}";
}

std::string Urls(const std::string& url) { return R"("UpdatesURLs":[{"IProduct":"P100","UpdatesURL":")" + url + "\"}]"; }

struct Outcome {
  bool result = false;
  std::string updateFile;
  std::string silentFile;
  std::vector<std::string> queued;  // type, target, key, data
  std::vector<std::string> log;     // level, where, text
  int pending = 0;
};

struct Processing {
  std::string stored = "[]";
  std::function<std::wstring(value, const std::string&)> resolve;

  Outcome With(const std::string& answer, bool allUpdates) {
    fennic_test::ServicesScope services;
    auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
    config->supportedProducts = {L"P100"};
    config->jsonFiles["Update.dat"] = value::parse(stored);
    config->resolveUrl = resolve;
    auto downloader = std::make_shared<UpdatesDownload>(config);
    CQLResponse processor(config, std::make_shared<fennic_test::CountingTenantConfig>(), downloader);
    Outcome o;
    o.result = processor.ProcessGetUpdtResponse(answer, allUpdates);
    o.updateFile = config->jsonFiles["Update.dat"].serialize();
    o.silentFile = config->silentUpdates[0].serialize();
    for (const auto& m : fennic_test::TakeQueuedMessages())
      o.queued.push_back(std::to_string(m.getType()) + " " + ToUtf8(m.getTarget()) + " " + m.getDownloadKey() +
                         " " + m.getData());
    for (const auto& line : services.logger->Lines())
      o.log.push_back(std::to_string(line.level) + " " + line.where + " " + line.text);
    o.pending = downloader->GetPendingDownloadCount();
    RestMsgQueue::releaseInstance();
    return o;
  }
};

bool StoredStatus(const std::string& updateFile, int id) {
  const value stored = value::parse(updateFile);
  for (const auto& entry : stored.as_array())
    if (entry.at("UpdateSchedulerId").as_integer() == id) return entry.at("downloadStatus").as_bool();
  ADD_FAILURE() << "no stored entry " << id;
  return false;
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
  if (c.stored != "null") {
    ASSERT_EQ(value::parse(c.stored).serialize() == value::parse(c.received).serialize(), c.stillDownloaded)
        << "the table itself";
  }
  Processing run;
  run.stored = "[" + Description(1, "\"UpdatesURLs\":" + c.stored, "ScheduleUpdate", "P100", "",
                                 R"(,"downloadStatus":true)") + "]";
  const Outcome o = run.With(Answer(Description(1, "\"UpdatesURLs\":" + c.received)), true);
  EXPECT_EQ(StoredStatus(o.updateFile, 1), c.stillDownloaded);
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
  Processing run;
  run.stored = "[" + Description(1, Urls("https://s/old.bin"), "ScheduleUpdate", "P100", "",
                                 R"(,"downloadStatus":true)") + "]";
  run.resolve = [](value source, const std::string&) -> std::wstring {
    const std::string url = source.as_array().at(0).at("UpdatesURL").as_string();
    if (url == "https://s/boom.bin") throw std::system_error(std::make_error_code(std::errc::io_error));
    return ToWide(url);
  };
  const Outcome o = run.With(Answer(c.updates), c.allUpdates);
  EXPECT_EQ(o.result, c.result);
  std::string ids;
  const value updateFile = value::parse(o.updateFile);
  for (const auto& entry : updateFile.as_array())
    ids += (ids.empty() ? "" : " ") + std::to_string(entry.at("UpdateSchedulerId").as_integer());
  EXPECT_EQ(ids, c.storedIds);
  EXPECT_EQ(o.queued, c.queued);
  EXPECT_EQ(o.pending, static_cast<int>(c.queued.size()));
  bool logged = false;
  for (const auto& line : o.log) logged |= line.find(c.logged) != std::string::npos;
  EXPECT_TRUE(logged) << c.logged;
}

const std::string kGood = Description(2, Urls("https://s/two.bin"));
const std::string kMixed = Description(1, Urls("https://s/old.bin")) + "," + kGood + "," +
                           Description(3, R"("UpdatesURL":"https://s/three.bin")", "Silent") + "," +
                           Description(4, Urls("https://s/four.bin"), "Install") + "," +
                           Description(5, Urls("https://s/five.bin"), "ScheduleUpdate", "P999") + "," +
                           Description(2, Urls("https://s/second.bin")) + "," +
                           Description(10, Urls("https://s/ten.bin"));

INSTANTIATE_TEST_SUITE_P(
    Descriptions, HandOffTest,
    ::testing::Values(
        // 1 is downloaded already, 5 is firmware of an unsupported product, the
        // first description of 2 wins, and keys go in byte order (10 before 2).
        HandOffCase{"MixedFromAll", kMixed, true, true, "1 2 5 2 10",
                    {"12 https://s/ten.bin 10 24", "12 https://s/two.bin 2 24", "12 https://s/three.bin 3 24",
                     "12 https://s/four.bin 4 24"},
                    "3 UpdatesDownload::ConstructDownloadObject P999 is not supported so skipping FW download!"},
        HandOffCase{"MixedNew", kMixed, false, true, "1 2 5 2 10 1",
                    {"12 https://s/ten.bin 10 9", "12 https://s/two.bin 2 9", "12 https://s/three.bin 3 9",
                     "12 https://s/four.bin 4 9"},
                    "2 UpdatesDownload::ConstructDownloadObject Download called for : 4"},
        // A bad description merges nothing, after the stores were written.
        HandOffCase{"MissingVersion", kGood + "," + Description(6, Urls("https://s/six.bin"), "ScheduleUpdate",
                                                                "P100", "Version"),
                    true, false, "2 6", {}, "5 CQLResponse::GetUpdateResponse"},
        // A caught lookup error ends that conversion: an entry without an id.
        HandOffCase{"LookupFails", kGood + "," + Description(6, Urls("https://s/boom.bin")), true, true, "2 6",
                    {"12  0 24", "12 https://s/two.bin 2 24"}, "5 UpdatesDownload::convertUpdateJsonToMap"}),
    [](const ::testing::TestParamInfo<HandOffCase>& info) { return std::string(info.param.name); });

}  // namespace
