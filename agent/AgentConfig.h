#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "FileConfigurationManager.h"
#include "HttpRestClient.h"
#include "SourcesConfig.h"

namespace zelvan::fennic::agent {

// One readable line naming what is wrong with the configuration.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The host's configuration file, a JSON object:
//   "server"            string, http(s) address of the management server
//   "tenantId"          string, not empty
//   "dataFolder"        string, created when missing, must be writable
//   "downloadFolder"    string, created when missing, must be writable
//   "heartBeatSeconds"  positive integer, used until the tenant sends "TimeInterval"
//   "logLevel"          integer 0..6 (0 trace, 1 debug, 2 info, 3 warning, 4 error, 6 off)
//   "supportedProducts" array of strings
// optional:
//   "logFile"           string, rotating log file
//   "onceTimeoutSeconds" positive integer, bound of each --once wait (default 60)
//   "softwareDownload"  boolean (default true)
//   "transport"         object: "routesFile", "caFile" (strings), "allowPlainHttp" (boolean),
//                       "connectTimeoutMs", "requestTimeoutMs", "downloadTimeoutMs" (positive integers)
struct AgentConfig {
  services::ServiceSettings services;
  HttpTransportOptions transport;
  int heartBeatSeconds = 0;
  int logLevel = 2;
  std::string logFile;
  int onceTimeoutSeconds = 60;

  // The host's sources: see SourcesConfig.h for their members.
  SourcesConfig sources;
};

// Throws ConfigError for a missing or unreadable file, bad JSON, a missing
// or mistyped member, or a folder that cannot be created or written.
AgentConfig LoadAgentConfig(const std::string& file);

}  // namespace zelvan::fennic::agent
