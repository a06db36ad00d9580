#include "CRestExecutor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cpprest/http_msg.h>
#include <future>
#include <system_error>
#include <thread>

#include "AgentException.h"
#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

constexpr const char* kLoop = "CRestExecutor::ExecuteRestCall";

TEST(CRestExecutorTest, ForwardedTypesReachTransportUnchanged) {
  ExecutorHarness h;
  h.transport->AnswerAlways(TRANSPORT_QUERY_REQ, "");
  h.Push(CANCEL_RECEIVED_ACK_REQ, "[1]");
  h.Push(CLIENT_FORWARD_REQ, "{\"a\":\"\xC3\xA9\"}");
  h.Push(CONFIG_ACK_REQ, "{\"c\":3}");
  h.Push(TRANSPORT_COMMAND_REQ);
  h.Push(TRANSPORT_QUERY_REQ);
  ASSERT_TRUE(h.Settle());
  const auto calls = h.transport->Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].type, 14);
  EXPECT_EQ(calls[0].body, "[1]");
  EXPECT_EQ(calls[1].body, "{\"a\":\"\xC3\xA9\"}");
  EXPECT_EQ(calls[2].type, 22);
  EXPECT_EQ(calls[3].type, 28);
  EXPECT_EQ(calls[3].body, "");
  EXPECT_EQ(h.transport->TransportCommands(), 1);
  EXPECT_EQ(h.listener.Count(19), 0) << "an empty transport answer raises no event";
  for (int type : {14, 15, 22, 26, 28})
    EXPECT_TRUE(h.logger->Has("Leaving request type : " + std::to_string(type), kLoop)) << type;
  h.transport->Answer(TRANSPORT_QUERY_REQ, "value");
  h.Push(TRANSPORT_QUERY_REQ);
  ASSERT_TRUE(h.Settle());
  ASSERT_EQ(h.listener.Codes(), std::vector<int>{19}) << "an answered transport query raises event 19";
  EXPECT_EQ(h.listener.Events()[0].text, "");
}

TEST(CRestExecutorTest, UnknownTypesAreLoggedAndSkipped) {
  ExecutorHarness h;
  for (int type : {0, 6, 16, 23, 29, -4}) h.Push(type);
  h.Push(CLIENT_FORWARD_REQ, "after");
  ASSERT_TRUE(h.Settle());
  for (int type : {0, 6, 16, 23, 29, -4}) {
    EXPECT_EQ(h.logger->Count("Unknown request type " + std::to_string(type), kLoop), 1) << type;
    EXPECT_TRUE(h.logger->Has("Leaving request type : " + std::to_string(type))) << type;
  }
  EXPECT_EQ(h.logger->FirstStartingWith("Unknown request type ").level, 3);
  ASSERT_EQ(h.transport->CallsOf(CLIENT_FORWARD_REQ).size(), 1u);
}

TEST(CRestExecutorTest, GuardNeedsATokenAndTheTenantUrlAndId) {
  for (const bool registered : {false, true}) {
    ExecutorHarness::Options options;
    options.registered = registered;
    options.tenantKnown = !registered;
    ExecutorHarness h(options);
    if (registered) h.Push(AGENT_REGISTRATION_REQ, "{}");
    h.Push(CLIENT_FORWARD_REQ, "dropped");
    h.Push(TRANSPORT_COMMAND_REQ);
    ASSERT_TRUE(h.logger->WaitFor(registered ? "Rest Message is not proceeded, Since token is empty : token-1 or Tenant URL or ID is empty : "
                                             : "Rest Message is not proceeded, Since token is empty :  or Tenant URL or ID is empty : https://server.test",
                                  registered ? 3 : 2));
    EXPECT_TRUE(h.transport->Calls().empty());
    EXPECT_EQ(h.transport->TransportCommands(), 0);
    EXPECT_FALSE(h.logger->Has("Leaving request type : 15"));
  }
  ExecutorHarness::Options options;
  options.registered = false;
  ExecutorHarness h(options);
  // SendRestMessage refuses everything but the stop message without a token.
  h.executor->SendRestMessage(HEART_BEAT_REQ);
  EXPECT_EQ(h.logger->Count("Token is Empty", "CRestExecutor::SendRestMessage"), 1);
}

TEST(CRestExecutorTest, AnUpdateCheckTheHostAskedForEndsWhenTheGuardDropsItsRequest) {
  ExecutorHarness::Options options;
  options.registered = false;  // no token yet: the guard drops the request
  ExecutorHarness h(options);
  h.executor->SetClientState(1);
  h.Push(GET_ALL_UPDATES_REQ, "host");
  ASSERT_TRUE(h.listener.WaitFor(4));
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{9, 4}));
  EXPECT_FALSE(h.executor->GetAllUpdatesSent());
  EXPECT_TRUE(h.transport->Calls().empty());
}

TEST(CRestExecutorTest, GetAllUpdatesIsQueuedOnceUntilCleared) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();  // keep what is queued in the queue
  h.DrainQueue();                // the stop message, if the worker left it
  h.executor->SendRestMessage(GET_ALL_UPDATES_REQ);
  h.executor->SendRestMessage(GET_ALL_UPDATES_REQ);
  EXPECT_TRUE(h.executor->GetAllUpdatesSent());
  h.executor->SetGetAllUpdatesSent(false);
  h.executor->SendRestMessage(GET_ALL_UPDATES_REQ);
  std::vector<int> types;
  for (const auto& m : h.DrainQueue()) types.push_back(m.getType());
  EXPECT_EQ(types, (std::vector<int>{GET_ALL_UPDATES_REQ, GET_ALL_UPDATES_REQ}));
}

// The update types in each state are tabled in UpdateCheckHandlersTest; here
// a request that is not an update check, and the one-shot event 16.
TEST(CRestExecutorTest, FailedEventsOfOtherRequestsAndTheAlertRearm) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.executor->SetClientState(1);
  h.executor->CheckForUpdateFailedEvent(true, DEVICE_SYNC_REQ);
  h.executor->CheckForUpdateFailedEvent(true, DEVICE_SYNC_REQ);
  h.executor->RearmFailureAlert(7);
  EXPECT_EQ(h.transport->TransportOptions(), std::vector<int>{7});
  h.executor->CheckForUpdateFailedEvent(true, DEVICE_SYNC_REQ);
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{4, 16, 4, 4, 16})) << "no event 9 for type 8";
  EXPECT_EQ(h.logger->Count("Rest Executor HBState is: 1"), 1);
}

TEST(CRestExecutorTest, NoMessageLostBetweenProducersAndWorker) {
  ExecutorHarness h;
  constexpr int kThreads = 4;
  constexpr int kEach = 250;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&h, t] {
      for (int i = 0; i < kEach; ++i) h.Push(CLIENT_FORWARD_REQ, std::to_string(t) + ":" + std::to_string(i));
    });
  for (auto& p : producers) p.join();
  ASSERT_TRUE(h.Settle(std::chrono::milliseconds(20000)));
  auto calls = h.transport->CallsOf(CLIENT_FORWARD_REQ);
  ASSERT_EQ(calls.size(), static_cast<size_t>(kThreads * kEach));
  // Each producer's messages arrive in the order it pushed them.
  std::vector<int> next(kThreads, 0);
  for (const auto& c : calls) {
    int t = std::stoi(c.body.substr(0, c.body.find(':')));
    int i = std::stoi(c.body.substr(c.body.find(':') + 1));
    EXPECT_EQ(i, next[t]++);
  }
}

// A host that drops the executor without Shutdown still gets its worker
// stopped and joined, promptly.
TEST(CRestExecutorTest, DestructorStopsAWorkerThatWasNotShutDown) {
  fennic_test::ServicesScope services;
  auto executor = std::make_shared<CRestExecutor>(std::make_shared<fennic_test::MemoryConfigurationManager>(),
                                                  std::make_shared<fennic_test::RecordingResponseProcessor>(),
                                                  std::make_shared<fennic_test::ScriptedTransport>());
  auto dropped = std::async(std::launch::async, [&] { executor.reset(); });
  ASSERT_EQ(dropped.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the destructor hung";
  EXPECT_EQ(services.logger->Count("Rest call thread Exited", kLoop), 1);
  RestMsgQueue::releaseInstance();
}

}  // namespace
