// What the host's code throws on the worker (its listener, its logger, its
// transport) and how a stop meets a worker stuck in a request.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

constexpr const char* kLoop = "CRestExecutor::ExecuteRestCall";

struct EdgeCase {
  const char* label;
  std::function<void(ExecutorHarness&)> arm;  // makes host code throw
  const char* line;                           // written once, level 5
};

class WorkerEdgeTest : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(WorkerEdgeTest, CatchesHostCodeOnceAndGoesOn) {
  const EdgeCase& c = GetParam();
  ExecutorHarness h;
  h.transport->AnswerAlways(TRANSPORT_QUERY_REQ, "answered");  // raises event 19
  c.arm(h);
  h.Push(TRANSPORT_QUERY_REQ);
  h.Push(CLIENT_FORWARD_REQ, "after");
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CallsOf(CLIENT_FORWARD_REQ).size(), 1u) << "the worker goes on";
  EXPECT_EQ(h.logger->Count(c.line, kLoop), 1);
  EXPECT_EQ(h.logger->FirstStartingWith(c.line).level, 5);
  h.Shutdown();
  EXPECT_EQ(h.logger->Count("Rest call thread Exited", kLoop), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Throwers, WorkerEdgeTest,
    ::testing::Values(
        EdgeCase{"ListenerThrowsAnException",
                 [](ExecutorHarness& h) {
                   h.listener.SetReaction([](const fennic_test::Event& e) {
                     if (e.code == 19) throw std::runtime_error("listener failed");
                   });
                 },
                 "listener failed"},  // caught by the dispatcher, as any handler failure
        EdgeCase{"ListenerThrowsANonException",
                 [](ExecutorHarness& h) {
                   h.listener.SetReaction([](const fennic_test::Event& e) {
                     if (e.code == 19) throw 42;
                   });
                 },
                 "Unknown exception"},
        // The dispatcher's own catch clause raises event 4, which throws again.
        EdgeCase{"ListenerThrowsInsideTheCatchClause",
                 [](ExecutorHarness& h) {
                   h.transport->OnRequest(TRANSPORT_QUERY_REQ, [](const std::string&) -> std::string {
                     throw std::runtime_error("transport failed");
                   });
                   h.listener.SetReaction([](const fennic_test::Event& e) {
                     if (e.code == 4) throw std::runtime_error("listener failed on 4");
                   });
                 },
                 "Caught at the worker's edge, the worker goes on: listener failed on 4"},
        EdgeCase{"LoggerThrowsOnTheLeavingLine",
                 [](ExecutorHarness& h) { h.logger->ThrowOn("Leaving request type : 28"); }, "logger failed"},
        // Outside the dispatch: the message stays queued and is taken again.
        EdgeCase{"LoggerThrowsWhileTakingAMessage",
                 [](ExecutorHarness& h) { h.logger->ThrowOn("Got new message(s), msgQueue size: 2"); },
                 "Caught at the worker's edge, the worker goes on: logger failed"}),
    [](const ::testing::TestParamInfo<EdgeCase>& info) { return std::string(info.param.label); });

struct StopCase {
  const char* label;
  bool otherThreadStops;  // a second host thread is in StopWorker while the drain runs
};

class BoundedDrainTest : public ::testing::TestWithParam<StopCase> {};

// A worker stuck in a request: the drain returns within its bound plus one
// second, takes nothing from the queue while the handler runs, and what is
// queued is kept once Shutdown has joined the worker.
TEST_P(BoundedDrainTest, NeverWaitsForAStuckWorkerNorTakesUnderIt) {
  ExecutorHarness h;
  std::promise<void> entered;
  std::atomic<bool> release{false};
  h.transport->OnRequest(CLIENT_FORWARD_REQ, [&](const std::string&) -> std::string {
    entered.set_value();
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return "";
  });
  h.Push(CLIENT_FORWARD_REQ, "stuck");
  h.Push(DOWNLOAD_STATUS_REQ, "queued ack");
  entered.get_future().wait();
  std::future<void> stopper;
  if (GetParam().otherThreadStops) {
    stopper = std::async(std::launch::async, [&] { h.executor->StopWorker(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(h.executor->DrainQueue(std::chrono::milliseconds(200)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1700));
  EXPECT_TRUE(h.config->ReadJsonFile("PendingAcks.dat").is_null()) << "nothing taken under the handler";
  release = true;
  if (stopper.valid()) stopper.get();
  h.Shutdown();
  const auto kept = h.config->ReadJsonFile("PendingAcks.dat");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept.at(0).at("Data").as_string(), "queued ack");
  EXPECT_EQ(h.transport->CallsOf(DOWNLOAD_STATUS_REQ).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stops, BoundedDrainTest,
                         ::testing::Values(StopCase{"DrainAlone", false}, StopCase{"StopWorkerOnAnotherThread", true}),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.label); });

}  // namespace
