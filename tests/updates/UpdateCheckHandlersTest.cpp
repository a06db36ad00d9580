// The update-check handlers (get updates 9, cancellations 13, full list 24)
// in each client state, with and without news, against each kind of answer,
// through the worker's own dispatch: the events in order, what is queued
// next, and the client state and full-list flag left behind.
#include <gtest/gtest.h>

#include <cpprest/http_msg.h>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

enum Answer { kEmpty, kFailure, kAccepted };  // none, a transport failure, an accepted answer

struct CheckCase {
  const char* label;
  int type;
  int state;      // client state before
  bool news;      // 9: a download pending; 13: "HasUpdates" set
  bool flag;      // the full-list flag before
  Answer answer;
  const char* events, *queued;  // events raised; types queued for the next step
  int stateAfter;
  bool flagAfter;
};

class UpdateCheckHandlersTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(UpdateCheckHandlersTest, EndOrGoOnAsTabled) {
  const CheckCase& c = GetParam();
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.DrainQueue();
  h.executor->SetClientState(c.state);
  h.recordingProcessor->pendingDownloads = c.type == GET_UPDATES_REQ && c.news ? 1 : 0;
  h.executor->SetFlags(false, c.type == CANCEL_UPDATE_REQ && c.news, true);
  h.executor->SetGetAllUpdatesSent(c.flag);
  if (c.answer == kFailure) h.transport->FailWithHttpError(c.type);
  if (c.answer == kAccepted) h.transport->Answer(c.type, R"({"Updates":[]})");
  h.Push(c.type);
  h.executor->HandleNextMessage();  // the worker's turn, on this thread
  EXPECT_EQ(h.listener.CodeList(), c.events);
  std::string queued;
  for (const auto& m : h.DrainQueue()) queued += (queued.empty() ? "" : ",") + std::to_string(m.getType());
  EXPECT_EQ(queued, c.queued);
  EXPECT_EQ(h.executor->ClientState(), c.stateAfter);
  EXPECT_EQ(h.executor->GetAllUpdatesSent(), c.flagAfter);
  EXPECT_FALSE(c.type == CANCEL_UPDATE_REQ && c.answer == kAccepted && h.executor->HasCancelUpdates());
  if (c.answer == kEmpty && c.type != GET_ALL_UPDATES_REQ) {
    const char* line = c.type == GET_UPDATES_REQ ? "GetUpdates Response is Empty" : "GetCancelUpdates Response is Empty";
    EXPECT_EQ(h.logger->FirstStartingWith(line).level, 3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, UpdateCheckHandlersTest,
    ::testing::Values(
        // Get updates: an empty or failed answer ends the check, event 9 only in state 1.
        CheckCase{"Updates_Idle_Empty", 9, 0, false, false, kEmpty, "4", "", 0, false},
        CheckCase{"Updates_Checking_Empty", 9, 1, false, false, kEmpty, "9,4", "", 0, false},
        CheckCase{"Updates_Registered_Empty", 9, 3, false, false, kEmpty, "4", "", 0, false},
        CheckCase{"Updates_Idle_Failure", 9, 0, false, false, kFailure, "4,16", "", 0, false},
        CheckCase{"Updates_Checking_Failure", 9, 1, false, false, kFailure, "9,4,16", "", 0, false},
        // No download pending: states 1 and 3 (the first run) ask for the full list, 0 ends.
        CheckCase{"Updates_Idle_NoNews", 9, 0, false, false, kAccepted, "4,5", "", 0, false},
        CheckCase{"Updates_Checking_NoNews", 9, 1, false, false, kAccepted, "5", "24", 1, true},
        CheckCase{"Updates_Registered_NoNews", 9, 3, false, false, kAccepted, "5", "24", 3, true},
        // A download pending: the download handler ends the check later.
        CheckCase{"Updates_Checking_News", 9, 1, true, false, kAccepted, "5", "", 1, false},
        CheckCase{"Updates_Registered_News", 9, 3, true, false, kAccepted, "5", "", 3, false},
        // Cancellations: a failure is reported by the handler and again by the dispatcher.
        CheckCase{"Cancels_Idle_Empty", 13, 0, false, false, kEmpty, "4", "", 0, false},
        CheckCase{"Cancels_Checking_Empty", 13, 1, false, false, kEmpty, "9,4", "", 0, false},
        CheckCase{"Cancels_Idle_Failure", 13, 0, false, false, kFailure, "4,16,4", "", 0, false},
        CheckCase{"Cancels_Checking_Failure", 13, 1, false, false, kFailure, "9,4,16,4", "", 0, false},
        CheckCase{"Cancels_Checking_NoNews", 13, 1, false, false, kAccepted, "8,4,5", "", 0, false},
        CheckCase{"Cancels_Checking_News", 13, 1, true, false, kAccepted, "8", "9", 1, false},
        CheckCase{"Cancels_Idle_News", 13, 0, true, false, kAccepted, "8", "9", 0, false},
        // Full list: every answer clears the flag, so a later check can end.
        CheckCase{"FullList_Checking_Empty", 24, 1, false, true, kEmpty, "9,4", "", 0, false},
        CheckCase{"FullList_Checking_Failure", 24, 1, false, true, kFailure, "9,4,16", "", 0, false},
        CheckCase{"FullList_Checking_Accepted", 24, 1, false, true, kAccepted, "5", "", 1, false},
        // While a full list is outstanding a failed get-updates does not end the check.
        CheckCase{"Updates_Checking_EmptyWhileFullListOutstanding", 9, 1, false, true, kEmpty, "9", "", 1, true}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.label); });

}  // namespace
