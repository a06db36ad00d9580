#pragma once

#include <cstdint>
#include <random>

#include "Backoff.h"
#include "ModeHost.h"

namespace zelvan::fennic::agent {

// Heart beats on loop timers: the first after a random spread, later ones at
// the tenant's interval, failed ones backed off. Registers first whenever
// there is no token or the server asks for a new registration; a server that
// asks again before a heart beat was accepted is backed off like a failure.
// Every path shares the one back-off and its count of failures. Nothing
// wakes the loop between two heart beats.
class HeartBeatSchedule {
 public:
  // `seed` draws the first wait and the jitter; a harness fixes it.
  explicit HeartBeatSchedule(ModeHost& host, std::uint32_t seed = std::random_device{}());
  ~HeartBeatSchedule();
  void Begin();
  // Cancels the pending timer and beats now (the control command).
  void BeatNow();

 private:
  enum class Waiting { Nothing, Registration, HeartBeat };
  void Beat();
  void Register();
  void Schedule(Backoff::Duration delay);
  void Arm();
  void OnEvent(int code, const std::string& text);
  void RegistrationAsked();
  void Outcome(bool ok);

  ModeHost& host_;
  std::mt19937 random_;
  Backoff backoff_;
  Waiting waiting_ = Waiting::Nothing;
  std::uint64_t next_ = 0;
  std::uint64_t bound_ = 0;
  bool registrationWanted_ = false;  // the server asked; the next step registers
  bool askedSinceAccepted_ = false;  // asked since the last accepted heart beat
};

}  // namespace zelvan::fennic::agent
