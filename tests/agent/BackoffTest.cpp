#include "Backoff.h"

#include <gtest/gtest.h>

#include <cmath>

using zelvan::fennic::agent::Backoff;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

struct BackoffCase {
  const char* name;
  int intervalS;
  int failures;     // consecutive failures, the last one measured
  double draw;      // the random value of every draw
  int retryAfterS;  // of the last failure
  long long expectedMs;
};

class BackoffTest : public ::testing::TestWithParam<BackoffCase> {};

TEST_P(BackoffTest, DelayAfterFailures) {
  const BackoffCase& c = GetParam();
  Backoff backoff(seconds(c.intervalS), seconds(3600), [&] { return c.draw; });
  milliseconds delay{};
  for (int i = 1; i <= c.failures; ++i) delay = backoff.Failed(i == c.failures ? seconds(c.retryAfterS) : seconds(0));
  EXPECT_EQ(delay.count(), c.expectedMs);
  // A success brings back the plain interval and the doubling starts again.
  EXPECT_EQ(backoff.Succeeded(), seconds(c.intervalS));
  EXPECT_EQ(backoff.Failed(seconds(0)), milliseconds(std::llround(c.intervalS * 2000 * (0.8 + 0.4 * c.draw))));
}

const BackoffCase kCases[] = {
    {"ThirdFailureEightfold", 60, 3, 0.5, 0, 480000},
    {"CappedAtOneHour", 60, 7, 0.5, 0, 3600000},
    {"ManyFailuresStayCapped", 60, 500, 0.5, 0, 3600000},
    {"JitterLowestIsEightyPercent", 60, 1, 0.0, 0, 96000},
    {"JitterHighIsAbove", 60, 2, 0.75, 0, 264000},
    {"JitterAppliesAtTheCap", 600, 9, 0.0, 0, 2880000},
    {"RetryAfterShorterIgnored", 60, 2, 0.5, 30, 240000},
    // A longer Retry-After is never cut short, and is spread above itself.
    {"RetryAfterLongerIsAFloor", 60, 1, 0.0, 600, 600000},
    {"RetryAfterLongerSpreadAboveIt", 60, 1, 0.75, 600, 690000},
    // Neither the jitter nor the server's Retry-After outlasts the cap.
    {"JitterNeverPassesTheCap", 60, 9, 0.999, 0, 3600000},
    {"RetryAfterLongerThanTheCapCapped", 60, 1, 0.5, 7200, 3600000},
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
