#pragma once

#include <cpprest/json.h>

#include <string>
#include <vector>

namespace zelvan::fennic::agent {

// One installer: run for a verified package whose product (or update type)
// matches. The package path and the device id are appended to `command`.
struct InstallerConfig {
  std::string product;  // matches the package's product folder; empty: any
  std::vector<std::string> command;
  int timeoutSeconds = 60;
  std::string deviceId;  // the device the package is for
};

// What the host's sources read from the configuration file; every member is
// optional and a missing one switches its source off.
struct SourcesConfig {
  std::string sessionUser;              // "sessionUser"
  std::string utmpFile = "/var/run/utmp";  // "utmpFile", the login records read without logind
  std::vector<std::string> usbVendorIds;  // "usbVendorIds", lower-case hex ("046d")
  std::string callDurationSpool;        // "callDurationSpool", a folder
  std::string softphoneListFile;        // "softphoneListFile", a JSON file
  web::json::value userDetails = web::json::value::object();  // "userDetails", extra members
  std::vector<InstallerConfig> installers;  // "installers"
  std::string packageStore;  // the transport's "packageStore", default <dataFolder>/packages
};

// Reads the members above from the configuration document; throws
// std::runtime_error naming the member that is wrong.
SourcesConfig ReadSourcesConfig(const web::json::value& document, const std::string& dataFolder);

}  // namespace zelvan::fennic::agent
