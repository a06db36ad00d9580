#pragma once

#include <cpprest/json.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace zelvan::fennic {

// A fault the server injects into the answers of one request type
// ("3", "12", ...), of the package files ("package"), or of any request
// ("*"). Actions: "refuse" (connection dropped without an answer; after
// delayMs when given, which a client with a shorter time-out sees as a
// time-out), "delay" (answer after delayMs), "status500", "status503" (with
// Retry-After when retryAfterSeconds >= 0), "empty" (200 without a body),
// "tokenNotFound" (refused, the server asks for a new registration),
// "statusFalse" (answered, with "validateResponseStatus" false), "truncate"
// (body broken off after `bytes`, default half), "malformed" (not JSON). `skip` matching
// requests pass first; then `times` of them (-1: all) get the fault. A fault
// counts only the requests that the faults listed before it let through.
struct Fault {
  std::string target;
  std::string action;
  int skip = 0;
  int times = 1;
  int delayMs = 0;
  int64_t bytes = -1;
  int retryAfterSeconds = -1;
};

// Faults drawn at random: each request that no listed fault takes gets one
// of `actions` with `percent` % odds, from a generator seeded with `seed`,
// for the first `seconds` after the server starts (0: always).
struct RandomFaults {
  unsigned seed = 0;
  int percent = 0;
  int seconds = 0;
  std::vector<std::string> actions{"refuse", "status500", "status503", "empty", "statusFalse", "truncate",
                                   "malformed"};
};

struct ScenarioTenant {
  std::string id;
  std::string name;
  std::string token;
  std::string registration = "accept";  // "accept" or "refuse"
  std::string errorMessage = "Registration refused";
};

// What the local management server knows and does, read from a JSON file:
//   {"tenants": [{"id", "name", "token", "registration", "errorMessage"}],
//    "heartbeat": {extra members of every heart-beat answer body},
//    "updates": [update descriptions; "package" names the file served,
//                "checksum" is "good" (default), "wrong" or "none"],
//    "configurations": [configuration descriptions],
//    "cancellations": {"updates": [...], "configs": [...]},
//    "directoryQueries": [{"ADSelectQuery": ..., "expect": "Valid"|"InValid"|"NA"}],
//    "refuse": ["4", "20", ...] (request types answered with a refusal),
//    "faults": [...], "randomFaults": {"seed", "percent", "seconds", "actions"},
//    "packagesFolder": "dir", "voicePromptVersion": "v"}
// Missing members of update descriptions get plain defaults.
struct Scenario {
  std::vector<ScenarioTenant> tenants;
  web::json::value heartbeat = web::json::value::object();
  std::vector<web::json::value> updates;
  std::vector<web::json::value> configurations;
  std::vector<web::json::value> cancelledUpdates;
  std::vector<web::json::value> cancelledConfigs;
  std::vector<web::json::value> directoryQueries;
  std::vector<std::string> directoryExpect;  // per query; empty: anything
  std::set<std::string> refused;
  std::vector<Fault> faults;
  RandomFaults randomFaults;
  std::string packagesFolder;  // relative folders are taken from the scenario's folder
  std::string voicePromptVersion = "1.0.0";

  // Throw std::runtime_error naming the problem.
  static Scenario FromJson(const web::json::value& doc, const std::string& baseFolder);
  static Scenario FromFile(const std::string& path);
};

}  // namespace zelvan::fennic
