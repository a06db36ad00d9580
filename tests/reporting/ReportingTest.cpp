#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

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

struct ReportCase {
  const char* name;
  int type;
  std::string answer;      // "!" : transport failure
  std::string line;        // "level text" of the outcome line; "level @where" for the JSON library's own text
  bool dispatcherFailure;  // the dispatcher logged and reported the failure
  bool seen;               // the server is marked as seen
  bool event13 = false;
};

class ReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportTest, SendsHostTextAndLogsOutcome) {
  const ReportCase& c = GetParam();
  ExecutorHarness h;
  Script(h, c.type, c.answer);
  const std::string body = "{\"Name\":\"Ren\xC3\xA9" "e \xE5\xBC\xA0\"}";
  h.Push(c.type, body);
  ASSERT_TRUE(h.Settle());
  ASSERT_EQ(h.transport->CallsOf(c.type).size(), 1u);
  EXPECT_EQ(h.transport->CallsOf(c.type)[0].body, body) << "byte for byte";
  const std::string level = c.line.substr(0, c.line.find(' ')), text = c.line.substr(c.line.find(' ') + 1);
  bool found = false;
  for (const auto& l : h.logger->Lines())
    found |= std::to_string(l.level) == level &&
             (text[0] == '@' ? l.where.rfind(text.substr(1), 0) == 0 : l.text == text);
  EXPECT_TRUE(found) << c.line;
  EXPECT_EQ(h.logger->Has("Leaving request type : " + std::to_string(c.type)), !c.dispatcherFailure);
  // A report's failure ends no update check.
  EXPECT_EQ(h.logger->Has("Request type " + std::to_string(c.type) + " failed; the update check goes on"), c.dispatcherFailure);
  EXPECT_FALSE(h.logger->Has("Rest Executor HBState is: 0"));
  EXPECT_EQ(!h.executor->GetLastSeenOfServer().empty(), c.seen);
  EXPECT_EQ(h.listener.Count(13), c.event13 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReportTest,
    ::testing::Values(
        ReportCase{"PlugAccepted", 4, kAccepted, "2 Device plugin successful", false, true},
        ReportCase{"UnplugRefused", 5, kRefused, "2 Device UnPlug failed with error message : busy", false, false},
        ReportCase{"PlugEmpty", 4, "", "2 Device plugin Response is empty", false, false},
        ReportCase{"PlugStatusFalse", 4, kStatusFalse, "5 Response is false", false, false},
        ReportCase{"UnplugMalformed", 5, "{\"validateResponseStatus\":", "5 @CRestExecutor::ManageDevice", false, false},
        ReportCase{"PlugNetwork", 4, "!", "5 network down", true, false},
        ReportCase{"SyncAccepted", 8, kAccepted, "2 Device Sync Successful", false, true},
        ReportCase{"SyncRefused", 8, kRefused, "2 Device sync failed with error message busy", false, false},
        ReportCase{"SyncEmpty", 8, "", "2 Device sync Response is empty", false, false},
        // The same refusal the plug handler absorbs reaches the dispatcher here.
        ReportCase{"SyncStatusFalse", 8, kStatusFalse, "5 Response is false", true, false},
        // Usage reports never mark the server as seen.
        ReportCase{"SoftphoneAccepted", 19, kAccepted, "2 Softphone list successfully sent to server", false, false},
        ReportCase{"SoftphoneRefused", 19, kRefused, "5 Softphone list update failed with error message : busy", true,
                   false},
        ReportCase{"SoftphoneEmpty", 19, "", "2 Update softphone response is empty", false, false},
        ReportCase{"SoftphoneMalformed", 19, "nope", "5 @CRestExecutor::ExecuteRestCall", true, false},
        ReportCase{"UserAccepted", 21, kAccepted, "3 Response: " + kAccepted, false, false, true},
        ReportCase{"UserStatusFalse", 21, kStatusFalse, "3 Response: " + kStatusFalse, false, false},
        ReportCase{"UserEmpty", 21, "", "3 Update user details Response is Empty", false, false}),
    [](const ::testing::TestParamInfo<ReportCase>& info) { return info.param.name; });

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

  // An empty folder under the file's name is not the host's file: it stays.
  ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
  h.transport->Answer(CALL_DURATION_REQ,
                      R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponseFromServer":true})");
  h.Push(CALL_DURATION_REQ, message);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(::rmdir(file.c_str()), 0) << "the folder was kept";
  EXPECT_TRUE(h.logger->Has("callDuration File is not deleted"));

  const auto sent = h.transport->CountOf(CALL_DURATION_REQ);
  h.Push(CALL_DURATION_REQ, R"({"CallData":{}})");
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CountOf(CALL_DURATION_REQ), sent);
  std::remove(file.c_str());
}

}  // namespace
