#include "Backoff.h"

#include <algorithm>
#include <cmath>

namespace zelvan::fennic::agent {

Backoff::Backoff(Duration interval, Duration cap, Random random, double jitter)
    : interval_(interval), cap_(cap), random_(std::move(random)), jitter_(jitter) {}

Backoff::Duration Backoff::First(Duration spread) const {
  return Duration(std::llround(static_cast<double>(spread.count()) * random_()));
}

Backoff::Duration Backoff::Succeeded() {
  failures_ = 0;
  return interval_;
}

Backoff::Duration Backoff::Failed(Duration retryAfter) {
  ++failures_;
  // Doubling stops at the ceiling (or the cap, if lower); the exponent never
  // overflows.
  const double cap = static_cast<double>(cap_.count());
  const double interval = static_cast<double>(interval_.count());
  const double ceiling = std::min(interval * kMostIntervals, cap);
  double base = interval;
  for (int i = 0; i < failures_ && base < ceiling; ++i) base *= 2;
  // Jitter first, then the cap: no wait is ever longer than the cap, the
  // server's Retry-After included.
  const double draw = random_();
  const double factor = 1.0 + jitter_ * (2.0 * draw - 1.0);
  // A server's Retry-After is a floor, spread above itself: a fleet told the
  // same value would otherwise come back in the same second.
  const double asked = static_cast<double>(retryAfter.count()) * (1.0 + jitter_ * draw);
  const double wait = std::max(std::min(base, ceiling) * factor, asked);
  return Duration(std::llround(std::min(wait, cap)));
}

}  // namespace zelvan::fennic::agent
