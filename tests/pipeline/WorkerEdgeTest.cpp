// Whatever is thrown on the worker (by a handler, or by the host's transport,
// listener or logger) and how a stop meets a worker stuck in a request.
#include <gtest/gtest.h>

#include <cpprest/http_msg.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "AgentException.h"
#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

constexpr const char* kLoop = "CRestExecutor::ExecuteRestCall";

// Throws from the transport while a type-28 query is handled; its answer
// otherwise raises event 19.
template <class E>
std::function<void(ExecutorHarness&)> TransportThrows(E error) {
  return [error](ExecutorHarness& h) {
    h.transport->OnRequest(TRANSPORT_QUERY_REQ, [error](const std::string&) -> std::string { throw error; });
  };
}
template <class E>
std::function<void(ExecutorHarness&)> ListenerThrowsOn(int code, E error) {
  return [code, error](ExecutorHarness& h) {
    h.listener.SetReaction([code, error](const fennic_test::Event& e) {
      if (e.code == code) throw error;
    });
  };
}

struct ThrowCase {
  const char* label;
  std::function<void(ExecutorHarness&)> arm;
  const char* line;    // written once, level 5
  const char* events;  // in order; 4 (and 16) when the failure was reported
  bool leaving;        // the "Leaving request type" line was written
};

class WorkerEdgeTest : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(WorkerEdgeTest, CaughtOnceAndTheWorkerGoesOn) {
  const ThrowCase& c = GetParam();
  ExecutorHarness h;
  h.executor->SetClientState(1);
  h.transport->AnswerAlways(TRANSPORT_QUERY_REQ, "answered");
  c.arm(h);
  h.Push(TRANSPORT_QUERY_REQ);
  h.Push(CLIENT_FORWARD_REQ, "after");
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CallsOf(CLIENT_FORWARD_REQ).size(), 1u) << "the worker goes on";
  EXPECT_EQ(h.logger->Count(c.line, kLoop), 1);
  EXPECT_EQ(h.logger->FirstStartingWith(c.line).level, 5);
  const std::string events = h.listener.CodeList();
  EXPECT_EQ(events, c.events) << "type 28 is no update check: never event 9";
  EXPECT_EQ(h.logger->Has("Rest Executor HBState is: 1"), events.find('4') != std::string::npos);
  EXPECT_EQ(h.logger->Has("Leaving request type : 28"), c.leaving);
  h.Shutdown();
  EXPECT_EQ(h.logger->Count("Rest call thread Exited", kLoop), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Throwers, WorkerEdgeTest,
    ::testing::Values(
        // What a handler leaves by is caught by the dispatcher, by kind; type 28 is no
        // update check, so its failure ends none (no event 4), a network one is alerted (16).
        ThrowCase{"HttpException", TransportThrows(web::http::http_exception("http down")), "http down", "16", false},
        ThrowCase{"AgentException", TransportThrows(AgentException("agent failed")), "agent failed", "", false},
        ThrowCase{"BadException", TransportThrows(std::bad_exception()), "std::bad_exception", "", false},
        ThrowCase{"JsonException", TransportThrows(web::json::json_exception("bad member")), "bad member", "", false},
        ThrowCase{"SystemError",
                  TransportThrows(std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                                    "locked")),
                  "locked: Resource deadlock avoided", "", false},
        ThrowCase{"NotAnException", TransportThrows(42), "Unknown exception", "", false},
        // The host's listener and logger, inside the dispatch and outside it.
        ThrowCase{"ListenerThrows", ListenerThrowsOn(19, std::runtime_error("listener failed")), "listener failed",
                  "19", false},
        ThrowCase{"ListenerThrowsInsideTheCatchClause",
                  [](ExecutorHarness& h) {
                    TransportThrows(web::http::http_exception("transport failed"))(h);
                    ListenerThrowsOn(16, std::runtime_error("failed on 16"))(h);
                  },
                  "Caught at the worker's edge, the worker goes on: failed on 16", "16", false},
        ThrowCase{"LoggerThrowsOnTheLeavingLine",
                  [](ExecutorHarness& h) { h.logger->ThrowOn("Leaving request type : 28"); }, "logger failed", "19",
                  true},
        // Outside the dispatch: the message stays queued and is taken again.
        ThrowCase{"LoggerThrowsWhileTakingAMessage",
                  [](ExecutorHarness& h) { h.logger->ThrowOn("Got new message(s), msgQueue size: 2"); },
                  "Caught at the worker's edge, the worker goes on: logger failed", "19", true}),
    [](const ::testing::TestParamInfo<ThrowCase>& info) { return std::string(info.param.label); });

// The parameter: a second host thread is in StopWorker while the drain runs.
class BoundedDrainTest : public ::testing::TestWithParam<bool> {};

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
  if (GetParam()) {
    stopper = std::async(std::launch::async, [&] { h.executor->StopWorker(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(h.executor->DrainQueue(std::chrono::milliseconds(200)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1700));
  EXPECT_TRUE(h.config->ReadJsonFile("PendingAcks.dat").is_null()) << "nothing taken under the handler";
  auto done = std::async(std::launch::async, [&] { h.Shutdown(); });
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "Shutdown joins the handler";
  release = true;
  done.get();
  if (stopper.valid()) stopper.get();
  EXPECT_EQ(h.recordingProcessor->Calls().back(), "ReleaseQueue");
  const auto kept = h.config->ReadJsonFile("PendingAcks.dat");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept.at(0).at("Data").as_string(), "queued ack");
  EXPECT_EQ(h.transport->CallsOf(DOWNLOAD_STATUS_REQ).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stops, BoundedDrainTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "StopWorkerOnAnotherThread" : "DrainAlone");
});

}  // namespace
