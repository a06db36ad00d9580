// fennic-agent: the REST library as a workstation agent.
#include <malloc.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

#include "AgentConfig.h"
#include "AgentHost.h"
#include "ControlCommand.h"
#include "ControlServer.h"
#include "HostSources.h"
#include "SystemdNotify.h"
#include "VoicePromptCommands.h"

using namespace zelvan::fennic::agent;

namespace {

const char* kUsage =
    "usage: fennic-agent [--config FILE] [--once]\n"
    "       fennic-agent ctl [--config FILE | --socket PATH] COMMAND ...   (fennic-agent ctl --help)\n"
    "Runs the device-management agent against the management server named in FILE.\n"
    "  --config FILE  JSON configuration (below; default /etc/fennic/agent.json)\n"
    "  --once         register if needed, send one heart beat, run the update check to its\n"
    "                 end and exit\n"
    "  --vp-version REQUIRED_VP DEVICE_NAME DEVICE_VERSION\n"
    "                 print the voice-prompt version the server names for a device\n"
    "  --vp-file ADDRESS  fetch one voice-prompt file and print whether it came\n"
    "  --version      the version\n"
    "  --help         this text\n"
    "Without --once the agent sends heart beats until SIGINT or SIGTERM; SIGHUP re-reads FILE\n"
    "(heart-beat, time-out and back-off members apply at once; it names the members that need\n"
    "a restart). Every listener event is printed on standard output as one line; logs go to\n"
    "standard error and to \"logFile\" when given.\n"
    "Exit codes: 0 success; 1 a server or network failure (one line names it);\n"
    "            2 a bad command line, configuration or local state.\n"
    "Configuration members:\n"
    "  \"server\": \"http://127.0.0.1:PORT\", \"tenantId\": \"...\",\n"
    "  \"heartBeatSeconds\": N (until the tenant sends its interval),\n"
    "  \"logLevel\": 0..6 (0 trace, 1 debug, 2 info, 3 warning, 4 error, 6 off),\n"
    "  \"supportedProducts\": [\"...\"],\n"
    "  optional: \"dataFolder\" (default /var/lib/fennic), \"downloadFolder\" (default /var/cache/fennic),\n"
    "  \"logFile\", \"onceTimeoutSeconds\" (default 60), \"softwareDownload\" (default true),\n"
    "  \"controlSocket\" (default agent.sock in $RUNTIME_DIRECTORY under systemd, else none),\n"
    "  \"controlGroup\" (a group whose members may use the control socket),\n"
    "  \"firstHeartBeatSpreadSeconds\" (random wait before the first heart beat, default 30),\n"
    "  \"backoffCapSeconds\" (longest wait after failed heart beats, default 3600),\n"
    "  \"backoffJitterPercent\" (spread of each back-off wait, 0 to 50, default 20),\n"
    "  \"stopDrainSeconds\" (how long a stop waits for queued requests, default 5, at most 15),\n"
    "  \"transport\": {\"routesFile\", \"caFile\", \"allowPlainHttp\", \"connectTimeoutMs\",\n"
    "                \"requestTimeoutMs\", \"downloadTimeoutMs\"}\n";

int Fail(const std::string& text, int code = 2) {
  std::cerr << JournalPriority(3) << "fennic-agent: " << text << std::endl;
  return code;
}

// What the command line asks for.
struct CommandLine {
  std::string configFile = kDefaultConfigFile;
  bool once = false;
  std::vector<std::string> voicePrompt;  // a voice-prompt command, when one is given
};

// Reads the arguments into `line`; an exit code when the program ends here
// (help, version, a bad argument).
std::optional<int> ReadCommandLine(int argc, char** argv, CommandLine& line) {
  const std::vector<std::string> args(argv, argv + argc);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (const int length = VoicePromptCommandLength(args, static_cast<std::size_t>(i))) {
      if (length < 0) return Fail(arg + " needs more arguments (see --help)");
      line.voicePrompt.assign(args.begin() + i, args.begin() + i + length);
      i += length - 1;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "fennic-agent " << FENNIC_VERSION << "\n";
      return 0;
    } else if (arg == "--once") {
      line.once = true;
    } else if (arg == "--config") {
      if (i + 1 >= argc) return Fail("--config needs a file (see --help)");
      line.configFile = argv[++i];
    } else {
      return Fail("unknown argument " + arg + " (see --help)");
    }
  }
  return std::nullopt;
}

// Starts the host and its parts, runs what the command line asks for and
// stops the host again; the exit code. The host and the sources outlive it.
int RunAgent(AgentHost& host, const AgentConfig& config, const CommandLine& line,
             std::unique_ptr<HostSources>& sources) {
  std::unique_ptr<ControlServer> control;
  int result = 0;
  try {
    host.Start();
    if (!config.controlSocket.empty()) control = std::make_unique<ControlServer>(host);
    if (line.voicePrompt.empty()) sources = PlugHostSources(host);
    // Local state that cannot be used (key file, data files, control socket,
    // services::LocalStateError among them): the agent cannot run until someone
    // fixes it.
  } catch (const std::runtime_error& e) {
    result = Fail(e.what(), 2);
  }
  if (result == 0) {
    try {
      result = !line.voicePrompt.empty() ? RunVoicePromptCommand(host, line.voicePrompt, std::cout, std::cerr)
               : line.once              ? host.RunOnce(std::cerr)
                                        : host.RunForever(std::cerr);
      // Installers started at the end of the check report before the stop.
      if (line.once && sources && !sources->Settle(host.StepBound()))
        std::cerr << "fennic-agent: installers still running at the end of the pass" << std::endl;
    } catch (const std::exception& e) {
      result = Fail(e.what(), 1);
    }
  }
  control.reset();
  if (!host.Stop(std::chrono::milliseconds(1500)))
    std::cerr << JournalPriority(4) << "fennic-agent: the worker did not stop in time; leaving anyway" << std::endl;
  host.FlushLog();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // A fixed threshold keeps the large buffers of a download or an update check
  // out of the heap, so the idle agent gives them back instead of keeping the
  // high-water mark for good.
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  if (argc > 1 && std::string(argv[1]) == "ctl") return RunControlCommand(argc - 2, argv + 2, std::cout, std::cerr);
  CommandLine line;
  if (const std::optional<int> exitCode = ReadCommandLine(argc, argv, line)) return *exitCode;

  AgentConfig config;
  try {
    config = LoadAgentConfig(line.configFile);
  } catch (const FolderError& e) {
    return Fail(e.what());
  } catch (const ConfigError& e) {
    return Fail(std::string("bad configuration: ") + e.what());
  }
  AgentHost host(config, std::cout);
  std::unique_ptr<HostSources> sources;
  const int result = RunAgent(host, config, line, sources);
  // The library's threads are gone; leave without running the destructors
  // of process-wide services that the library may still reference.
  std::cout.flush();
  std::cerr.flush();
  ::_exit(result);
}
