#include <gtest/gtest.h>

#include <future>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

constexpr const char* kWhere = "CRestExecutor::ManageDeviceUpdtStatus";
const std::string kOk = R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true})";
const std::string kRefused = R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":false})";
const std::string kStatusFalse = R"({"validateResponseStatus":false,"ResposeCommand":0,"validateResponse":true})";

std::string Report(const std::string& device, int uploadId = 5) {
  return R"({"DeviceID":")" + device + R"(","Updatestatus":"Failed","Reason":"timeout","UploadID":)" +
         std::to_string(uploadId) + R"(,"UpdateSchedularID":9})";
}

// The failed-report store as text.
std::string Stored(ExecutorHarness& h) {
  auto hold = h.config->Lock();
  return h.config->silentUpdates[1].serialize();
}

// A list of reports in the form the store keeps them.
std::string List(const std::vector<std::string>& reports) {
  web::json::value list = web::json::value::array();
  for (std::size_t i = 0; i < reports.size(); ++i) list[i] = web::json::value::parse(reports[i]);
  return list.serialize();
}

void Store(ExecutorHarness& h, const std::vector<std::string>& reports) {
  auto hold = h.config->Lock();
  h.config->silentUpdates[1] = web::json::value::parse(List(reports));
}

std::vector<std::string> SentReports(ExecutorHarness& h) {
  std::vector<std::string> out;
  for (const auto& call : h.transport->CallsOf(DEVICE_UPDATE_STATUS_REQ)) out.push_back(call.body);
  return out;
}

struct AnswerCase {
  const char* name;
  std::string report;
  std::string answer;
  std::string storedAfter;
  std::vector<int> events;
  std::pair<std::string, std::string> log;  // where, text
};

class StatusAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(StatusAnswerTest, ReportIsStoredOnlyWhenRefused) {
  const AnswerCase& c = GetParam();
  ExecutorHarness h;
  h.transport->Answer(DEVICE_UPDATE_STATUS_REQ, c.answer);
  h.Push(DEVICE_UPDATE_STATUS_REQ, c.report);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(SentReports(h), std::vector<std::string>{c.report}) << "sent once, unchanged";
  EXPECT_EQ(Stored(h), c.storedAfter);
  EXPECT_EQ(h.listener.Codes(), c.events);
  EXPECT_TRUE(h.logger->Has(c.log.second, c.log.first)) << c.log.second;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StatusAnswerTest,
    ::testing::Values(
        AnswerCase{"Accepted", Report("dev-1"), kOk, List({}), {}, {kWhere, "Upgrade Status updated successfully"}},
        AnswerCase{"ServerError", Report("dev-1"), kStatusFalse, List({Report("dev-1")}), {},
                   {"CRestExecutor::ExecuteRestCall", "Update response is false"}},
        AnswerCase{"UnknownCommand", Report("dev-1"),
                   R"({"validateResponseStatus":true,"ResposeCommand":45,"validateResponse":true})",
                   List({Report("dev-1")}), {}, {"CRestExecutor::ExecuteRestCall", "Unknown Command received from server"}},
        AnswerCase{"Refused", Report("dev-1"), kRefused, List({}), {},
                   {"CRestExecutor::ExecuteRestCall", "Leaving request type : 7"}},
        AnswerCase{"EmptyAnswer", Report("dev-1"), "", List({}), {}, {kWhere, "Device update status response is empty"}},
        AnswerCase{"MalformedAnswer", Report("dev-1"), "<html>", List({}), {},
                   {"CRestExecutor::ExecuteRestCall", "Leaving request type : 7"}},
        // A report that cannot be rebuilt is logged; the store stays as it was.
        AnswerCase{"IncompleteReport", R"({"DeviceID":"dev-1"})", kStatusFalse, List({}), {},
                   {"CRestExecutor::SaveFailedRequestOfUpdateStatus", "Key not found"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A report the network did not take waits in its store for the next heart
// beat; the worker does not wait for it, so nothing queued behind it (a
// heart beat) is held.
TEST(DeviceUpdateStatusTest, ATransportFailureStoresTheReportWithoutHoldingTheWorker) {
  ExecutorHarness h;
  h.transport->FailWithHttpError(DEVICE_UPDATE_STATUS_REQ, "unreachable");
  h.Push(DEVICE_UPDATE_STATUS_REQ, Report("dev-1"));
  h.Push(CLIENT_FORWARD_REQ, "after");
  ASSERT_TRUE(h.Settle(std::chrono::seconds(5))) << "the worker waited";
  EXPECT_EQ(SentReports(h).size(), 1u);
  EXPECT_EQ(h.transport->CountOf(CLIENT_FORWARD_REQ), 1);
  EXPECT_EQ(h.listener.Codes(), std::vector<int>{16});
  EXPECT_EQ(h.logger->Count("Please check network connection", kWhere), 1);
  EXPECT_EQ(h.logger->Count("unreachable", kWhere), 1);
  EXPECT_EQ(Stored(h), List({Report("dev-1")}));
}

TEST(DeviceUpdateStatusTest, StoredReportsAreResentAfterHeartBeatAndLeaveOnlyWhenAccepted) {
  ExecutorHarness h;
  std::vector<std::string> reports;
  for (int i = 1; i <= 6; ++i) reports.push_back(Report("dev-" + std::to_string(i), i));
  const std::string b = reports[1];
  Store(h, {reports[0], Report("0000000000000000"), b, R"({"Updatestatus":"x"})", reports[2], reports[3], reports[4],
            reports[5]});
  h.transport->AnswerAlways(HEART_BEAT_REQ, R"({"validateResponse":true,"ResponseBody":{}})");
  // Empty, refused and malformed answers end a report's life as acceptance does.
  for (const std::string& answer : {kOk, kStatusFalse, kOk, std::string(), kRefused, std::string("<html>")})
    h.transport->Answer(DEVICE_UPDATE_STATUS_REQ, answer);
  // Both heart beats are queued before the first runs (a held request keeps
  // the worker busy), so the second sees the re-sent reports still queued and
  // must not queue them again.
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  h.transport->OnRequest(CLIENT_FORWARD_REQ, [open](const std::string&) {
    open.wait_for(std::chrono::seconds(5));
    return std::string();
  });
  h.Push(CLIENT_FORWARD_REQ, "hold");
  h.Push(HEART_BEAT_REQ);
  h.Push(HEART_BEAT_REQ);
  gate.set_value();
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(SentReports(h), reports) << "store order, placeholders never sent";
  EXPECT_TRUE(h.logger->Has("Device update status Request: " + b, "CRestExecutor::SendSilentUpdateStatus"));
  EXPECT_EQ(Stored(h), List({b})) << "the refused one is kept once, the accepted ones are gone";

  h.transport->Answer(DEVICE_UPDATE_STATUS_REQ, kOk);
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.Settle());
  reports.push_back(b);
  EXPECT_EQ(SentReports(h), reports) << "only the refused one again";
  EXPECT_EQ(Stored(h), List({}));
}

// The guard drops a re-sent stored report while the token is gone: the
// next heart beat with a token sends it again.
TEST(DeviceUpdateStatusTest, StoredReportDroppedByTheGuardIsSentByTheNextHeartBeat) {
  ExecutorHarness h;
  Store(h, {Report("dev-1")});
  h.transport->AnswerAlways(DEVICE_UPDATE_STATUS_REQ, kOk);
  std::promise<void> beat, gate;
  std::shared_future<void> beatOpen = beat.get_future().share(), open = gate.get_future().share();
  h.transport->OnRequest(HEART_BEAT_REQ, [beatOpen](const std::string&) {
    beatOpen.wait_for(std::chrono::seconds(5));
    return std::string(R"({"validateResponse":true,"ResponseBody":{}})");
  });
  h.transport->OnRequest(CLIENT_FORWARD_REQ, [open](const std::string&) {
    open.wait_for(std::chrono::seconds(5));
    return std::string();
  });
  // The held request is queued while the heart beat is out, so the stored
  // report the heart beat queues waits behind it.
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.transport->WaitForCalls(HEART_BEAT_REQ, 1));
  h.Push(CLIENT_FORWARD_REQ, "hold");
  beat.set_value();
  ASSERT_TRUE(h.transport->WaitForCalls(CLIENT_FORWARD_REQ, 1));
  h.config->token.clear();
  h.executor->LoadTenantConfiguration();
  gate.set_value();
  ASSERT_TRUE(h.logger->WaitFor(
      "Rest Message is not proceeded, Since token is empty :  or Tenant URL or ID is empty : https://server.test"));
  EXPECT_TRUE(SentReports(h).empty());
  h.config->token = L"token-1";
  h.executor->LoadTenantConfiguration();
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(SentReports(h), std::vector<std::string>{Report("dev-1")});
  EXPECT_EQ(Stored(h), List({}));
}

TEST(DeviceUpdateStatusTest, StoreThatIsNotAListIsResetToAnEmptyOne) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  for (const char* stored : {"null", R"({"DeviceID":"dev-a"})", "[]"}) {
    {
      auto hold = h.config->Lock();
      h.config->silentUpdates[1] = web::json::value::parse(stored);
    }
    const int writes = h.config->CountOf("WriteSilentUpdates");
    h.executor->SendSavedSilentUpdateStatus();
    EXPECT_EQ(Stored(h), "[]") << stored;
    EXPECT_EQ(h.config->CountOf("WriteSilentUpdates") - writes, std::string(stored) == "[]" ? 0 : 1) << stored;
  }
}

}  // namespace
