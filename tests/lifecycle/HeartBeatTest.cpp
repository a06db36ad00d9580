#include <gtest/gtest.h>

#include <tuple>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

constexpr const char* kWhere = "CRestExecutor::ManageHeartBeat";
const std::string kTenantFile = "/data/TenantConfiguration.dat";

std::string Accepted(const std::string& body) { return R"({"validateResponse":true,"ResponseBody":)" + body + "}"; }

// Types queued by the handler, without the stop message of the harness.
std::vector<int> QueuedTypes(ExecutorHarness& h) {
  std::vector<int> types;
  for (const auto& m : h.DrainQueue())
    if (m.getType() != STOP_WORKER_REQ) types.push_back(m.getType());
  return types;
}

struct FlagCase {
  const char* name;
  std::string body;     // "ResponseBody" of an accepted answer
  bool presetADQuery;   // hasADQuery left over from an earlier heart beat
  int clientState;
  bool getAllUpdatesSent;
  std::vector<int> queued;
  std::vector<int> events;
  bool hasUpdatesAfter = false;
};

class HeartBeatFlagTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(HeartBeatFlagTest, QueuesOneFollowUpAndRaisesEventsInOrder) {
  const FlagCase& c = GetParam();
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.executor->SetFlags(c.presetADQuery, false, false);
  h.executor->SetClientState(c.clientState);
  h.executor->SetGetAllUpdatesSent(c.getAllUpdatesSent);
  h.transport->Answer(HEART_BEAT_REQ, Accepted(c.body));

  h.executor->ManageHeartBeat();

  EXPECT_EQ(QueuedTypes(h), c.queued);
  EXPECT_EQ(h.listener.Codes(), c.events);
  EXPECT_EQ(h.executor->HasUpdates(), c.hasUpdatesAfter);
  EXPECT_FALSE(h.executor->GetLastSeenOfServer().empty());
  EXPECT_EQ(h.transport->CallsOf(HEART_BEAT_REQ).at(0).body, R"({"AgentDetails":{"AgentID":"agent-1","AgentVersion":"1.0.0"}})");
}

INSTANTIATE_TEST_SUITE_P(
    Flags, HeartBeatFlagTest,
    ::testing::Values(
        FlagCase{"Nothing", R"({"HasADQuery":false,"HasUpdates":false,"HasCancelUpdates":false})", false, 0, false,
                 {}, {17, 6, 12, 4, 5}},
        FlagCase{"QueryOnly", R"({"HasADQuery":true})", false, 0, false, {GET_AD_QUERY_REQ}, {17, 6, 12, 4, 5}},
        FlagCase{"QueryBeatsUpdates", R"({"HasADQuery":true,"HasUpdates":true})", false, 0, false,
                 {GET_AD_QUERY_REQ}, {17, 6, 12}, true},
        FlagCase{"CancelBeatsUpdates", R"({"HasUpdates":true,"HasCancelUpdates":true})", false, 3, false,
                 {CANCEL_UPDATE_REQ}, {17, 6, 12}, true},
        FlagCase{"UpdatesOnly", R"({"HasUpdates":true})", false, 0, false, {GET_UPDATES_REQ}, {17, 6, 12}, true},
        // The flags before a bad one are stored; the answer then fails.
        FlagCase{"FlagsStoredUpToTheBadOne", R"({"HasADQuery":false,"HasUpdates":true,"HasCancelUpdates":"yes"})",
                 true, 0, false, {}, {17, 6, 4, 7}, true},
        FlagCase{"BodyNotObjectHasNoNews", "3", false, 0, false, {}, {17, 6, 12, 4, 5}},
        FlagCase{"AbsentFlagKeepsItsValue", R"({})", true, 0, false, {GET_AD_QUERY_REQ}, {17, 6, 12, 4, 5}},
        FlagCase{"UpdateCheckAsksForAll", R"({})", false, 1, false, {GET_ALL_UPDATES_REQ}, {17, 6, 12}},
        // One is pending already: nothing queued and the check is not ended.
        FlagCase{"AllUpdatesPending", R"({})", false, 0, true, {}, {17, 6, 12, 5}},
        FlagCase{"LogsRequested", R"({"AllowCollectLogs":true})", false, 0, false, {}, {17, 6, 12, 4, 5, 18}}),
    [](const auto& info) { return std::string(info.param.name); });

struct OutcomeCase {
  const char* name;
  std::string answer;
  int clientState;
  std::vector<int> events;
  std::pair<int, std::string> log;  // level, text
  bool transportFails = false;
};

class HeartBeatOutcomeTest : public ::testing::TestWithParam<OutcomeCase> {};

// Through the worker: after each failure the next heart beat still runs.
TEST_P(HeartBeatOutcomeTest, FailuresEndWithTheirEventsAndTheWorkerGoesOn) {
  const OutcomeCase& c = GetParam();
  ExecutorHarness h;
  h.executor->SetTenantValue("UpgradeSupportMessage", "kept");
  h.executor->SetClientState(c.clientState);
  if (c.transportFails)
    h.transport->FailWithHttpError(HEART_BEAT_REQ, c.answer);
  else
    h.transport->Answer(HEART_BEAT_REQ, c.answer);
  h.transport->Answer(HEART_BEAT_REQ, Accepted(R"({"HasUpdates":false})"));
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.listener.Codes(), c.events);
  EXPECT_EQ(h.logger->FirstStartingWith(c.log.second).level, c.log.first) << c.log.second;

  // Nothing stored was touched by the bad answer.
  EXPECT_EQ(h.config->dataFiles.count(kTenantFile), 0u);
  EXPECT_EQ(h.executor->TenantValue("URL"), "https://server.test");
  EXPECT_EQ(h.executor->TenantValue("BackendEndPoint"), "");
  EXPECT_FALSE(h.executor->HasUpdates());

  h.listener.Clear();
  h.executor->SetClientState(0);
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{17, 6, 12, 4, 5}));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, HeartBeatOutcomeTest,
    ::testing::Values(
        // Every failure ends with the heart beat's own event 7, apart from the check's end (4).
        OutcomeCase{"EmptyDuringUpdateCheck", "", 1, {9, 4, 7}, {3, "HeartBeat Response is Empty"}},
        OutcomeCase{"TokenNotFound", R"({"validateResponse":false,"ErrorMessage":"Token Not Found"})", 0, {2},
                    {2, "Token Not Found"}},
        OutcomeCase{"TokenRefusedWithHttp401", "server answered HTTP 401 to heart beat", 0, {2}, {2, "Token Not Found"}, true},
        OutcomeCase{"RefusedOtherwise", R"({"validateResponse":false,"ErrorMessage":"Busy"})", 0, {4, 7},
                    {3, "Rest Executor HBState is: 0"}},
        OutcomeCase{"Malformed", R"({"validateResponse":tru)", 0, {4, 7}, {3, "Rest Executor HBState is: 0"}},
        OutcomeCase{"NoOutcome", R"({"ResponseBody":{}})", 1, {9, 4, 7}, {3, "CheckForUpdate is failed: "}},
        // Wrong member types: the failure comes where the member is read.
        OutcomeCase{"FlagNotBoolean", Accepted(R"({"HasADQuery":"yes","HasUpdates":true})"), 0, {17, 6, 4, 7},
                    {5, "not a boolean"}},
        OutcomeCase{"TransportFailure", "no route", 0, {4, 16, 7}, {5, "no route"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HeartBeatTest, TriggeredRegistrationStopsAfterAddressAndPrivacy) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.transport->Answer(HEART_BEAT_REQ, Accepted(R"({"TriggerRegistartion":true,"HasUpdates":true,)"
                                               R"("BackendEndPoint":"https://moved.test:8443/api/v2"})"));
  h.executor->ManageHeartBeat();
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{11, 2}));
  EXPECT_EQ(h.executor->TenantValue("URL"), "https://moved.test:8443");
  EXPECT_EQ(h.transport->Endpoints().back().first, L"https://moved.test:8443");
  EXPECT_TRUE(QueuedTypes(h).empty());
  EXPECT_TRUE(h.executor->GetLastSeenOfServer().empty());
  EXPECT_FALSE(h.executor->HasUpdates()) << "flags are read only when no registration is asked for";

  // A changed privacy list asks for a registration too, after the rewrite.
  h.listener.Clear();
  h.transport->Answer(HEART_BEAT_REQ, Accepted(R"({"AnonymizePersonalData":["Email"]})"));
  h.executor->ManageHeartBeat();
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{11, 2}));
  EXPECT_TRUE(h.logger->Has("*************custom data has changed , checking in heart beat*********************"));
}

TEST(HeartBeatTest, BackendEndPointIsCutToTheServerAddress) {
  // sent, stored "URL", tenant file writes (the URL and the full-text setting each write once)
  const std::vector<std::tuple<std::string, std::string, int>> cases = {
      {"https://host:8443/api/v1", "https://host:8443", 2}, {"http://127.0.0.1/y/z", "http://127.0.0.1", 2},
      {"https://h", "https://h", 2}, {"http://localhost", "http://localhost", 2}, {"http://localhost", "http://localhost", 0}, {"", "http://localhost", 1}};
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  for (const auto& [sent, url, writes] : cases) {
    h.listener.Clear();
    h.transport->Answer(HEART_BEAT_REQ, Accepted(R"({"BackendEndPoint":")" + sent + R"("})"));
    h.executor->ManageHeartBeat();
    EXPECT_EQ(h.executor->TenantValue("URL"), url) << sent;
    EXPECT_EQ(h.executor->TenantValue("BackendEndPoint"), sent);
    EXPECT_EQ(h.listener.Count(11), writes) << sent;
  }
  const auto file = web::json::value::parse(h.cipher->Decrypt(h.config->dataFiles[kTenantFile]));
  EXPECT_EQ(file.at("URL").as_string(), "http://localhost");
  EXPECT_FALSE(file.has_field("BackendEndPoint"));
}

TEST(HeartBeatTest, TenantSettingsAndMachineDataAreMerged) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.config->machineDataValues[L"SupportEmail"] = L"old@acme.test";
  h.config->machineDataValues[L"DeviceInfoUrl"] = h.config->deviceInfoUrl = L"https://dev.test";
  h.executor->SetTenantValue("TenantName", "Acme");
  h.executor->SetTenantValue("UpdateFromFile", "True");
  h.transport->Answer(HEART_BEAT_REQ,
                      Accepted(R"({"TimeInterval":300,"AllowDownGrade":false,"UpdateFromFile":1.5,)"
                               R"("TenantName":{"a":1},"CollectData":"Full","DeviceInfoUrl":"https://dev2.test"})"));
  h.executor->ManageHeartBeat();
  EXPECT_EQ(h.executor->TenantValue("TimeInterval"), "300");
  EXPECT_EQ(h.executor->TenantValue("AllowDownGrade"), "False");
  EXPECT_EQ(h.executor->TenantValue("UpdateFromFile"), "");
  EXPECT_EQ(h.executor->TenantValue("TenantName"), "");
  EXPECT_EQ(h.executor->TenantValue("DeviceInfoUrl"), "https://dev2.test");
  EXPECT_TRUE(h.logger->Has("isValueChanged:1", kWhere));
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{17, 6, 11, 12, 4, 5}));
  // Only the address changed: the machine data is rewritten, its e-mail kept.
  EXPECT_EQ(h.executor->DeviceInfoUrl(), L"https://dev2.test");
  const auto machine = web::json::value::parse(h.cipher->Decrypt(h.config->dataFiles["/data/AgentMachineConfig.dat"]));
  EXPECT_EQ(machine.at("DeviceInfoUrl").as_string(), "https://dev2.test");
  EXPECT_EQ(machine.at("SupportEmail").as_string(), "old@acme.test");

  // The file now holds the new address, the registration's stays different:
  // later heart beats with the same values (with or without the e-mail) write nothing.
  const int writes = h.config->CountOf("WriteDataFile");
  h.config->machineDataValues[L"DeviceInfoUrl"] = L"https://dev2.test";
  for (const char* email : {"", R"("SupportEmail":"old@acme.test",)"}) {
    h.transport->Answer(HEART_BEAT_REQ, Accepted(std::string(R"({"TimeInterval":300,)") + email +
                                                 R"("DeviceInfoUrl":"https://dev2.test"})"));
    h.executor->ManageHeartBeat();
  }
  EXPECT_EQ(h.config->CountOf("WriteDataFile"), writes);

  // After a restart (no address held yet), an answer that changes only the
  // e-mail keeps the file's address.
  h.executor->SetDeviceInfoUrl(L"");
  h.transport->Answer(HEART_BEAT_REQ, Accepted(R"({"SupportEmail":"new@acme.test"})"));
  h.executor->ManageHeartBeat();
  const auto after = web::json::value::parse(h.cipher->Decrypt(h.config->dataFiles["/data/AgentMachineConfig.dat"]));
  EXPECT_EQ(after.at("SupportEmail").as_string() + " " + after.at("DeviceInfoUrl").as_string(), "new@acme.test https://dev2.test");
}

}  // namespace
