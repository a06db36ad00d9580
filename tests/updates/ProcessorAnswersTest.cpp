// The response processor against the real download list: for each answer,
// the stores it leaves, the messages it queues and the lines it logs.
#include <gmock/gmock.h>

#include "AgentException.h"
#include "CQLResponse.h"
#include "RestRequestType.h"
#include "UpdatesDownload.h"
#include "support/ExecutorHarness.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
using web::json::value;

namespace {

enum class Call { AllUpdates, SomeUpdates, Cancel };

struct AnswerCase {
  const char* name;
  Call call;
  std::string body;  // "ResponseBody", or the whole answer when it starts with '!'
  std::string storedConfigs = "[]";
  std::string storedUpdates = "[]";
  std::string storedSilent = "null";
  std::pair<std::string, int> failingStore = {"", 0};  // operation, AgentException code
  // Expected.
  std::string configsAfter;               // "Config.dat"; "-" when not written
  std::vector<std::string> queued;        // type, space, data
  std::vector<std::string> lines;         // "level where text", each must be logged
  std::string updatesAfter = "-";         // "Update.dat"; "-" when not written
  std::string silentAfter = "-";          // the silent store
  bool throws = false;
  std::string again = "";  // a second answer handled by the same processor after the first
};

std::string Config(int id, const std::string& settings = R"({"k":1})") {
  return R"({"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":)" + std::to_string(id + 100) +
         R"(,"IProduct":"P","configSettings":)" + settings + "}";
}
std::string Stored(int id) { return R"({"UpdateSchedulerId":)" + std::to_string(id) + R"(,"downloadStatus":true})"; }
std::string Cancelled(int id) {
  return R"({"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":)" + std::to_string(id + 100) + "}";
}
std::string ConfigAck(const std::string& kind, const std::string& data, const std::string& entries) {
  return "22 {\"URL\":\"/api/ManageAgent/Configuration" + kind + "Ack/\",\"RequestType\":\"APP_CONFIG_" +
         (kind == "Download" ? "" : "CANCEL_") + "ACK_REQ\",\"RequestData\":\"" + data + "\",\"ConfigData\":[" +
         entries + "]}";
}
std::string Entry(int id, bool status) {
  return "{\"UploadID\":" + std::to_string(id + 100) + ",\"Status\":" + (status ? "true" : "false") +
         ",\"UpdateSchedularID\":" + std::to_string(id) + "}";
}
const std::string kResync = "24 ";
const std::string kResyncLine = "2 CQLResponse::PushRestMessageforUpdateSync  => Message Pushed : GET_ALL_UPDATES_REQ ";

// Every line as "level where text".
std::vector<std::string> Logged(fennic_test::RecordingLogger& logger) {
  std::vector<std::string> out;
  for (const auto& line : logger.Lines()) out.push_back(std::to_string(line.level) + " " + line.where + " " + line.text);
  return out;
}

class ProcessorAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(ProcessorAnswerTest, StoresQueuesAndLogsAsTheTableSays) {
  const AnswerCase& c = GetParam();
  fennic_test::ServicesScope services;
  auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
  config->jsonFiles["Config.dat"] = value::parse(c.storedConfigs);
  config->jsonFiles["Update.dat"] = value::parse(c.storedUpdates);
  config->silentUpdates[0] = value::parse(c.storedSilent);
  // The settings of a configuration are applied, rewritten, unless they ask to be refused.
  config->applyConfiguration = [](value& settings, const std::wstring& product) {
    if (settings.has_field("refuse") || product != L"P") return false;
    settings["applied"] = value::boolean(true);
    return true;
  };
  auto tenant = std::make_shared<fennic_test::CountingTenantConfig>();
  CQLResponse processor(config, tenant, std::make_shared<UpdatesDownload>(config));
  if (c.failingStore.first == "ReloadTenantConfig")
    tenant->failWithCode = c.failingStore.second;
  else if (!c.failingStore.first.empty())
    config->ThrowOn(c.failingStore.first, c.failingStore.second, "store locked");
  const int writesBefore = config->jsonWrites;
  const std::string answer =
      c.body[0] == '!' ? c.body.substr(1) : fennic_test::AcceptedUpdateAnswer(c.body);
  const auto run = [&] {
    for (const std::string& a : {answer, fennic_test::AcceptedUpdateAnswer(c.again)}) {
      if (c.call == Call::Cancel)
        processor.ProcessGetCancelResponse(a);
      else
        processor.ProcessGetUpdtResponse(a, c.call == Call::AllUpdates);
      if (c.again.empty()) break;
    }
  };
  if (c.throws) {
    EXPECT_THROW(run(), AgentException);
  } else {
    EXPECT_NO_THROW(run());
  }
  config->ClearThrows();
  std::vector<std::string> queued;
  for (const auto& m : fennic_test::TakeQueuedMessages()) queued.push_back(std::to_string(m.getType()) + " " + m.getData());
  RestMsgQueue::releaseInstance();
  // Bodies compared as JSON: member order is the library's.
  std::vector<std::string> expected;
  for (const auto& q : c.queued)
    expected.push_back(q.size() <= 3 ? q : q.substr(0, 3) + value::parse(q.substr(3)).serialize());
  EXPECT_EQ(queued, expected);
  const auto after = [](const std::string& expected, const std::string& stored) {
    return value::parse(expected == "-" ? stored : expected).serialize();
  };
  EXPECT_EQ(config->jsonFiles["Config.dat"].serialize(), after(c.configsAfter, c.storedConfigs));
  EXPECT_EQ(config->jsonFiles["Update.dat"].serialize(), after(c.updatesAfter, c.storedUpdates));
  EXPECT_EQ(config->jsonWrites > writesBefore, c.configsAfter != "-" || c.updatesAfter != "-");
  EXPECT_EQ(config->silentUpdates[0].serialize(), after(c.silentAfter, c.storedSilent));
  for (const auto& line : c.lines) EXPECT_THAT(Logged(*services.logger), testing::Contains(line));
  EXPECT_EQ(tenant->reloads > 0, c.configsAfter != "-") << "the tenant configuration follows \"Config.dat\"";
}

const std::string kOutcome = R"("ResposeCommand":0,"validateResponseStatus":true)";

INSTANTIATE_TEST_SUITE_P(
    Answers, ProcessorAnswerTest,
    ::testing::Values(
        // Configurations: applied and stored rewritten, one already stored
        // acknowledged without applying, one refused acknowledged false.
        AnswerCase{"ConfigurationsAppliedStoredRefused", Call::SomeUpdates,
                   R"({"Updates":[],"ConfigurationUpdates":[)" + Config(4) + "," + Config(5) + "," +
                       Config(6, R"({"refuse":1})") + "," + Config(4) + "]}",
                   "[" + Config(5, R"({"old":1})") + "]", "[]", "null", {"", 0},
                   "[" + Config(5, R"({"old":1})") + "," + Config(4, R"({"k":1,"applied":true})") + "]",
                   {ConfigAck("Download", "DownloadDetails", Entry(4, true) + "," + Entry(5, true) + "," +
                                                                 Entry(6, false) + "," + Entry(4, true))},
                   {"3 CQLResponse::processGetUpdateOrConfig Field is empty",
                    "2 CQLResponse::ProcessGetUpdtResponse UpdateResponseStatus for Firmeare Updates : 0"}},
        // The first stored match ends the search: a broken entry after it is not read.
        AnswerCase{"StoredConfigurationFoundBeforeABrokenOne", Call::SomeUpdates,
                   R"({"Updates":[],"ConfigurationUpdates":[)" + Config(5) + "]}",
                   "[" + Config(5) + R"(,{"broken":true}])", "[]", "null", {"", 0},
                   "[" + Config(5) + R"(,{"broken":true}])", {ConfigAck("Download", "DownloadDetails", Entry(5, true))},
                   {}},
        AnswerCase{"ConfigurationStoreFailsCode0", Call::SomeUpdates,
                   R"({"Updates":[],"ConfigurationUpdates":[)" + Config(4) + "]}", "[]", "[]", "null",
                   {"ReadJsonFile", 0}, "-", {kResync},
                   {"5 CQLResponse::GetConfigResponse Agent Exception Code 0", kResyncLine}},
        AnswerCase{"UpdateStoreFailsCode0", Call::SomeUpdates, R"({"Updates":[{"UpdateSchedulerId":1}]})", "[]",
                   "[]", "null", {"ReadJsonFile", 0}, "-", {kResync},
                   {"5 CQLResponse::GetUpdateResponse Agent Exception Code 0", kResyncLine}},
        AnswerCase{"UpdateStoreFailsCode1", Call::SomeUpdates, R"({"Updates":[{"UpdateSchedulerId":1}]})", "[]",
                   "[]", "null", {"ReadJsonFile", 1}, "-", {},
                   {"5 CQLResponse::GetUpdateResponse Agent Exception Code 1"}, "-", "-", true},
        AnswerCase{"UpdateStoreFailsCode2", Call::SomeUpdates, R"({"Updates":[{"UpdateSchedulerId":1}]})", "[]",
                   "[]", "null", {"ReadSilentUpdates", 2}, "-", {},
                   {"5 CQLResponse::GetUpdateResponse Agent Exception Code 2"}, "-", "-", true},
        AnswerCase{"UpdateStoreFailsCode3", Call::SomeUpdates, R"({"Updates":[{"UpdateSchedulerId":1}]})", "[]",
                   "[]", "null", {"ReadJsonFile", 3}, "-", {},
                   {"5 CQLResponse::GetUpdateResponse Agent Exception Code 3"}},
        // An empty full list clears both update stores and the configurations.
        AnswerCase{"EmptyFullList", Call::AllUpdates, R"({"Updates":[],"ConfigurationUpdates":null})",
                   "[" + Config(5) + "]", "[" + Stored(1) + "]", "[" + Stored(2) + "]", {"", 0}, "[]", {},
                   {"2 CQLResponse::ProcessGetUpdtResponse Updates are not available"}, "[]", "[]"},
        AnswerCase{"TenantReloadFailsCode0", Call::AllUpdates, R"({"Updates":null,"ConfigurationUpdates":[]})", "[]",
                   "[]", "null", {"ReloadTenantConfig", 0}, "[]", {kResync},
                   {"5 CQLResponse::FillTenantConfig tenant reload failed", kResyncLine}, "[]", "[]"},
        AnswerCase{"TenantReloadFailsCode1", Call::AllUpdates, R"({"Updates":null,"ConfigurationUpdates":[]})", "[]",
                   "[]", "null", {"ReloadTenantConfig", 1}, "[]", {},
                   {"5 CQLResponse::FillTenantConfig tenant reload failed"}, "[]", "[]"},
        AnswerCase{"ConfigurationStoreFailsCode1", Call::SomeUpdates,
                   R"({"Updates":[],"ConfigurationUpdates":[)" + Config(4) + "]}", "[]", "[]", "null",
                   {"ReadJsonFile", 1}, "-", {}, {"5 CQLResponse::GetConfigResponse Agent Exception Code 1"}},
        // The outcome key: "validateResponse" holds; the other name only when it is absent.
        AnswerCase{"OutcomeKeyWinsOverItsOtherName", Call::AllUpdates,
                   "!{" + kOutcome + R"(,"validateResponse":false,"validateResponseFromServer":true,)"
                   R"("ResponseBody":{"Updates":[]}})", "[]", "[" + Stored(1) + "]", "null", {"", 0}, "-", {},
                   {"2 CQLResponse::ProcessGetUpdtResponse Updates are not available"}},
        AnswerCase{"OtherOutcomeNameWhenTheKeyIsAbsent", Call::AllUpdates,
                   "!{" + kOutcome + R"(,"validateResponseFromServer":true,"ResponseBody":{"Updates":[]}})", "[]",
                   "[" + Stored(1) + "]", "null", {"", 0}, "-", {},
                   {"3 CQLResponse::processGetUpdateOrConfig Bad Update Response"}, "[]", "[]"},
        AnswerCase{"CancelOutcomeKeyWins", Call::Cancel,
                   "!{" + kOutcome + R"(,"validateResponse":false,"validateResponseFromServer":true,)"
                   R"("ResponseBody":{"CancelledUpdates":[)" + Cancelled(1) + "]}}",
                   "[]", "[" + Stored(1) + "]", "null", {"", 0}, "-", {},
                   {"5 CQLResponse::ProcessGetCancelResponse Bad Response"}},
        // Cancelled updates: every match in "Update.dat"; otherwise the first silent one.
        AnswerCase{"CancelledUpdates", Call::Cancel,
                   R"({"CancelledUpdates":[)" + Cancelled(1) + "," + Cancelled(2) + "]}", "[]",
                   "[" + Stored(1) + "," + Stored(3) + "," + Stored(1) + "]", "[" + Stored(2) + R"(,{"x":1}])",
                   {"", 0}, "-",
                   {R"(14 [{"UploadID":101,"UpdateSchedulerId":1,"Status":"Success"},)"
                    R"({"UploadID":102,"UpdateSchedulerId":2,"Status":"Success"}])"},
                   {"2 CQLResponse::ProcessGetCancelResponse Cancel has been received successfully"},
                   "[" + Stored(3) + "]", R"([{"x":1}])"},
        AnswerCase{"CancelledUpdateStoreFailsCode0", Call::Cancel, R"({"CancelledUpdates":[)" + Cancelled(1) + "]}",
                   "[]", "[]", "null", {"ReadSilentUpdates", 0}, "-", {kResync},
                   {"5 CQLResponse::ProcessGetCancelUpdateResponse Agent Exception Code 0", kResyncLine}},
        AnswerCase{"CancelledUpdateStoreFailsCode1", Call::Cancel, R"({"CancelledUpdates":[)" + Cancelled(1) + "]}",
                   "[]", "[]", "null", {"ReadSilentUpdates", 1}, "-", {},
                   {"5 CQLResponse::ProcessGetCancelUpdateResponse Agent Exception Code 1"}},
        // Updates before configurations; ids stored nowhere are acknowledged all the same.
        AnswerCase{"CancelledConfigurations", Call::Cancel,
                   R"({"CancelledConfigs":[)" + Cancelled(5) + "," + Cancelled(8) + R"(],"CancelledUpdates":[)" +
                       Cancelled(9) + "]}",
                   "[" + Config(4) + "," + Config(5) + "," + Config(5) + "]", "[]", "null", {"", 0},
                   "[" + Config(4) + "]",
                   {R"(14 [{"UploadID":109,"UpdateSchedulerId":9,"Status":"Success"}])",
                    ConfigAck("Cancel", "CancelledDetails", Entry(5, true) + "," + Entry(8, true))},
                   {}, "[]", "[]"},
        // A cancellation without integer ids is skipped alone; a stored entry without one is kept
        // and matches nothing; the rest of the answer is cancelled and acknowledged.
        AnswerCase{"CancellationsWithoutIdsSkippedAlone", Call::Cancel,
                   R"({"CancelledUpdates":[)" + Cancelled(1) + R"(,{"UpdateSchedulerId":3}],"CancelledConfigs":[)" +
                       R"({"UpdateSchedulerId":5.5,"UploadID":1},)" + Cancelled(5) + "]}",
                   "[" + Config(5) + R"(,{"UpdateSchedulerId":7.5}])", R"([{"UpdateSchedulerId":"x"},)" + Stored(1) + "," + Stored(3) + "]",
                   "[" + Stored(3) + "]", {"", 0}, R"([{"UpdateSchedulerId":7.5}])",
                   {R"(14 [{"UploadID":101,"UpdateSchedulerId":1,"Status":"Success"}])",
                    ConfigAck("Cancel", "CancelledDetails", Entry(5, true))},
                   {"3 CQLResponse::RemoveCancelledUpdates Cancellation entry skipped (\"UpdateSchedulerId\" or \"UploadID\" is not a 32-bit integer)",
                    "3 CQLResponse::ProcessGetCancelDeviceConfigResponse Cancellation entry skipped (\"UpdateSchedulerId\" or \"UploadID\" is not a 32-bit integer)"},
                   R"([{"UpdateSchedulerId":"x"},)" + Stored(3) + "]"},
        // Each answer acknowledges its own entries only.
        AnswerCase{"TwoConfigurationAnswers", Call::SomeUpdates,
                   R"({"Updates":[],"ConfigurationUpdates":[)" + Config(4) + "]}", "[]", "[]", "null", {"", 0},
                   "[" + Config(4, R"({"k":1,"applied":true})") + "," + Config(7, R"({"k":1,"applied":true})") + "]",
                   {ConfigAck("Download", "DownloadDetails", Entry(4, true)),
                    ConfigAck("Download", "DownloadDetails", Entry(7, true))},
                   {}, "-", "-", false, R"({"Updates":[],"ConfigurationUpdates":[)" + Config(7) + "]}"},
        AnswerCase{"TwoCancellationAnswers", Call::Cancel,
                   R"({"CancelledUpdates":[)" + Cancelled(1) + R"(],"CancelledConfigs":[)" + Cancelled(5) + "]}", "[]",
                   "[" + Stored(1) + "," + Stored(2) + "]", "null", {"", 0}, "[]",
                   {R"(14 [{"UploadID":101,"UpdateSchedulerId":1,"Status":"Success"}])",
                    ConfigAck("Cancel", "CancelledDetails", Entry(5, true)),
                    R"(14 [{"UploadID":102,"UpdateSchedulerId":2,"Status":"Success"}])",
                    ConfigAck("Cancel", "CancelledDetails", Entry(8, true))},
                   {}, "[]", "-", false,
                   R"({"CancelledUpdates":[)" + Cancelled(2) + R"(],"CancelledConfigs":[)" + Cancelled(8) + "]}"},
        AnswerCase{"CancelledConfigurationStoreFailsCode0", Call::Cancel,
                   R"({"CancelledConfigs":[)" + Cancelled(5) + "]}", "[]", "[]", "null", {"ReadJsonFile", 0}, "-",
                   {kResync}, {"5 CQLResponse::ProcessGetCancelDeviceConfigResponse Agent Exception Code 0", kResyncLine}},
        AnswerCase{"CancelledConfigurationStoreFailsCode2", Call::Cancel,
                   R"({"CancelledConfigs":[)" + Cancelled(5) + "]}", "[]", "[]", "null", {"ReadJsonFile", 2}, "-", {},
                   {"5 CQLResponse::ProcessGetCancelDeviceConfigResponse Agent Exception Code 2"}},
        AnswerCase{"NothingCancelled", Call::Cancel, R"({"CancelledUpdates":[],"CancelledConfigs":{}})", "[]", "[]",
                   "null", {"", 0}, "-", {},
                   {"3 CQLResponse::ProcessGetCancelUpdateResponse field is empty",
                    "3 CQLResponse::ProcessGetCancelDeviceConfigResponse field is empty"}}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

struct CCConfigCase {
  const char* name;
  std::string answer;
  std::string failedAfter;  // "FailedConfig.dat"
  std::vector<int> events;
  std::string line;  // "level where text"
};

class CCConfigTest : public ::testing::TestWithParam<CCConfigCase> {};

// Through the worker, with the real processor keeping the failed-request record.
TEST_P(CCConfigTest, RecordsTheFailedRequestAsTabled) {
  const CCConfigCase& c = GetParam();
  const std::string failedBefore = R"({"FailedRequest":[{"CC_CONFIG_REQUEST":""},{"Other":1}]})";
  fennic_test::ExecutorHarness::Options options;
  options.makeResponseProcessor = [&](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) {
    config->jsonFiles["FailedConfig.dat"] = value::parse(failedBefore);
    return std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                         std::make_shared<UpdatesDownload>(config));
  };
  fennic_test::ExecutorHarness h(options);
  h.transport->Answer(CC_CONFIG_REQ, c.answer);
  h.Push(CC_CONFIG_REQ, R"({"cc":1})");
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CallsOf(CC_CONFIG_REQ).at(0).body, R"({"cc":1})");
  EXPECT_EQ(h.listener.Codes(), c.events);
  // A line ending in '*' is matched by its beginning.
  if (c.line.back() == '*')
    EXPECT_THAT(Logged(*h.logger), testing::Contains(testing::StartsWith(c.line.substr(0, c.line.size() - 1))));
  else
    EXPECT_THAT(Logged(*h.logger), testing::Contains(c.line));
  auto hold = h.config->Lock();
  const std::string failedAfter = h.config->jsonFiles["FailedConfig.dat"].serialize();
  EXPECT_EQ(failedAfter, value::parse(c.failedAfter.empty() ? failedBefore : c.failedAfter).serialize());
  EXPECT_EQ(h.executor->IsRequestFailed(L"CC_CONFIG_REQUEST"),
            failedAfter.find("CC_CONFIG_REQUEST") != std::string::npos);
  EXPECT_TRUE(h.executor->IsRequestFailed(L"Other"));
  EXPECT_FALSE(h.executor->IsRequestFailed(L"CC_CONFIG"));
  EXPECT_EQ(h.executor->GetLastSeenOfServer().empty(), c.line.find("successfully") == std::string::npos);
}

const std::string kFailedMoved = R"({"FailedRequest":[{"Other":1},{"CC_CONFIG_REQUEST":""}]})";
const std::string kHandler = "CRestExecutor::ManageCCConfigReq";

INSTANTIATE_TEST_SUITE_P(
    Answers, CCConfigTest,
    ::testing::Values(
        CCConfigCase{"EmptyAnswer", "", "", {}, "2 " + kHandler + " CC Config request response is empty"},
        CCConfigCase{"StatusFalse", R"({"validateResponseStatus":false})", kFailedMoved, {},
                     "5 CRestExecutor::ExecuteRestCall Server throws Exception"},
        CCConfigCase{"Command45", R"({"validateResponseStatus":true,"ResposeCommand":45})", kFailedMoved, {},
                     "5 CRestExecutor::ExecuteRestCall Unknown Command received from server"},
        CCConfigCase{"Accepted", "{" + kOutcome + R"(,"validateResponse":true})", R"({"FailedRequest":[{"Other":1}]})",
                     {}, "2 " + kHandler + " cc cofig status updated successfully"},
        CCConfigCase{"Refused", "{" + kOutcome + R"(,"validateResponse":false})", "", {},
                     "2 CRestExecutor::ExecuteRestCall Leaving request type : 17"},
        CCConfigCase{"NotJson", "<html>", "", {}, "5 " + kHandler + " *"}),
    [](const ::testing::TestParamInfo<CCConfigCase>& info) { return std::string(info.param.name); });

}  // namespace
