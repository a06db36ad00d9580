#pragma once

#include <cpprest/json.h>

#include <string>
#include <vector>

namespace zelvan::fennic {

// Reading the server's request record back: what the scripts and tests
// print about a run.

// One line: "demo: registered=yes heartbeats=N updates=N configs=N
// downloads=N acks=N failures=N". updates: distinct updates acknowledged;
// configs: configurations acknowledged as applied; downloads: package
// transfers served whole; acks: download acknowledgements "Success";
// failures: acknowledgements "Failed" plus refused registrations; then the
// host's requests: directory results, plugs, unplugs, inventories,
// installs (update-status reports) and installfailures (those not
// "Success"), calls, softphones, userdetails, voiceprompts, and badbodies
// (requests of any type whose body has the wrong shape).
std::string Summarize(const std::vector<web::json::value>& records);

// The chain of a run as readable lines, one per request that matters.
std::vector<std::string> Narrate(const std::vector<web::json::value>& records);

// Reads a JSON-lines record file; throws std::runtime_error.
std::vector<web::json::value> ReadRecordFile(const std::string& file);

}  // namespace zelvan::fennic
