#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zelvan::fennic::agent {

class AgentHost;

// The voice-prompt commands of fennic-agent, run once the library is set up:
//   --vp-version REQUIRED_VP DEVICE_NAME DEVICE_VERSION
//       asks the server which voice-prompt version the device needs and
//       prints "voice-prompt version: V" (exit 0) or that there is none (1);
//   --vp-file ADDRESS
//       fetches one voice-prompt file (the library removes it once fetched)
//       and prints "voice-prompt file fetched: ADDRESS" (exit 0), or the
//       transport's last failure (1).
// Returns how many arguments at `at` make up a command (0: not one of them,
// -1: one of them with too few arguments).
int VoicePromptCommandLength(const std::vector<std::string>& args, std::size_t at);
int RunVoicePromptCommand(AgentHost& host, const std::vector<std::string>& command, std::ostream& out,
                          std::ostream& error);

}  // namespace zelvan::fennic::agent
