// Sequences of server answers against the whole update chain (executor,
// response processor, download list): whatever the answers, every check
// ends with the full-list flag clear, the stores hold each id once and stay
// readable, no details request goes out for an empty address, and a warning
// repeated within one check is written once.
#include <gtest/gtest.h>

#include "CQLResponse.h"
#include "CRestClientFactory.h"
#include "RestRequestType.h"
#include "UpdatesDownload.h"
#include "TextConversion.h"
#include "support/ExecutorHarness.h"
#include "support/ScratchFolder.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
using fennic_test::AcceptedUpdateAnswer;
using fennic_test::ExecutorHarness;
using fennic_test::UpdateDescription;

namespace {

std::string At(int id) { return R"("UpdatesURL":"https://s/p)" + std::to_string(id) + R"(.bin")"; }
std::string Update(int id, const std::string& more = "", const std::string& action = "ScheduleUpdate") {
  return UpdateDescription(id, At(id), action, "P100", more);
}
std::string Updates(const std::string& list, const std::string& configs = "[]") {
  return AcceptedUpdateAnswer(R"({"Updates":)" + list + R"(,"ConfigurationUpdates":)" + configs + "}");
}
std::string Config(int id) {
  return R"({"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":1,"IProduct":"P100","configSettings":{}})";
}
std::string Unsupported(int count) {
  std::string list;
  for (int id = 1; id <= count; ++id)
    list += (list.empty() ? "" : ",") + UpdateDescription(id, At(id), "ScheduleUpdate", "P999");
  return "[" + list + "]";
}
const std::string kDownloaded = R"(,"downloadStatus":true)";
const std::string kNotYet = R"(,"downloadStatus":false)";
const std::string kStored7 = "[" + Update(7, kDownloaded) + "]|null|[]";

struct SequenceCase {
  const char* name;
  std::string stored;                           // "Update.dat|silent store|Config.dat", JSON texts
  std::vector<std::pair<int, std::string>> answers;  // one-shot answers, in order per request type
  std::vector<int> pushed;                      // requests the host sends, each after the last settled
  int clientState;
  // Expected.
  std::vector<int> events;
  std::string storeIds;  // ids in "Update.dat|silent store|Config.dat"
  std::string acks;      // the download acknowledgements' statuses, in order
  std::string line;      // "level text": a line written exactly once
};

std::string Ids(const web::json::value& list) {
  std::string ids;
  if (list.is_array())
    for (const auto& entry : list.as_array())
      ids += (ids.empty() ? "" : " ") + std::to_string(entry.at("UpdateSchedulerId").as_integer());
  return ids;
}

class AnswerSequenceTest : public ::testing::TestWithParam<SequenceCase> {
 protected:
  static ExecutorHarness::Options WithProcessor() {
    ExecutorHarness::Options o;
    o.makeResponseProcessor = [](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) {
      return std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                           std::make_shared<UpdatesDownload>(config));
    };
    return o;
  }
  ~AnswerSequenceTest() override { CRestClientFactory::setRestClient(nullptr); }
  ScratchFolder folder;
  ExecutorHarness h{WithProcessor()};
};

TEST_P(AnswerSequenceTest, EveryCheckEndsAndTheStoresStayWhole) {
  const SequenceCase& c = GetParam();
  {
    auto hold = h.config->Lock();
    const auto first = c.stored.find('|'), second = c.stored.find('|', first + 1);
    h.config->jsonFiles["Update.dat"] = web::json::value::parse(c.stored.substr(0, first));
    h.config->silentUpdates[0] = web::json::value::parse(c.stored.substr(first + 1, second - first - 1));
    h.config->jsonFiles["Config.dat"] = web::json::value::parse(c.stored.substr(second + 1));
    h.config->supportedProducts = {L"P100"};
    h.config->firmwareFolder = folder.path.string();
    h.config->voicePrompts = [](web::json::value& source) {
      if (!source.is_string() || source.as_string() != "https://s/p20.bin") return std::vector<web::json::value>();
      return std::vector<web::json::value>{web::json::value::parse(R"({"Name":"no address"})"),
                                           web::json::value::parse(R"({"UpdatesURL":"https://s/vp9.bin"})")};
    };
  }
  CRestClientFactory::setRestClient(h.transport);
  h.transport->AnswerAlways(DOWNLOAD_FILES, R"({"StatusCode":200})");
  h.transport->OnDownload([](const fennic_test::DownloadCall& call, std::wstring&) {
    ScratchFolder::Put(ToUtf8(call.localPath), "package");  // removed once downloaded
    return true;
  });
  for (const auto& [type, answer] : c.answers) h.transport->Answer(type, answer);
  for (int type : c.pushed) {
    h.executor->SetClientState(c.clientState);
    h.Push(type, type == GET_ALL_UPDATES_REQ ? "host" : "");  // a host's full-list request sets the flag
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(h.Settle());     // and the follow-ups each step queued
  }

  EXPECT_EQ(h.listener.Codes(), c.events);
  EXPECT_FALSE(h.executor->GetAllUpdatesSent()) << "the full-list flag outlived the check";
  std::string acks;
  for (const auto& call : h.transport->CallsOf(DOWNLOAD_STATUS_REQ))
    acks += (acks.empty() ? "" : " ") + web::json::value::parse(call.body).at(0).at("Status").as_string();
  EXPECT_EQ(acks, c.acks);
  for (const auto& call : h.transport->CallsOf(DOWNLOAD_FILES))
    EXPECT_NE(call.body, R"({"DownloadUrl":""})") << "details asked for no address";
  {
    auto hold = h.config->Lock();
    EXPECT_EQ(Ids(h.config->jsonFiles["Update.dat"]) + "|" + Ids(h.config->silentUpdates[0]) + "|" +
                  Ids(h.config->jsonFiles["Config.dat"]),
              c.storeIds);
    web::json::value silent = h.config->silentUpdates[0];
    if (!silent.is_array()) silent = web::json::value::array();
    for (const auto& entry : silent.as_array())  // every silent one was downloaded
      EXPECT_TRUE(entry.at("downloadStatus").as_bool()) << entry.serialize();
  }
  int written = 0;
  for (const auto& line : h.logger->Lines()) {
    if (!c.line.empty() && std::to_string(line.level) + " " + line.text == c.line) ++written;
    EXPECT_FALSE(line.level >= 3 && line.text == "Download Object is not a JSON array") << "a warning on the good path";
  }
  EXPECT_EQ(written, c.line.empty() ? 0 : 1) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, AnswerSequenceTest,
    ::testing::Values(
        SequenceCase{"FullListAnswerEmpty", "[" + Update(7, kDownloaded) + "]|null|[]", {}, {GET_ALL_UPDATES_REQ}, 1,
                     {9, 4}, "7||", "", "3 GetAllUpdates Response is Empty"},
        SequenceCase{"StoredEntryLacksAMember",
                     "[" + Update(7, kDownloaded) +
                         R"(,{"UpdateSchedulerId":6,"UploadID":1,"Action":"ScheduleUpdate"}]|null|[])",
                     {{GET_UPDATES_REQ, Updates("[" + Update(8) + "]")}}, {GET_UPDATES_REQ}, 2,
                     {5, 10, 4}, "8 7||", "Success",
                     "3 Update entry skipped (\"IProduct\" is missing or not text)"},
        SequenceCase{"SilentStoredNotDownloadedIsListedAgain", "[]|[" + Update(7, kNotYet, "Silent") + "]|[]",
                     {{GET_UPDATES_REQ, Updates("[" + Update(7, "", "Silent") + "]")}}, {GET_UPDATES_REQ}, 2,
                     {5, 10, 4}, "|7|", "Success", ""},
        SequenceCase{"SilentFromTheFullList", "[]|null|[]",
                     {{GET_ALL_UPDATES_REQ, Updates("[" + Update(7, "", "Silent") + "]")}}, {GET_ALL_UPDATES_REQ}, 1,
                     {5, 10, 4}, "|7|", "Success", ""},
        // Malformed or refused answers: no store changed, nothing downloaded, the check ends.
        SequenceCase{"NotJson", kStored7, {{9, "{\"Updates\":"}}, {9}, 2, {4, 5}, "7||", "", ""},
        SequenceCase{"UpdatesAsObject", kStored7, {{9, Updates(R"({"a":1})")}}, {9}, 2, {4, 5}, "7||", "", ""},
        SequenceCase{"IdAsText", kStored7, {{9, Updates(R"([{"UpdateSchedulerId":"8","Action":"x"}])")}}, {9}, 2,
                     {4, 5}, "7||", "", ""},
        SequenceCase{"NullLists", kStored7, {{9, Updates("null", "null")}}, {9}, 2, {4, 5}, "7||", "", ""},
        SequenceCase{"ListedAgainIsStoredOnce", "[" + Update(8, kDownloaded) + "]|null|[]",
                     {{GET_UPDATES_REQ, Updates("[" + Update(8) + "," + Update(9) + "," + Update(9) + "]")}},
                     {GET_UPDATES_REQ}, 2, {5, 10, 4}, "8 9||", "Success",
                     "3 Update entry refused (its UpdateSchedulerId is listed twice)"},
        SequenceCase{"FullListMemberNotAList", "[" + Update(7, kDownloaded) + "]|null|[" + Config(3) + "]",
                     {{GET_ALL_UPDATES_REQ, Updates("\"none\"", "{}")}}, {GET_ALL_UPDATES_REQ}, 1, {4, 5}, "7||3", "",
                     "3 Malformed answer, no store changed: \"Updates\" is not a list"},
        // One bad member or entry fails alone; the rest of the answer is applied.
        SequenceCase{"ConfigurationsNotAListUpdatesStillStored", "[]|null|[" + Config(3) + "]",
                     {{GET_UPDATES_REQ, Updates("[" + Update(8) + "]", "{}")}}, {GET_UPDATES_REQ}, 2, {5, 10, 4},
                     "8||3", "Success", "3 Malformed answer, no store changed: \"ConfigurationUpdates\" is not a list"},
        SequenceCase{"BadConfigurationsAmongGood", "[]|null|[]",
                     {{GET_UPDATES_REQ, Updates("[]", "[" + Config(3) + R"(,{"UpdateSchedulerId":4,"UploadID":1,"IProduct":"P100"},)" +
                                                          R"({"UpdateSchedulerId":7.5,"UploadID":1,"IProduct":"P100","configSettings":{}},)" +
                                                          Config(5) + "]")}},
                     {GET_UPDATES_REQ}, 2, {4, 5}, "||3 5", "", "3 Configuration entry refused (\"configSettings\" is missing)"},
        SequenceCase{"FullListOfRefusedEntriesKeepsTheStores", "[" + Update(7, kDownloaded) + "]|null|[" + Config(3) + "]",
                     {{GET_ALL_UPDATES_REQ, Updates(R"([{"UpdateSchedulerId":"8"}])", R"([{"UploadID":2}])")}},
                     {GET_ALL_UPDATES_REQ}, 1, {4, 5}, "7||3", "", "3 Full list not applied: every entry was refused"},
        // A full list's entry that cannot be read still lists its id: the stored copy stays, downloaded.
        SequenceCase{"FullListKeepsTheStoredCopyOfAnEntryItCannotRead",
                     "[" + Update(7, kDownloaded) + "," + Update(6, kDownloaded) + "]|null|[]",
                     {{GET_ALL_UPDATES_REQ, Updates(R"([{"UpdateSchedulerId":7,"UploadID":1e20},)" + Update(8) + "]")}},
                     {GET_ALL_UPDATES_REQ}, 1, {5, 10, 4}, "8 7||", "Success", ""},
        SequenceCase{"FullListDropsConfigurationsNoLongerListed", "[]|null|[" + Config(3) + "," + Config(4) + "]",
                     {{GET_ALL_UPDATES_REQ, Updates("[]", "[" + Config(4) + "," + Config(5) + "]")}},
                     {GET_ALL_UPDATES_REQ}, 1, {4, 5}, "||4 5", "", ""},
        SequenceCase{"DetailsNotJsonThenGood", "[]|null|[]",
                     {{GET_UPDATES_REQ, Updates("[" + Update(8) + "]")},
                      {GET_UPDATES_REQ, Updates("[" + Update(8) + "]")},
                      {DOWNLOAD_FILES, "<html>"}},
                     {GET_UPDATES_REQ, GET_UPDATES_REQ}, 2, {5, 10, 4, 5, 10, 4}, "8||", "Failed Success",
                     "3 Download details answer is not JSON: * Line 1, Column 2 Syntax error: Malformed token"},
        SequenceCase{"DetailsEmptyThenGood", "[]|null|[]",
                     {{GET_UPDATES_REQ, Updates("[" + Update(8) + "]")},
                      {GET_UPDATES_REQ, Updates("[" + Update(8) + "]")},
                      {DOWNLOAD_FILES, ""}},
                     {GET_UPDATES_REQ, GET_UPDATES_REQ}, 2, {5, 4, 5, 10, 4}, "8||", "Failed Success",
                     "2 Download Files Response is empty"},
        SequenceCase{"VoicePromptWithoutAddress", "[]|null|[]",
                     {{GET_UPDATES_REQ, Updates("[" + Update(20) + "]")},
                      {GET_UPDATES_REQ, Updates("[" + Update(21) + "]")}},
                     {GET_UPDATES_REQ, GET_UPDATES_REQ}, 2, {5, 10, 10, 4, 5, 10, 4}, "21 20||",
                     "Success Success Success", "3 Voice prompt entry skipped (no \"UpdatesURL\" text)"},
        SequenceCase{"ManyUnsupportedInUpdatesAndFullList", "[]|null|[]",
                     {{GET_UPDATES_REQ, Updates(Unsupported(300))}, {GET_ALL_UPDATES_REQ, Updates(Unsupported(300))}},
                     {GET_UPDATES_REQ}, 3, {5, 4, 5}, Ids(web::json::value::parse(Unsupported(300))) + "||",
                     "", "3 P999 is not supported so skipping FW download! (300 times)"}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return std::string(info.param.name); });

// The whole check in request order. No product is supported here: the update is skipped by the download list.
TEST_F(AnswerSequenceTest, CancellationsThenUpdatesThenFullListThenFinish) {
  h.transport->Answer(CANCEL_UPDATE_REQ, AcceptedUpdateAnswer(R"({"CancelledUpdates":[{"UpdateSchedulerId":7,)"
                                                              R"("UploadID":1007}],"CancelledConfigs":[]})"));
  h.transport->Answer(GET_UPDATES_REQ, Updates("[" + Update(8) + "]"));
  h.transport->Answer(GET_ALL_UPDATES_REQ, Updates("[]"));
  h.executor->SetFlags(false, true, true);
  h.executor->SetClientState(1);
  h.Push(CANCEL_UPDATE_REQ);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(h.Settle());  // and the follow-ups queued by each step
  EXPECT_EQ(h.transport->Types(),
            (std::vector<int>{CANCEL_UPDATE_REQ, CANCEL_RECEIVED_ACK_REQ, GET_UPDATES_REQ, GET_ALL_UPDATES_REQ}));
  EXPECT_EQ(h.listener.CodeList(), "8,5,4,5") << "the cancellation is reported first, the end once";
}

}  // namespace
