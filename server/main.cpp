// fennic-server: a local management server for the agent, on loopback.
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "ManagementServer.h"
#include "RecordReport.h"

using namespace zelvan::fennic;

namespace {

const char* kUsage =
    "usage: fennic-server --scenario FILE [--port N] [--record FILE] [--packages DIR] [--routes FILE]\n"
    "                     [--random-faults SEED[:PERCENT[:SECONDS]]]\n"
    "       fennic-server --summary RECORD | --chain RECORD\n"
    "Serves the agent's protocol on 127.0.0.1 from a scenario file until SIGINT or SIGTERM.\n"
    "  --scenario FILE  tenants, updates, configurations, cancellations, directory queries, faults\n"
    "  --port N         port to listen on; 0 (default) picks a free one\n"
    "  --record FILE    append every request received as one JSON line\n"
    "  --packages DIR   folder of the package files (overrides the scenario's)\n"
    "  --routes FILE    request routes, same format as the transport's override file\n"
    "  --random-faults SEED[:PERCENT[:SECONDS]]\n"
    "                   a random fault for PERCENT % (default 30) of the requests, drawn from SEED,\n"
    "                   for the first SECONDS (default: all the time); overrides the scenario's\n"
    "  --summary RECORD print the one-line summary of a record file and exit\n"
    "  --chain RECORD   print the requests of a record file as readable lines and exit\n"
    "The first line printed is \"listening on 127.0.0.1:PORT\".\n";

int Fail(const std::string& text) {
  std::cerr << "fennic-server: " << text << "\n";
  return 2;
}

int Report(const std::string& file, bool chain) {
  try {
    const auto records = ReadRecordFile(file);
    if (chain)
      for (const auto& line : Narrate(records)) std::cout << line << "\n";
    else
      std::cout << Summarize(records) << "\n";
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return 0;
}

// SEED[:PERCENT[:SECONDS]]
RandomFaults RandomFaultsArgument(const std::string& text) {
  RandomFaults random;
  random.percent = 30;
  std::istringstream in(text);
  std::string part;
  int field = 0;
  for (; std::getline(in, part, ':'); ++field) {
    size_t used = 0;
    const long n = std::stol(part, &used);
    if (used != part.size() || n < 0) throw std::invalid_argument("bad --random-faults");
    if (field == 0) random.seed = static_cast<unsigned>(n);
    else if (field == 1) random.percent = static_cast<int>(n);
    else if (field == 2) random.seconds = static_cast<int>(n);
  }
  if (field < 1 || field > 3 || random.percent > 100) throw std::invalid_argument("bad --random-faults");
  return random;
}

// Serves until SIGINT or SIGTERM.
int Serve(const std::string& scenarioFile, const ServerOptions& options, const std::optional<RandomFaults>& random) {
  // Block the stop signals before any thread starts so only sigwait sees them.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  try {
    Scenario scenario = Scenario::FromFile(scenarioFile);
    if (random) scenario.randomFaults = *random;
    ManagementServer server(std::move(scenario), options);
    const int port = server.Start();
    std::cout << "listening on 127.0.0.1:" << port << std::endl;
    int signal = 0;
    sigwait(&stops, &signal);
    std::cerr << "fennic-server: stopping on " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << "\n";
    server.Stop();
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  std::string scenarioFile;
  std::optional<RandomFaults> random;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&](const char* what) -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(std::string(what) + " needs a value");
      return argv[++i];
    };
    try {
      if (arg == "--help" || arg == "-h") {
        std::cout << kUsage;
        return 0;
      } else if (arg == "--scenario") {
        scenarioFile = next("--scenario");
      } else if (arg == "--port") {
        const std::string text = next("--port");
        size_t used = 0;
        options.port = std::stoi(text, &used);
        if (used != text.size() || options.port < 0 || options.port > 65535) throw std::invalid_argument("bad port");
      } else if (arg == "--record") {
        options.recordFile = next("--record");
      } else if (arg == "--packages") {
        options.packagesFolder = next("--packages");
      } else if (arg == "--routes") {
        options.routesFile = next("--routes");
      } else if (arg == "--random-faults") {
        random = RandomFaultsArgument(next("--random-faults"));
      } else if (arg == "--summary") {
        return Report(next("--summary"), false);
      } else if (arg == "--chain") {
        return Report(next("--chain"), true);
      } else {
        return Fail("unknown argument " + arg + " (see --help)");
      }
    } catch (const std::exception& e) {
      return Fail(std::string("bad arguments: ") + e.what());
    }
  }
  if (scenarioFile.empty()) return Fail("--scenario FILE is required (see --help)");

  return Serve(scenarioFile, options, random);
}
