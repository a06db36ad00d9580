#pragma once

// The host as the running modes see it, for the answer sequences: timers on
// a virtual clock that moves only when the runner says, listener events held
// until the library's turn is over (the real host posts them to its loop),
// requests through the facade. Internal to the sequence harness.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ModeHost.h"

namespace fennic_sequence {

class VirtualHost : public zelvan::fennic::agent::ModeHost {
 public:
  using ms = std::chrono::milliseconds;
  struct Wiring {
    std::function<void(int code, const std::string& data)> send;
    std::function<bool()> hasToken;
    std::function<std::chrono::seconds()> interval;
    std::function<void(int result)> finished;
  };
  static constexpr std::chrono::seconds kStepBound{600};
  static constexpr Pacing kPacing{std::chrono::seconds(3600), 0.2, std::chrono::seconds(30)};

  explicit VirtualHost(Wiring wiring) : wiring_(std::move(wiring)) {}

  std::uint64_t AddTimer(ms delay, Callback callback) override;
  void CancelTimer(std::uint64_t id) override;
  void SetMode(Mode mode) override { mode_ = std::move(mode); }
  void Finish(int result) override;
  bool HasToken() override { return wiring_.hasToken(); }
  void Send(int code, const std::string& data) override { wiring_.send(code, data); }
  void Warn(const std::string& line) override { warnings_.push_back(line); }
  Pacing Paced() const override { return kPacing; }
  std::chrono::seconds HeartBeatInterval() override { return wiring_.interval(); }
  std::chrono::seconds RetryAfter() override { return std::chrono::seconds(0); }
  ms StepBound() const override { return kStepBound; }
  std::string LastFailure() override { return std::string(); }
  std::string RegistrationFailure(const std::string& eventText) override { return "registration failed: " + eventText; }

  // The runner's side.
  void Post(int code, const std::string& text) { posted_.emplace_back(code, text); }
  // Hands the posted events to the running mode, in order.
  void Deliver();
  // Moves the clock to the earliest timer and runs it; false when there is none.
  bool FireNext();
  // How far away the earliest timer is; empty when none is set.
  std::optional<ms> NextDue() const;
  void BeatNow();
  // A new run: no mode, no timers, no events; not finished.
  void Reset();
  bool Finished() const { return finished_; }
  int Result() const { return result_; }
  const std::vector<std::string>& Warnings() const { return warnings_; }

 private:
  Wiring wiring_;
  Mode mode_;
  ms now_{0};
  std::multimap<ms, std::pair<std::uint64_t, Callback>> timers_;
  std::uint64_t nextTimer_ = 1;
  std::deque<std::pair<int, std::string>> posted_;
  std::vector<std::string> warnings_;
  bool finished_ = false;
  int result_ = 0;
};

}  // namespace fennic_sequence
