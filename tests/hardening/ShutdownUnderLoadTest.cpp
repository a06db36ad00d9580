// Shutdown at random points of a busy run: it always returns promptly, the
// worker is joined, and nothing crashes.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;

namespace {

TEST(ShutdownUnderLoadTest, ReturnsWithinTwoSecondsAtAnyPoint) {
  std::mt19937 random(20261206);
  for (int iteration = 0; iteration < 100; ++iteration) {
    SCOPED_TRACE("iteration " + std::to_string(iteration));
    fennic_test::ExecutorHarness h;
    const int delayUs = std::uniform_int_distribution<int>(0, 400)(random);
    h.transport->OnRequest(CLIENT_FORWARD_REQ, [delayUs](const std::string&) {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
      return std::string("{}");
    });
    h.transport->AnswerAlways(TRANSPORT_QUERY_REQ, "value");
    for (int i = 0; i < 300; ++i) {
      h.Push(i % 3 == 0 ? TRANSPORT_QUERY_REQ : CLIENT_FORWARD_REQ, "{\"n\":" + std::to_string(i) + "}");
      if (i % 50 == 0) h.Push(STOP_WORKER_REQ);  // a wake-up message mid-run must not stall the stop
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 5000)(random)));
    const auto started = std::chrono::steady_clock::now();
    auto done = std::async(std::launch::async, [&h] { h.Shutdown(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(h.logger->Count("Rest call thread Exited"), 1);
  }
}

}  // namespace
