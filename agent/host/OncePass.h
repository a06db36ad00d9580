#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "ModeHost.h"

namespace zelvan::fennic::agent {

// --once as steps driven by listener events: registration when there is no
// token, then one heart beat that runs the whole update check. Each step is
// bounded; a final failure ends the pass at once with one line naming what
// was awaited and the last failed exchange.
class OncePass {
 public:
  OncePass(ModeHost& host, std::ostream& error);
  ~OncePass();
  void Begin();

 private:
  enum class Step { Registering, Checking };
  void Register();
  void Check();
  void Arm();
  void OnEvent(int code, const std::string& text);
  void Fail(const std::string& what, bool withLastFailure = true);

  ModeHost& host_;
  std::ostream& error_;
  Step step_ = Step::Checking;
  int registrations_ = 0;
  std::uint64_t bound_ = 0;
};

}  // namespace zelvan::fennic::agent
