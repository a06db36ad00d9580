#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace fennic_test {

// One run of the agent program: how it ended and what it printed.
struct AgentRun {
  int exitCode = -1;     // valid when neither signalled nor timed out
  int signal = 0;        // the signal that ended it, 0 if none
  bool timedOut = false; // killed by us after the limit
  std::string output;    // stdout and stderr, interleaved
};

// Runs `program args...` and waits at most `limit`; a run past the limit
// is killed and reported as timed out, so a hanging agent fails a test
// instead of stalling the suite.
AgentRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                    std::chrono::milliseconds limit);

}  // namespace fennic_test
