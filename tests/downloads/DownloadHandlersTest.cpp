#include <cpprest/http_msg.h>
#include <gtest/gtest.h>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

struct HandlerCase {
  const char* name;
  int type;  // DOWNLOAD_FILES or DOWNLOAD_STATUS_REQ
  std::string answer;
  std::string origin;  // data of the message
  int clientState;
  int pending;  // downloads still listed after the answer
  std::vector<int> events;
  std::vector<int> queued;
  std::vector<std::string> processorCalls;  // besides GetPendingDownloadCount
  std::vector<std::string> lines;           // "level text" under the handler's where, in order
};

class DownloadHandlerTest : public ::testing::TestWithParam<HandlerCase> {};

TEST_P(DownloadHandlerTest, AnswerLeadsToTheTabledEffects) {
  const HandlerCase& c = GetParam();
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.DrainQueue();
  h.executor->SetClientState(c.clientState);
  h.recordingProcessor->pendingDownloads = c.pending;
  h.transport->Answer(c.type, c.answer);
  RestMessage message = fennic_test::Message(c.type, c.origin);
  message.setTarget(L"https://s/pkg/f5.bin");
  message.setDownloadKey("5_1");
  if (c.type == DOWNLOAD_FILES)
    h.executor->ManageDownloadFiles(message);
  else
    h.executor->ManageDownloadStatus(message);

  EXPECT_EQ(h.transport->CallsOf(c.type).at(0).body,
            c.type == DOWNLOAD_FILES ? R"({"DownloadUrl":"https://s/pkg/f5.bin"})" : c.origin);
  EXPECT_EQ(h.listener.Codes(), c.events);
  std::vector<int> queued;
  for (const auto& m : h.DrainQueue()) queued.push_back(m.getType());
  EXPECT_EQ(queued, c.queued);
  std::vector<std::string> calls;
  for (const auto& call : h.recordingProcessor->Calls())
    if (call != "GetPendingDownloadCount" && call != "SetEventListener") calls.push_back(call);
  EXPECT_EQ(calls, c.processorCalls);
  const std::string where = c.type == DOWNLOAD_FILES ? "CRestExecutor::ManageDownloadFiles"
                                                     : "CRestExecutor::ManageDownloadStatus";
  std::vector<std::string> lines;
  for (const auto& line : h.logger->Lines())
    if (line.where == where) lines.push_back(std::to_string(line.level) + " " + line.text);
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(h.executor->GetLastSeenOfServer().empty(), c.lines.empty() || c.lines.back().find("successfully") == std::string::npos);
}

const std::string kOk = R"({"StatusCode":200})";
const std::string kHandled = "HandleDownloadResponse:" + kOk + "|https://s/pkg/f5.bin|5_1|";
std::vector<std::string> FileLines(const std::string& answer, bool drained) {
  std::vector<std::string> lines = {"2 DOWNLOAD_FILES", "0 https://s/pkg/f5.bin",
                                    R"(2 Download File Request: {"DownloadUrl":"https://s/pkg/f5.bin"})"};
  if (answer.empty())
    return {lines[0], lines[1], lines[2], "2 Download Files Response is empty", "2 Added for sonar codesmell"};
  lines.push_back("2 Download File Response: " + answer);
  lines.push_back("2 Process download response for scheduler ID: 5_1");
  if (drained) lines.push_back("2 Added for sonar codesmell");
  return lines;
}
const std::string kAccepted = R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true})";
const std::string kRefused = R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":false})";

INSTANTIATE_TEST_SUITE_P(
    Handlers, DownloadHandlerTest,
    ::testing::Values(
        // No answer fails the entry like an unusable one, so the list drains and the check goes on.
        HandlerCase{"FilesEmptyAnswer", DOWNLOAD_FILES, "", "9", 1, 0, {}, {GET_ALL_UPDATES_REQ},
                    {"HandleDownloadResponse:|https://s/pkg/f5.bin|5_1|9"}, FileLines("", true)},
        // The last download of an update check that asked for updates asks for all.
        HandlerCase{"FilesDrainedOrigin9State1", DOWNLOAD_FILES, kOk, "9", 1, 0, {10}, {GET_ALL_UPDATES_REQ},
                    {kHandled + "9"}, FileLines(kOk, true)},
        HandlerCase{"FilesDrainedOrigin9State3", DOWNLOAD_FILES, kOk, "9", 3, 0, {10}, {GET_ALL_UPDATES_REQ},
                    {kHandled + "9"}, FileLines(kOk, true)},
        HandlerCase{"FilesDrainedOrigin9State0", DOWNLOAD_FILES, kOk, "9", 0, 0, {10, 4}, {}, {kHandled + "9"},
                    FileLines(kOk, true)},
        HandlerCase{"FilesDrainedOrigin24State1", DOWNLOAD_FILES, kOk, "24", 1, 0, {10, 4}, {}, {kHandled + "24"},
                    FileLines(kOk, true)},
        HandlerCase{"FilesStillPending", DOWNLOAD_FILES, kOk, "9", 1, 2, {10}, {}, {kHandled + "9"},
                    FileLines(kOk, false)},
        HandlerCase{"StatusEmptyAnswer", DOWNLOAD_STATUS_REQ, "", "[1]", 0, 0, {}, {}, {},
                    {"2 Device Download status Response is empty"}},
        HandlerCase{"StatusAccepted", DOWNLOAD_STATUS_REQ, kAccepted, "[2]", 0, 0, {}, {}, {},
                    {"2 Download Acknowledge Response: " + kAccepted, "2 Download Status has been received successfully"}},
        HandlerCase{"StatusRefused", DOWNLOAD_STATUS_REQ, kRefused, "[3]", 0, 0, {}, {}, {},
                    {"2 Download Acknowledge Response: " + kRefused}}),
    [](const ::testing::TestParamInfo<HandlerCase>& info) { return std::string(info.param.name); });

TEST(DownloadHandlerFailureTest, NoAnswerAtAllFailsTheEntryAndLeavesTheFailureToTheWorker) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.transport->FailWithHttpError(DOWNLOAD_FILES, "connection reset");
  RestMessage message = fennic_test::Message(DOWNLOAD_FILES, "9");
  message.setTarget(L"https://s/pkg/f5.bin");
  message.setDownloadKey("5_1");
  EXPECT_THROW(h.executor->ManageDownloadFiles(message), web::http::http_exception);
  std::vector<std::string> calls;
  for (const auto& call : h.recordingProcessor->Calls())
    if (call.rfind("HandleDownloadResponse", 0) == 0) calls.push_back(call);
  EXPECT_EQ(calls, std::vector<std::string>{"HandleDownloadResponse:|https://s/pkg/f5.bin|5_1|9"});
}

}  // namespace
