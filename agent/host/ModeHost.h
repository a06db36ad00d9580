#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

namespace zelvan::fennic::agent {

// What a running mode (the heart-beat schedule, the once pass) needs of its
// host: timers, the library's two requests it makes, the host's reading of
// the last exchange, and how the run ends. AgentHost is the real one; the
// answer-sequence harness drives the modes through its own, on a virtual
// clock, so the host's bookkeeping meets the same sequences as the library.
class ModeHost {
 public:
  using Callback = std::function<void()>;
  using EventHandler = std::function<void(int code, const std::string& text, const std::string& payload)>;
  // The running mode's reaction to listener events and to a stop request.
  struct Mode {
    EventHandler onEvent;
    std::function<void()> onStop;
    std::function<void()> onBeatNow;  // empty: a heart beat is just queued
  };
  struct Pacing {
    std::chrono::seconds backoffCap;
    double jitter;  // a fraction of the wait
    std::chrono::seconds firstSpread;
  };

  virtual ~ModeHost() = default;

  // One-shot timers on the host's loop.
  virtual std::uint64_t AddTimer(std::chrono::milliseconds delay, Callback callback) = 0;
  virtual void CancelTimer(std::uint64_t id) = 0;
  virtual void SetMode(Mode mode) = 0;
  // Ends the run with `result`.
  virtual void Finish(int result) = 0;

  virtual bool HasToken() = 0;
  // A request to the library, as SendRequest takes it.
  virtual void Send(int code, const std::string& data) = 0;
  // One warning line of the host's own.
  virtual void Warn(const std::string& line) = 0;

  virtual Pacing Paced() const = 0;
  virtual std::chrono::seconds HeartBeatInterval() = 0;
  // Seconds of the last 429/503 answer's Retry-After; zero when none.
  virtual std::chrono::seconds RetryAfter() = 0;
  virtual std::chrono::milliseconds StepBound() const = 0;
  // One line on the last failed exchange; empty after a success.
  virtual std::string LastFailure() = 0;
  // Why the registration just ended with event 0 (whose text is `eventText`).
  virtual std::string RegistrationFailure(const std::string& eventText) = 0;
};

// The heart-beat interval in force: the tenant's "TimeInterval", once the
// server has sent a positive one, wins over the host's own `fallback`.
inline std::chrono::seconds TenantHeartBeatInterval(const std::map<std::string, std::string>& tenantDetails,
                                                    std::chrono::seconds fallback) {
  const auto it = tenantDetails.find("TimeInterval");
  const int tenant = it == tenantDetails.end() ? 0 : std::atoi(it->second.c_str());
  return tenant > 0 ? std::chrono::seconds(tenant) : fallback;
}

}  // namespace zelvan::fennic::agent
