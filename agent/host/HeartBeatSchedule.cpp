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
               [this] { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }) {}

HeartBeatSchedule::~HeartBeatSchedule() {
  host_.Loop().CancelTimer(next_);
  host_.Loop().CancelTimer(bound_);
}

void HeartBeatSchedule::Begin() {
  host_.SetMode({[this](int code, const std::string&, const std::string&) { OnEvent(code); },
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
  if (host_.Executor().GetToken().empty()) return Register();
  waiting_ = Waiting::HeartBeat;
  host_.Client().SendRequest(1, "");
  Arm();
}

void HeartBeatSchedule::Register() {
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

void HeartBeatSchedule::OnEvent(int code) {
  if (code == 2) {
    // The server asks for a new registration, between heart beats or after one.
    host_.Loop().CancelTimer(next_);
    return Register();
  }
  if (waiting_ == Waiting::Registration) {
    if (code == 1) Beat();
    else if (code == 0) Outcome(false);
  } else if (waiting_ == Waiting::HeartBeat) {
    if (code == 6) Outcome(true);
    else if (code == 7 || code == 9) Outcome(false);
  }
}

void HeartBeatSchedule::Outcome(bool ok) {
  host_.Loop().CancelTimer(bound_);
  bound_ = 0;
  waiting_ = Waiting::Nothing;
  backoff_.SetInterval(host_.HeartBeatInterval());
  backoff_.SetCap(seconds(host_.Config().backoffCapSeconds));
  const Backoff::Duration delay = ok ? backoff_.Succeeded() : backoff_.Failed(host_.RetryAfter());
  if (!ok)
    std::cerr << JournalPriority(4) << "fennic-agent: failure " << backoff_.Failures() << " in a row; next attempt in "
              << std::chrono::duration_cast<milliseconds>(delay).count() / 1000.0 << " s" << std::endl;
  Schedule(delay);
}

}  // namespace zelvan::fennic::agent
