// Processing of update answers with the real download list: the stored
// download flags after the address comparison, and the same outcome whether
// the processor reads the descriptions itself for our own downloader or
// hands the JSON array to a downloader of another class.
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

// Another class: the processor must treat it as any outside downloader.
class DerivedDownloader : public UpdatesDownload {
 public:
  using UpdatesDownload::UpdatesDownload;
};

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

  Outcome With(bool ownDownloader, const std::string& answer, bool allUpdates) {
    fennic_test::ServicesScope services;
    auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
    config->supportedProducts = {L"P100"};
    config->jsonFiles["Update.dat"] = value::parse(stored);
    config->resolveUrl = resolve;
    std::shared_ptr<UpdatesDownload> downloader = ownDownloader
                                                      ? std::make_shared<UpdatesDownload>(config)
                                                      : std::make_shared<DerivedDownloader>(config);
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
  const Outcome o = run.With(true, Answer(Description(1, "\"UpdatesURLs\":" + c.received)), true);
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
        AddressCase{"ExtraElement", R"(["u"])", R"(["u","v"])", false},
        AddressCase{"IntegerAndDouble", R"([{"UpdatesURL":"u","Size":1}])", R"([{"UpdatesURL":"u","Size":1.0}])",
                    value::parse("1").serialize() == value::parse("1.0").serialize()},
        AddressCase{"NumbersAlike", R"([{"UpdatesURL":"u","Size":12}])", R"([{"UpdatesURL":"u","Size":12}])", true},
        AddressCase{"NumbersDiffer", R"([{"UpdatesURL":"u","Size":12}])", R"([{"UpdatesURL":"u","Size":13}])", false},
        AddressCase{"TextAndList", R"("u")", R"(["u"])", false},
        AddressCase{"NestedSame", R"([{"Parts":[["a",true,null]]}])", R"([{"Parts":[["a",true,null]]}])", true},
        AddressCase{"NestedFlagDiffers", R"([{"Parts":[["a",true]]}])", R"([{"Parts":[["a",false]]}])", false},
        // A stored entry without a source compares as empty text.
        AddressCase{"StoredNull", "null", "null", false}),
    [](const ::testing::TestParamInfo<AddressCase>& info) { return info.param.name; });

struct HandOffCase {
  const char* name;
  std::string updates;
  bool resolveFails = false;  // the lookup raises a system error for "https://s/boom.bin"
};

class HandOffTest : public ::testing::TestWithParam<std::tuple<HandOffCase, bool>> {};

// Same stores, queued requests, log lines and list for both downloaders,
// on good and bad descriptions alike.
TEST_P(HandOffTest, OwnDownloaderMatchesTheInterfacePath) {
  const auto& [c, allUpdates] = GetParam();
  Processing run;
  run.stored = "[" + Description(1, Urls("https://s/old.bin"), "ScheduleUpdate", "P100", "",
                                 R"(,"downloadStatus":true)") + "]";
  if (c.resolveFails) {
    run.resolve = [](value source, const std::string&) -> std::wstring {
      const std::string url = source.at(0).at("UpdatesURL").as_string();
      if (url == "https://s/boom.bin") throw std::system_error(std::make_error_code(std::errc::io_error));
      if (url == "https://s/bad.bin") throw web::json::json_exception("lookup refused");
      return ToWide(url);
    };
  }
  const Outcome own = run.With(true, Answer(c.updates), allUpdates);
  const Outcome other = run.With(false, Answer(c.updates), allUpdates);
  EXPECT_EQ(own.result, other.result);
  EXPECT_EQ(own.updateFile, other.updateFile);
  EXPECT_EQ(own.silentFile, other.silentFile);
  EXPECT_EQ(own.queued, other.queued);
  EXPECT_EQ(own.log, other.log);
  EXPECT_EQ(own.pending, other.pending);
  EXPECT_NE(own.updateFile, "null") << "the stores are written before the hand-off";
}

const std::string kGood = Description(2, Urls("https://s/two.bin"));

INSTANTIATE_TEST_SUITE_P(
    Descriptions, HandOffTest,
    ::testing::Combine(
        ::testing::Values(
            HandOffCase{"Mixed", Description(1, Urls("https://s/old.bin")) + "," + kGood + "," +
                                     Description(3, R"("UpdatesURL":"https://s/three.bin")", "Silent") + "," +
                                     Description(4, Urls("https://s/four.bin"), "Install") + "," +
                                     Description(5, Urls("https://s/five.bin"), "ScheduleUpdate", "P999") + "," +
                                     Description(2, Urls("https://s/second.bin"))},
            HandOffCase{"MissingVersion", kGood + "," + Description(6, Urls("https://s/six.bin"), "ScheduleUpdate",
                                                                    "P100", "Version")},
            HandOffCase{"MissingProduct", kGood + "," + Description(6, Urls("https://s/six.bin"), "ScheduleUpdate",
                                                                    "P100", "IProduct")},
            HandOffCase{"AddressNotText", kGood + "," + Description(6, R"("UpdatesURL":6)")},
            HandOffCase{"NoAddress", kGood + "," + Description(6, R"("Other":"x")")},
            // A caught lookup error ends that conversion before the missing
            // member is read, so the later descriptions still count.
            HandOffCase{"LookupFailsThenMemberMissing",
                        kGood + "," + Description(6, Urls("https://s/boom.bin"), "ScheduleUpdate", "P100", "Version") +
                            "," + Description(7, Urls("https://s/seven.bin")),
                        true},
            HandOffCase{"LookupRefusedBeforeLaterFailure",
                        kGood + "," + Description(6, Urls("https://s/bad.bin")) + "," +
                            Description(7, Urls("https://s/seven.bin"), "ScheduleUpdate", "P100", "Version"),
                        true}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<HandOffCase, bool>>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_All" : "_New");
    });

}  // namespace
