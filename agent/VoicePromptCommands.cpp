#include "VoicePromptCommands.h"

#include <sys/stat.h>

#include "AgentHost.h"
#include "IQLClient.h"
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
  host.Client().DownloadVPfile(command[1]);
  const std::string& address = command[1];
  const std::string path =
      host.Config().services.downloadFolder + "/" + address.substr(address.find_last_of('/') + 1);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error << "fennic-agent: voice-prompt file " << address << " not fetched (see the log)\n";
    return 1;
  }
  out << "voice-prompt file: " << path << "\n";
  return 0;
}

}  // namespace zelvan::fennic::agent
