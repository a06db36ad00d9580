#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

const std::string kAccepted =
    R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,"validateResponseFromServer":true,"ErrorMessage":""})";
const std::string kRefused =
    R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":false,"validateResponseFromServer":false,"ErrorMessage":"busy"})";
const std::string kStatusFalse = R"({"validateResponseStatus":false,"ResposeCommand":0,"validateResponse":true})";

// "!" scripts a transport failure.
void Script(ExecutorHarness& h, int type, const std::string& answer) {
  if (answer == "!") h.transport->FailWithHttpError(type, "network down");
  else h.transport->Answer(type, answer);
}

struct DeviceCase {
  const char* name;
  int type;
  std::string answer;  // "!" : transport failure
  std::string line;    // the handler's outcome line
  int lineLevel;
  bool dispatcherFailure;  // the dispatcher logged and reported the failure
};

class DeviceEventTest : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceEventTest, SendsHostTextAndLogsOutcome) {
  const DeviceCase& c = GetParam();
  ExecutorHarness h;
  Script(h, c.type, c.answer);
  const std::string body = "{\"Name\":\"Ren\xC3\xA9" "e \xE5\xBC\xA0\"}";
  h.Push(c.type, body);
  ASSERT_TRUE(h.Settle());
  ASSERT_EQ(h.transport->CallsOf(c.type).size(), 1u);
  EXPECT_EQ(h.transport->CallsOf(c.type)[0].body, body) << "byte for byte";
  bool found = false;  // an empty expected line stands for the JSON library's own text
  for (const auto& l : h.logger->Lines())
    found |= l.level == c.lineLevel && (c.line.empty() ? l.where.rfind("CRestExecutor::ManageDevice", 0) == 0
                                                        : l.text == c.line);
  EXPECT_TRUE(found) << c.line;
  EXPECT_EQ(h.logger->Has("Leaving request type : " + std::to_string(c.type)), !c.dispatcherFailure);
  EXPECT_EQ(h.logger->Has("Rest Executor HBState is: 0"), c.dispatcherFailure);
  EXPECT_EQ(!h.executor->GetLastSeenOfServer().empty(), c.line.find("uccessful") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeviceEventTest,
    ::testing::Values(
        DeviceCase{"PlugAccepted", 4, kAccepted, "Device plugin successful", 2, false},
        DeviceCase{"UnplugRefused", 5, kRefused, "Device UnPlug failed with error message : busy", 2, false},
        DeviceCase{"PlugEmpty", 4, "", "Device plugin Response is empty", 2, false},
        DeviceCase{"PlugStatusFalse", 4, kStatusFalse, "Response is false", 5, false},
        DeviceCase{"UnplugMalformed", 5, "{\"validateResponseStatus\":", "", 5, false},
        DeviceCase{"PlugNetwork", 4, "!", "network down", 5, true},
        DeviceCase{"SyncAccepted", 8, kAccepted, "Device Sync Successful", 2, false},
        DeviceCase{"SyncRefused", 8, kRefused, "Device sync failed with error message busy", 2, false},
        DeviceCase{"SyncEmpty", 8, "", "Device sync Response is empty", 2, false},
        // The same refusal the plug handler absorbs reaches the dispatcher here.
        DeviceCase{"SyncStatusFalse", 8, kStatusFalse, "Response is false", 5, true}),
    [](const ::testing::TestParamInfo<DeviceCase>& info) { return info.param.name; });

struct UsageCase {
  const char* name;
  int type;
  std::string answer;
  std::string line;
  bool dispatcherFailure;
  bool event13;
};

class UsageReportTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageReportTest, ReportsOutcome) {
  const UsageCase& c = GetParam();
  ExecutorHarness h;
  Script(h, c.type, c.answer);
  h.Push(c.type, "[\"softphone \xC3\xA9\"]");
  ASSERT_TRUE(h.Settle());
  // Each line with its level; an empty one stands for the JSON library's text.
  bool logged = c.line.empty();
  for (const auto& l : h.logger->Lines()) logged |= std::to_string(l.level) + " " + l.text == c.line;
  EXPECT_TRUE(logged) << c.line;
  EXPECT_EQ(h.logger->Has("Rest Executor HBState is: 0"), c.dispatcherFailure);
  EXPECT_EQ(h.listener.Count(13), c.event13 ? 1 : 0);
  EXPECT_TRUE(h.executor->GetLastSeenOfServer().empty()) << "usage reports never mark the server as seen";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UsageReportTest,
    ::testing::Values(
        UsageCase{"SoftphoneAccepted", 19, kAccepted, "2 Softphone list successfully sent to server", false, false},
        UsageCase{"SoftphoneRefused", 19, kRefused, "5 Softphone list update failed with error message : busy", true,
                  false},
        UsageCase{"SoftphoneEmpty", 19, "", "2 Update softphone response is empty", false, false},
        UsageCase{"SoftphoneMalformed", 19, "nope", "", true, false},
        UsageCase{"SoftphoneNetwork", 19, "!", "5 network down", true, false},
        UsageCase{"UserAccepted", 21, kAccepted, "3 Response: " + kAccepted, false, true},
        UsageCase{"UserStatusFalse", 21, kStatusFalse, "3 Response: " + kStatusFalse, false, false},
        UsageCase{"UserEmpty", 21, "", "3 Update user details Response is Empty", false, false}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

TEST(CallDurationTest, FileIsDeletedOnlyAfterTheServerAccepted) {
  ExecutorHarness h;
  const std::string file = ::testing::TempDir() + "call-duration-\xC3\xA9.json";
  std::ofstream(file) << "calls";
  const std::string message = R"({"FileInfo":")" + file + R"(","CallData":{"Calls":[{"Seconds":42}]}})";
  auto exists = [&] { return std::ifstream(file).good(); };

  for (const std::string& answer : {kRefused, kStatusFalse, std::string(), std::string("{bad")}) {
    h.transport->Answer(CALL_DURATION_REQ, answer);
    h.Push(CALL_DURATION_REQ, message);
    ASSERT_TRUE(h.Settle());
    EXPECT_TRUE(exists()) << "kept after answer: " << answer;
  }
  EXPECT_EQ(h.logger->FirstStartingWith("Call duration update failed with error message : busy").level, 5);
  EXPECT_EQ(h.logger->FirstStartingWith("Update call duration Response is empty").level, 2);
  EXPECT_EQ(h.transport->CallsOf(CALL_DURATION_REQ).at(0).body, R"({"Calls":[{"Seconds":42}]})");

  h.transport->Answer(CALL_DURATION_REQ,
                      R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponseFromServer":true})");
  h.Push(CALL_DURATION_REQ, message);
  ASSERT_TRUE(h.Settle());
  EXPECT_FALSE(exists());
  EXPECT_EQ(h.logger->FirstStartingWith("callDuration File deleted after sending it to the server").level, 2);
  EXPECT_EQ(h.logger->FirstStartingWith("Call duration successfully sent to server").level, 2);

  // Without "FileInfo" nothing is sent.
  const auto sent = h.transport->CountOf(CALL_DURATION_REQ);
  h.Push(CALL_DURATION_REQ, R"({"CallData":{}})");
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CountOf(CALL_DURATION_REQ), sent);
  std::remove(file.c_str());
}

}  // namespace
