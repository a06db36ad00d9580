#pragma once

#include <ostream>

namespace zelvan::fennic::agent {

// `fennic-agent ctl ...`: sends one request to a running agent's control
// socket and prints its answer. Returns 0 on success, 1 when there is no
// agent, it refused the request or an awaited event did not come, 2 for a
// bad command line.
int RunControlCommand(int argc, char** argv, std::ostream& out, std::ostream& error);

}  // namespace zelvan::fennic::agent
