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

// A configured folder that cannot be used (missing and not creatable, not a
// folder, read-only): the machine's state, not a mistake in the file; its
// text names the folder and the cause.
class FolderError : public ConfigError {
 public:
  using ConfigError::ConfigError;
};

// The host's configuration file, a JSON object:
//   "server"            string, http(s) address of the management server
//   "tenantId"          string, not empty
//   "heartBeatSeconds"  positive integer, used until the tenant sends "TimeInterval"
//   "logLevel"          integer 0..6 (0 trace, 1 debug, 2 info, 3 warning, 4 error, 6 off)
//   "supportedProducts" array of strings
// optional:
//   "dataFolder"        string, created when missing, must be writable (default /var/lib/fennic)
//   "downloadFolder"    string, created when missing, must be writable (default /var/cache/fennic)
//   "logFile"           string, rotating log file
//   "onceTimeoutSeconds" positive integer, bound of each --once wait (default 60)
//   "softwareDownload"  boolean (default true)
//   "transport"         object: "routesFile", "caFile" (strings), "allowPlainHttp" (boolean),
//                       "connectTimeoutMs", "requestTimeoutMs", "downloadTimeoutMs" (positive integers),
//                       "maxAnswerBytes" (1024..2^30, longest answer body kept, default 16 MiB;
//                       packages are not limited),
//                       "proxy" (string, replaces http_proxy, https_proxy and no_proxy),
//                       "clientCertFile", "clientKeyFile" (readable PEM files),
//                       "packageStore" (string, default <dataFolder>/packages, created private)
// The download folder must not be writable by other users; created 0700.
//   "controlSocket"     string, path of the control socket (default: none, or
//                       agent.sock in $RUNTIME_DIRECTORY under the service manager)
//   "controlGroup"      string, group whose members may use the control socket
//   "firstHeartBeatSpreadSeconds" integer 0..86400, random wait before the first heart beat (default 30)
//   "backoffCapSeconds" integer, longest wait after failed heart beats (default 3600)
//   "backoffJitterPercent" integer 0 to 50, spread of each back-off wait (default 20)
//   "stopDrainSeconds"  integer 0..600, how long a stop waits for queued requests (default 5);
//                       above kMaxStopDrainSeconds it is held there, with a warning
//   "packageSignatures" object: "publicKeys" (array of minisign public key files; relative
//                       paths beside this file), "policy" ("require", the default with keys;
//                       "verify-if-present"; "off", the default without keys); re-read on reload
struct AgentConfig {
  services::ServiceSettings services;
  HttpTransportOptions transport;
  int heartBeatSeconds = 0;
  int logLevel = 2;
  std::string logFile;
  int onceTimeoutSeconds = 60;

  // Running as a service.
  std::string configFile;     // where this configuration was read from
  std::string transportText;  // the "transport" member as read, to tell a change on reload
  std::string controlSocket;
  std::string controlGroup;
  int firstHeartBeatSpreadSeconds = 30;
  int backoffCapSeconds = 3600;
  int backoffJitterPercent = 20;
  int stopDrainSeconds = 5;

  // The host's sources: see SourcesConfig.h for their members.
  SourcesConfig sources;
};

// The unit's TimeoutStopSec=20 kills an agent still stopping, and a stop
// ends within the drain plus 2 s: a longer drain would be cut off mid-way.
constexpr int kMaxStopDrainSeconds = 15;

constexpr const char* kDefaultConfigFile = "/etc/fennic/agent.json";
constexpr const char* kDefaultDataFolder = "/var/lib/fennic";
constexpr const char* kDefaultDownloadFolder = "/var/cache/fennic";

// Throws ConfigError for a missing or unreadable file, bad JSON, a missing
// or mistyped member, or a folder that cannot be created or written.
AgentConfig LoadAgentConfig(const std::string& file);

}  // namespace zelvan::fennic::agent
