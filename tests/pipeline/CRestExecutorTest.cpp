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

TEST(CRestExecutorTest, ForwardedTransportAndUnknownTypes) {
  ExecutorHarness h;
  h.transport->Answer(TRANSPORT_QUERY_REQ, "");
  h.transport->Answer(TRANSPORT_QUERY_REQ, "value");
  const std::vector<std::pair<int, std::string>> pushed{
      {14, "[1]"}, {15, "{\"a\":\"\xC3\xA9\"}"}, {22, "{\"c\":3}"}, {26, ""}, {28, "x"}, {28, ""},
      {0, ""},     {6, ""},                          {16, ""},           {23, ""}, {29, ""},  {-4, ""}};
  for (const auto& [type, data] : pushed) h.Push(type, data);
  ASSERT_TRUE(h.Settle());
  std::string calls;
  for (const auto& c : h.transport->Calls()) calls += std::to_string(c.type) + ":" + c.body + " ";
  EXPECT_EQ(calls, "14:[1] 15:{\"a\":\"\xC3\xA9\"} 22:{\"c\":3} 28: 28: ") << "data unchanged; 28 sends no body";
  EXPECT_EQ(h.transport->TransportCommands(), 1);
  EXPECT_EQ(h.listener.CodeList(), "19") << "only the answered query raises event 19";
  EXPECT_EQ(h.listener.Events()[0].text, "");
  for (const auto& [type, data] : pushed)
    EXPECT_EQ(h.logger->Count("Leaving request type : " + std::to_string(type), kLoop), type == 28 ? 2 : 1) << type;
  for (int type : {0, 6, 16, 23, 29, -4})
    EXPECT_EQ(h.logger->Count("Unknown request type " + std::to_string(type), kLoop), 1) << type;
  EXPECT_EQ(h.logger->FirstStartingWith("Unknown request type ").level, 3);
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
    ASSERT_TRUE(h.logger->WaitFor(registered ? "Rest Message is not proceeded, Since token is empty : *** or Tenant URL or ID is empty : "
                                             : "Rest Message is not proceeded, Since token is empty :  or Tenant URL or ID is empty : https://server.test",
                                  registered ? 3 : 2));
    EXPECT_TRUE(h.transport->Calls().empty());
    // The harness loaded the stored configuration: only a stored token reaches the transport.
    EXPECT_EQ(h.transport->Tokens(), registered ? std::vector<std::wstring>{L"token-1"} : std::vector<std::wstring>{});
    EXPECT_EQ(h.transport->Endpoints().size(), 1u) << "the endpoint is set either way";
    EXPECT_EQ(h.transport->TransportCommands(), 0);
    EXPECT_FALSE(h.logger->Has("Leaving request type : 15"));
    for (const auto& text : h.logger->Texts()) EXPECT_EQ(text.find("token-1"), std::string::npos) << text;
    // SendRestMessage refuses everything but the stop message without a token.
    h.executor->SendRestMessage(HEART_BEAT_REQ);
    EXPECT_EQ(h.logger->Count("Token is Empty", "CRestExecutor::SendRestMessage"), registered ? 0 : 1);
  }
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
  h.StopWorkerForDirectCalls();
  h.DrainQueue();  // the stop message, if the worker left it
  for (int call = 0; call < 3; ++call) {
    if (call == 2) h.executor->SetGetAllUpdatesSent(false);
    h.executor->SendRestMessage(GET_ALL_UPDATES_REQ);
  }
  EXPECT_EQ(h.DrainQueue().size(), 2u);
  EXPECT_TRUE(h.executor->GetAllUpdatesSent());
  // While it is set, a host's request (with data) is dropped and a resynchronisation (without) runs.
  h.Push(GET_ALL_UPDATES_REQ, "host"), h.executor->HandleNextMessage();
  h.Push(GET_ALL_UPDATES_REQ), h.executor->HandleNextMessage();
  EXPECT_EQ(h.transport->CountOf(GET_ALL_UPDATES_REQ), 1);
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
