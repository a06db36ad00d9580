#include "HeartBeatSchedule.h"

#include <chrono>
#include <iostream>

#include "SystemdNotify.h"

namespace zelvan::fennic::agent {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

}  // namespace

HeartBeatSchedule::HeartBeatSchedule(AgentHost& host)
    : host_(host),
      random_(std::random_device{}()),
      backoff_(host.HeartBeatInterval(), seconds(host.Config().backoffCapSeconds),
               [this] { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); },
               host.Config().backoffJitterPercent / 100.0) {}

HeartBeatSchedule::~HeartBeatSchedule() {
  host_.Loop().CancelTimer(next_);
  host_.Loop().CancelTimer(bound_);
}

void HeartBeatSchedule::Begin() {
  host_.SetMode({[this](int code, const std::string& text, const std::string&) { OnEvent(code, text); },
                 [this] { host_.Finish(0); }, [this] { BeatNow(); }});
  Schedule(backoff_.First(seconds(host_.Config().firstHeartBeatSpreadSeconds)));
}

void HeartBeatSchedule::BeatNow() {
  if (waiting_ != Waiting::Nothing) return;
  host_.Loop().CancelTimer(next_);
  Beat();
}

void HeartBeatSchedule::Schedule(Backoff::Duration delay) {
  host_.Loop().CancelTimer(next_);
  next_ = host_.Loop().AddTimer(EventLoop::Clock::now() + delay, [this] {
    next_ = 0;
    Beat();
  });
}

void HeartBeatSchedule::Beat() {
  if (registrationWanted_ || host_.Executor().GetToken().empty()) return Register();
  waiting_ = Waiting::HeartBeat;
  host_.Client().SendRequest(1, "");
  Arm();
}

void HeartBeatSchedule::Register() {
  registrationWanted_ = false;
  waiting_ = Waiting::Registration;
  host_.Client().SendRequest(0, "");
  Arm();
}

void HeartBeatSchedule::Arm() {
  // An answer that never comes counts as a failure.
  host_.Loop().CancelTimer(bound_);
  bound_ = host_.Loop().AddTimer(EventLoop::Clock::now() + host_.StepBound(), [this] {
    bound_ = 0;
    Outcome(false);
  });
}

void HeartBeatSchedule::OnEvent(int code, const std::string& text) {
  if (code == 2) return RegistrationAsked();
  if (waiting_ == Waiting::Registration) {
    if (code == 1) Beat();
    else if (code == 0) {
      std::cerr << JournalPriority(4) << "fennic-agent: " << host_.RegistrationFailure(text)
                << std::endl;
      Outcome(false);
    }
  } else if (waiting_ == Waiting::HeartBeat) {
    // Only the heart beat's own outcome counts: accepted (6) or failed (7).
    // The end of an update check (4, 9) may belong to a request queued
    // before this heart beat, a download still running, say.
    if (code == 6) Outcome(true);
    else if (code == 7) Outcome(false);
  }
}

void HeartBeatSchedule::RegistrationAsked() {
  registrationWanted_ = true;
  // A failed step's back-off is running: its next attempt registers.
  if (waiting_ == Waiting::Nothing && backoff_.Failures() > 0) return;
  // Asked again before any heart beat was accepted: a server that keeps
  // asking is a failing one, and waits like one.
  if (askedSinceAccepted_) return Outcome(false);
  askedSinceAccepted_ = true;
  host_.Loop().CancelTimer(next_);
  Register();
}

void HeartBeatSchedule::Outcome(bool ok) {
  host_.Loop().CancelTimer(bound_);
  bound_ = 0;
  waiting_ = Waiting::Nothing;
  if (ok) askedSinceAccepted_ = false;
  backoff_.SetInterval(host_.HeartBeatInterval());
  backoff_.SetCap(seconds(host_.Config().backoffCapSeconds));
  const Backoff::Duration delay = ok ? backoff_.Succeeded() : backoff_.Failed(host_.RetryAfter());
  if (!ok)
    std::cerr << JournalPriority(4) << "fennic-agent: failure " << backoff_.Failures() << " in a row; next attempt in "
              << std::chrono::duration_cast<milliseconds>(delay).count() / 1000.0 << " s" << std::endl;
  Schedule(delay);
}

}  // namespace zelvan::fennic::agent
