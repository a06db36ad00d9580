#pragma once

#include <chrono>
#include <functional>

namespace zelvan::fennic::agent {

// When the next heart beat is due. Failures stretch the interval
// (interval x 2^failures, but never past kMostIntervals intervals) with random
// jitter, so a fleet whose server went away does not come back to it in step;
// a server's Retry-After is a floor and may ask for longer. The cap bounds
// every wait, jitter and Retry-After included. Pure: the random draw comes
// from outside, so the delays can be checked without a clock.
class Backoff {
 public:
  using Duration = std::chrono::milliseconds;
  // Returns a value in [0, 1).
  using Random = std::function<double()>;

  // The longest wait after failures, in intervals, before jitter. A longer
  // wait saves only a request every few intervals while the server is away,
  // but keeps the agent away that much longer once it is back: with this
  // bound the fleet returns within about two intervals of the server,
  // however long the outage.
  static constexpr int kMostIntervals = 2;

  Backoff(Duration interval, Duration cap, Random random, double jitter = 0.2);

  // The first heart beat after start: a random wait from 0 to `spread`.
  Duration First(Duration spread) const;
  // After a success: the plain interval; the failure count starts again.
  Duration Succeeded();
  // After a failure; `retryAfter` is zero when the server named none.
  Duration Failed(Duration retryAfter);

  void SetInterval(Duration interval) { interval_ = interval; }
  void SetCap(Duration cap) { cap_ = cap; }
  int Failures() const { return failures_; }

 private:
  Duration interval_;
  Duration cap_;
  const Random random_;
  const double jitter_;
  int failures_ = 0;
};

}  // namespace zelvan::fennic::agent
