#include "OncePass.h"

#include "SystemdNotify.h"

namespace zelvan::fennic::agent {

namespace {

// The server may ask for a new registration (token not found, a forced
// registration, changed data settings); a server that keeps asking would
// otherwise hold the pass until its limit.
constexpr int kMaxRegistrations = 3;

}  // namespace

OncePass::OncePass(ModeHost& host, std::ostream& error) : host_(host), error_(error) {}

OncePass::~OncePass() {
  host_.CancelTimer(bound_);
}

void OncePass::Begin() {
  host_.SetMode({[this](int code, const std::string& text, const std::string&) { OnEvent(code, text); },
                 [this] {
                   Fail(step_ == Step::Registering ? "stopped during registration" : "stopped during the update check",
                        false);
                 },
                 {}});
  if (!host_.HasToken()) Register();
  else Check();
}

void OncePass::Register() {
  step_ = Step::Registering;
  ++registrations_;
  host_.Send(0, "");
  Arm();
}

void OncePass::Check() {
  step_ = Step::Checking;
  // Client state 1: the heart beat asks for all updates and the check runs
  // until its downloads drain.
  host_.Send(16, "1");
  host_.Send(1, "");
  Arm();
}

void OncePass::Arm() {
  host_.CancelTimer(bound_);
  bound_ = host_.AddTimer(host_.StepBound(), [this] {
    bound_ = 0;
    const std::string limit = std::to_string(host_.StepBound().count() / 1000) + " s";
    Fail(step_ == Step::Registering ? "no registration answer within " + limit
                                    : "update check did not finish within " + limit);
  });
}

void OncePass::OnEvent(int code, const std::string& text) {
  if (code == 2) {
    if (registrations_ < kMaxRegistrations) return Register();
    return Fail("the server asked for a new registration " + std::to_string(registrations_) + " times in a row", false);
  }
  if (step_ == Step::Registering) {
    if (code == 1) Check();
    else if (code == 0) Fail(host_.RegistrationFailure(text), false);
    return;
  }
  if (code == 4) {
    host_.CancelTimer(bound_);
    host_.Finish(0);
  } else if (code == 9 || code == 16) {
    Fail("update check failed");
  }
}

void OncePass::Fail(const std::string& what, bool withLastFailure) {
  host_.CancelTimer(bound_);
  const std::string last = withLastFailure ? host_.LastFailure() : std::string();
  error_ << JournalPriority(3) << "fennic-agent: " << what << (last.empty() ? withLastFailure ? " (see the log)" : "" : ": " + last) << "\n";
  error_.flush();
  host_.Finish(1);
}

}  // namespace zelvan::fennic::agent
