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
  // Doubling stops once past the cap; the exponent never overflows.
  double base = static_cast<double>(interval_.count());
  for (int i = 0; i < failures_ && base < static_cast<double>(cap_.count()); ++i) base *= 2;
  base = std::min(base, static_cast<double>(cap_.count()));
  const double factor = 1.0 + jitter_ * (2.0 * random_() - 1.0);
  const Duration jittered(std::llround(base * factor));
  return std::max(jittered, retryAfter);
}

}  // namespace zelvan::fennic::agent
