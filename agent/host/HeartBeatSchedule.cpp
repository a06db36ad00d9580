#include "HeartBeatSchedule.h"

#include <chrono>
#include <sstream>

namespace zelvan::fennic::agent {

namespace {

using std::chrono::milliseconds;

}  // namespace

HeartBeatSchedule::HeartBeatSchedule(ModeHost& host, std::uint32_t seed)
    : host_(host),
      random_(seed),
      backoff_(host.HeartBeatInterval(), host.Paced().backoffCap,
               [this] { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }, host.Paced().jitter) {}

HeartBeatSchedule::~HeartBeatSchedule() {
  host_.CancelTimer(next_);
  host_.CancelTimer(bound_);
}

void HeartBeatSchedule::Begin() {
  host_.SetMode({[this](int code, const std::string& text, const std::string&) { OnEvent(code, text); },
                 [this] { host_.Finish(0); }, [this] { BeatNow(); }});
  Schedule(backoff_.First(host_.Paced().firstSpread));
}

void HeartBeatSchedule::BeatNow() {
  if (waiting_ != Waiting::Nothing) return;
  host_.CancelTimer(next_);
  Beat();
}

void HeartBeatSchedule::Schedule(Backoff::Duration delay) {
  host_.CancelTimer(next_);
  next_ = host_.AddTimer(delay, [this] {
    next_ = 0;
    Beat();
  });
}

void HeartBeatSchedule::Beat() {
  if (registrationWanted_ || !host_.HasToken()) return Register();
  waiting_ = Waiting::HeartBeat;
  host_.Send(1, "");
  Arm();
}

void HeartBeatSchedule::Register() {
  registrationWanted_ = false;
  waiting_ = Waiting::Registration;
  host_.Send(0, "");
  Arm();
}

void HeartBeatSchedule::Arm() {
  // An answer that never comes counts as a failure.
  host_.CancelTimer(bound_);
  bound_ = host_.AddTimer(host_.StepBound(), [this] {
    bound_ = 0;
    Outcome(false);
  });
}

void HeartBeatSchedule::OnEvent(int code, const std::string& text) {
  if (code == 2) return RegistrationAsked();
  if (waiting_ == Waiting::Registration) {
    if (code == 1) Beat();
    else if (code == 0) {
      host_.Warn(host_.RegistrationFailure(text));
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
  host_.CancelTimer(next_);
  Register();
}

void HeartBeatSchedule::Outcome(bool ok) {
  host_.CancelTimer(bound_);
  bound_ = 0;
  waiting_ = Waiting::Nothing;
  if (ok) askedSinceAccepted_ = false;
  backoff_.SetInterval(host_.HeartBeatInterval());
  backoff_.SetCap(host_.Paced().backoffCap);
  const Backoff::Duration delay = ok ? backoff_.Succeeded() : backoff_.Failed(host_.RetryAfter());
  if (!ok) {
    std::ostringstream line;
    line << "failure " << backoff_.Failures() << " in a row; next attempt in "
         << std::chrono::duration_cast<milliseconds>(delay).count() / 1000.0 << " s";
    host_.Warn(line.str());
  }
  Schedule(delay);
}

}  // namespace zelvan::fennic::agent
