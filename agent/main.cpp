// fennic-agent: the REST library as a workstation agent.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <thread>

#include "AgentConfig.h"
#include "AgentHost.h"

using namespace zelvan::fennic::agent;

namespace {

const char* kUsage =
    "usage: fennic-agent --config FILE [--once]\n"
    "Runs the device-management agent against the management server named in FILE.\n"
    "  --config FILE  JSON configuration (below)\n"
    "  --once         register if needed, send one heart beat, run the update check to its\n"
    "                 end and exit: 0 on success, 1 with a message on failure\n"
    "  --help         this text\n"
    "Without --once the agent sends heart beats until SIGINT or SIGTERM.\n"
    "Every listener event is printed on standard output as one line; logs go to standard error\n"
    "and to \"logFile\" when given.\n"
    "Configuration members:\n"
    "  \"server\": \"http://127.0.0.1:PORT\", \"tenantId\": \"...\",\n"
    "  \"dataFolder\": \"...\", \"downloadFolder\": \"...\" (created when missing, must be writable),\n"
    "  \"heartBeatSeconds\": N (until the tenant sends its interval),\n"
    "  \"logLevel\": 0..6 (0 trace, 1 debug, 2 info, 3 warning, 4 error, 6 off),\n"
    "  \"supportedProducts\": [\"...\"],\n"
    "  optional: \"logFile\", \"onceTimeoutSeconds\" (default 60), \"softwareDownload\" (default true),\n"
    "  \"transport\": {\"routesFile\", \"caFile\", \"allowPlainHttp\", \"connectTimeoutMs\",\n"
    "                \"requestTimeoutMs\", \"downloadTimeoutMs\"}\n";

int Fail(const std::string& text, int code = 2) {
  std::cerr << "fennic-agent: " << text << std::endl;
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configFile;
  bool once = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--once") {
      once = true;
    } else if (arg == "--config") {
      if (i + 1 >= argc) return Fail("--config needs a file (see --help)");
      configFile = argv[++i];
    } else {
      return Fail("unknown argument " + arg + " (see --help)");
    }
  }
  if (configFile.empty()) return Fail("--config FILE is required (see --help)");

  AgentConfig config;
  try {
    config = LoadAgentConfig(configFile);
  } catch (const ConfigError& e) {
    return Fail(std::string("bad configuration: ") + e.what());
  }

  // Block the stop signals before any thread starts, so only the waiter
  // below receives them.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  AgentHost host(config, std::cout);
  std::thread([&host, stops] {
    int signal = 0;
    sigwait(&stops, &signal);
    std::cerr << "fennic-agent: stopping on " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
    host.RequestStop();
  }).detach();

  int result = 0;
  try {
    host.Start();
    result = once ? host.RunOnce(std::cerr) : host.RunForever(std::cerr);
  } catch (const std::exception& e) {
    result = Fail(e.what(), 1);
  }
  if (!host.Stop(std::chrono::milliseconds(1500)))
    std::cerr << "fennic-agent: the worker did not stop in time; leaving anyway" << std::endl;
  host.FlushLog();
  // The library's threads are gone; leave without running the destructors
  // of process-wide services that the library may still reference.
  std::cout.flush();
  std::cerr.flush();
  ::_exit(result);
}
