#pragma once

#include <stdexcept>
#include <string>

namespace zelvan::fennic::services {

// Local state the agent cannot run with (an unusable key file): not a
// server's fault and not data corruption. what() names the file and what is
// wrong with it; a host stops with a non-zero exit on it.
class LocalStateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace zelvan::fennic::services
