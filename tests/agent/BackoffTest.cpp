#include "Backoff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using zelvan::fennic::agent::Backoff;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

struct BackoffCase {
  const char* name;
  int intervalS;
  int capS;         // the configured cap
  int failures;     // consecutive failures, the last one measured
  double draw;      // the random value of every draw
  int retryAfterS;  // of the last failure
  long long expectedMs;
};

class BackoffTest : public ::testing::TestWithParam<BackoffCase> {};

TEST_P(BackoffTest, DelayAfterFailures) {
  const BackoffCase& c = GetParam();
  Backoff backoff(seconds(c.intervalS), seconds(c.capS), [&] { return c.draw; });
  milliseconds delay{};
  for (int i = 1; i <= c.failures; ++i) delay = backoff.Failed(i == c.failures ? seconds(c.retryAfterS) : seconds(0));
  EXPECT_EQ(delay.count(), c.expectedMs);
  EXPECT_EQ(backoff.Failures(), c.failures);
  // A success brings back the plain interval and the count starts again;
  // the next failure waits like a first one.
  EXPECT_EQ(backoff.Succeeded(), seconds(c.intervalS));
  EXPECT_EQ(backoff.Failures(), 0);
  const long long firstBase = std::min(c.capS, 2 * c.intervalS) * 1000LL;
  EXPECT_EQ(backoff.Failed(seconds(0)),
            milliseconds(std::min(c.capS * 1000LL, std::llround(firstBase * (0.8 + 0.4 * c.draw)))));
  EXPECT_EQ(backoff.Failures(), 1);
}

// Interval, cap, failures, draw, Retry-After (seconds) -> the last wait (ms).
const BackoffCase kCases[] = {
    // The first failure waits two intervals, and so does every later one:
    // however long the outage, an agent is back within about two intervals.
    {"FirstFailureTwoIntervals", 60, 3600, 1, 0.5, 0, 120000},
    {"SecondFailureStaysAtTwoIntervals", 60, 3600, 2, 0.5, 0, 120000},
    {"ThirdFailureStaysAtTwoIntervals", 60, 3600, 3, 0.5, 0, 120000},
    {"HourOfFailuresStaysAtTwoIntervals", 20, 3600, 90, 0.5, 0, 40000},
    {"ManyFailuresStayAtTwoIntervals", 60, 3600, 500, 0.5, 0, 120000},
    {"OneSecondIntervalTwoSeconds", 1, 3600, 2, 0.5, 0, 2000},
    // Jitter spreads the two intervals by 20 % either way.
    {"JitterLowestIsEightyPercent", 60, 3600, 1, 0.0, 0, 96000},
    {"JitterLowestAfterMany", 20, 3600, 9, 0.0, 0, 32000},
    {"JitterHighIsAbove", 60, 3600, 2, 0.75, 0, 132000},
    {"JitterHighestAfterMany", 20, 3600, 9, 0.999, 0, 47984},
    // A cap below two intervals bounds the wait; jitter applies beneath it.
    {"JitterAppliesAtTheCap", 600, 1000, 9, 0.0, 0, 800000},
    {"LongIntervalCappedAtOneHour", 3600, 3600, 1, 0.5, 0, 3600000},
    {"CapBelowOneInterval", 60, 30, 1, 0.0, 0, 24000},
    {"RetryAfterShorterIgnored", 60, 3600, 2, 0.5, 30, 120000},
    // A longer Retry-After is never cut short, and is spread above itself.
    {"RetryAfterLongerIsAFloor", 60, 3600, 1, 0.0, 600, 600000},
    {"RetryAfterLongerSpreadAboveIt", 60, 3600, 1, 0.75, 600, 690000},
    {"RetryAfterPassesTheTwoIntervals", 20, 3600, 9, 0.5, 300, 330000},
    // Neither the jitter nor the server's Retry-After outlasts the cap.
    {"JitterNeverPassesTheCap", 60, 130, 9, 0.999, 0, 130000},
    {"JitterNeverPassesTheHourCap", 3000, 3600, 9, 0.999, 0, 3600000},
    {"RetryAfterLongerThanTheCapCapped", 60, 3600, 1, 0.5, 7200, 3600000},
};

INSTANTIATE_TEST_SUITE_P(Table, BackoffTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BackoffFirstTest, FirstHeartBeatSpreadOverTheWindow) {
  const std::pair<double, long long> draws[] = {{0.0, 0}, {0.5, 15000}, {0.999, 29970}, {0.25, 7500}};
  for (const auto& [draw, expected] : draws) {
    const Backoff backoff(seconds(60), seconds(3600), [draw = draw] { return draw; });
    EXPECT_EQ(backoff.First(seconds(30)).count(), expected) << draw;
    EXPECT_EQ(backoff.First(seconds(0)).count(), 0) << draw;
  }
}

}  // namespace
