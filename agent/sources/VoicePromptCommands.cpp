#include "VoicePromptCommands.h"

#include "AgentHost.h"
#include <fennic/IQLClient.h>
#include "TextConversion.h"

namespace zelvan::fennic::agent {

int VoicePromptCommandLength(const std::vector<std::string>& args, std::size_t at) {
  const std::size_t need = args[at] == "--vp-version" ? 4 : args[at] == "--vp-file" ? 2 : 0;
  if (need == 0) return 0;
  return at + need <= args.size() ? static_cast<int>(need) : -1;
}

int RunVoicePromptCommand(AgentHost& host, const std::vector<std::string>& command, std::ostream& out,
                          std::ostream& error) {
  if (command[0] == "--vp-version") {
    const std::string version =
        host.Client().RequestVoicePromptVersion(ToWide(command[1]), command[2], command[3]);
    if (version.empty()) {
      error << "fennic-agent: the server named no voice-prompt version for " << command[2] << " " << command[3]
            << "\n";
      return 1;
    }
    out << "voice-prompt version: " << version << "\n";
    return 0;
  }
  // The library removes the file once fetched and returns nothing; the
  // transport's last failure tells whether the exchange went through.
  host.Client().DownloadVPfile(command[1]);
  const std::string failure = host.LastFailure();
  if (!failure.empty()) {
    error << "fennic-agent: voice-prompt file " << command[1] << " not fetched: " << failure << "\n";
    return 1;
  }
  out << "voice-prompt file fetched: " << command[1] << "\n";
  return 0;
}

}  // namespace zelvan::fennic::agent
