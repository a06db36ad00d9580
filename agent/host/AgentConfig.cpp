#include "AgentConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <utility>

#include "SystemdNotify.h"

namespace zelvan::fennic::agent {

namespace {

using web::json::value;

class Reader {
 public:
  Reader(const value& document, std::string file) : document_(document), file_(std::move(file)) {}

  [[noreturn]] void Fail(const std::string& text) const { throw ConfigError(file_ + ": " + text); }

  const value& Member(const std::string& name) const {
    if (!document_.has_field(name)) Fail("missing member \"" + name + "\"");
    return document_.at(name);
  }

  std::string String(const std::string& name, bool required = true) const {
    if (!required && !document_.has_field(name)) return "";
    const value& member = Member(name);
    if (!member.is_string() || member.as_string().empty()) Fail("member \"" + name + "\" must be a non-empty string");
    return member.as_string();
  }

  int Integer(const std::string& name, int low, int high, bool required, int fallback) const {
    if (!required && !document_.has_field(name)) return fallback;
    const value& member = Member(name);
    if (!member.is_integer() || member.as_number().to_int64() < low || member.as_number().to_int64() > high)
      Fail("member \"" + name + "\" must be an integer from " + std::to_string(low) + " to " + std::to_string(high));
    return member.as_integer();
  }

  bool Boolean(const std::string& name, bool fallback) const {
    if (!document_.has_field(name)) return fallback;
    const value& member = document_.at(name);
    if (!member.is_boolean()) Fail("member \"" + name + "\" must be true or false");
    return member.as_bool();
  }

 private:
  const value& document_;
  const std::string file_;
};

void PrepareFolder(const std::string& what, const std::string& folder) {
  std::string partial;
  for (std::size_t i = 0; i <= folder.size(); ++i) {
    if ((i == folder.size() || folder[i] == '/') && !partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 &&
        errno != EEXIST)
      throw FolderError(what + " " + folder + " cannot be created: " + std::strerror(errno));
    if (i < folder.size()) partial += folder[i];
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    throw FolderError(what + " " + folder + " is not a folder");
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    throw FolderError(what + " " + folder + " is not writable: " + std::strerror(errno));
}

// Packages land here before they are checked; another user who can write
// into the folder could swap them in between.
void RefuseSharedFolder(const std::string& file, const std::string& what, const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    throw ConfigError(file + ": " + what + " " + folder + " is writable by other users; make it private (chmod go-w)");
}

value ReadDocument(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw ConfigError(file + ": cannot read the configuration file: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  std::error_code error;
  value document = value::parse(text.str(), error);
  if (error) throw ConfigError(file + ": not valid JSON: " + error.message());
  if (!document.is_object()) throw ConfigError(file + ": the configuration must be a JSON object");
  return document;
}

// What the library's services are given: the server, the tenant, the folders
// and the products, with the heart beat and logging beside them.
void ReadServiceMembers(const Reader& read, AgentConfig& config) {
  config.services.serverUrl = read.String("server");
  if (config.services.serverUrl.rfind("http://", 0) != 0 && config.services.serverUrl.rfind("https://", 0) != 0)
    read.Fail("member \"server\" must start with http:// or https://");
  config.services.tenantId = read.String("tenantId");
  config.services.dataFolder = read.String("dataFolder", false);
  if (config.services.dataFolder.empty()) config.services.dataFolder = kDefaultDataFolder;
  config.services.downloadFolder = read.String("downloadFolder", false);
  if (config.services.downloadFolder.empty()) config.services.downloadFolder = kDefaultDownloadFolder;
  config.heartBeatSeconds = read.Integer("heartBeatSeconds", 1, 86400, true, 0);
  config.logLevel = read.Integer("logLevel", 0, 6, true, 2);
  const value& products = read.Member("supportedProducts");
  if (!products.is_array()) read.Fail("member \"supportedProducts\" must be an array of strings");
  for (const auto& product : products.as_array()) {
    if (!product.is_string()) read.Fail("member \"supportedProducts\" must be an array of strings");
    config.services.supportedProducts.push_back(product.as_string());
  }
  config.logFile = read.String("logFile", false);
  config.onceTimeoutSeconds = read.Integer("onceTimeoutSeconds", 1, 3600, false, 60);
  config.services.softwareDownloadEnabled = read.Boolean("softwareDownload", true);
}

// The optional "transport" object: timeouts, limits, proxy, client identity.
void ReadTransportMembers(const value& transport, const Reader& read, const std::string& file, AgentConfig& config) {
  if (!transport.is_object()) read.Fail("member \"transport\" must be an object");
  const Reader options(transport, file + ": transport");
  config.transport.routesFile = options.String("routesFile", false);
  config.transport.caFile = options.String("caFile", false);
  config.transport.allowPlainHttp = options.Boolean("allowPlainHttp", false);
  config.transport.connectTimeout = std::chrono::milliseconds(options.Integer("connectTimeoutMs", 1, 3600000, false, 3000));
  config.transport.requestTimeout = std::chrono::milliseconds(options.Integer("requestTimeoutMs", 1, 3600000, false, 5000));
  config.transport.downloadTimeout =
      std::chrono::milliseconds(options.Integer("downloadTimeoutMs", 1, 86400000, false, 600000));
  config.transport.maxAnswerBytes = static_cast<uint64_t>(
      options.Integer("maxAnswerBytes", 1024, 1 << 30, false, static_cast<int>(kDefaultMaxAnswerBytes)));
  config.transport.proxy = options.String("proxy", false);
  config.transport.clientCertFile = options.String("clientCertFile", false);
  config.transport.clientKeyFile = options.String("clientKeyFile", false);
  config.transport.packageStoreFolder = options.String("packageStore", false);
  using Named = std::pair<const char*, const std::string&>;
  for (const auto& [name, path] : {Named{"clientCertFile", config.transport.clientCertFile},
                                   Named{"clientKeyFile", config.transport.clientKeyFile}}) {
    if (!path.empty() && ::access(path.c_str(), R_OK) != 0)
      options.Fail(std::string("member \"") + name + "\": cannot read " + path + ": " + std::strerror(errno));
  }
}

// The optional "packageSignatures" object: the publisher keys that every
// package must be signed by, and how strictly. Key files named by a
// relative path are found beside the configuration file.
void ReadSignatureMembers(const value& signatures, const Reader& read, const std::string& file, AgentConfig& config) {
  if (!signatures.is_object()) read.Fail("member \"packageSignatures\" must be an object");
  const Reader options(signatures, file + ": packageSignatures");
  PackageTrust& trust = config.transport.packageTrust;
  if (signatures.has_field("publicKeys")) {
    const value& keys = signatures.at("publicKeys");
    if (!keys.is_array()) options.Fail("member \"publicKeys\" must be an array of key file paths");
    for (const auto& entry : keys.as_array()) {
      if (!entry.is_string() || entry.as_string().empty())
        options.Fail("member \"publicKeys\" must be an array of key file paths");
      const std::filesystem::path named(entry.as_string());
      const auto path = named.is_absolute() ? named : std::filesystem::path(file).parent_path() / named;
      try {
        trust.keys.push_back(ReadMinisignKeyFile(path.string()));
      } catch (const std::runtime_error& e) {
        options.Fail(e.what());
      }
      for (std::size_t i = 0; i + 1 < trust.keys.size(); ++i)
        if (trust.keys[i].id == trust.keys.back().id)
          options.Fail("two public keys have the key id " + trust.keys.back().IdText());
    }
  }
  const std::string policy = options.String("policy", false);
  trust.policy = trust.keys.empty() ? SignaturePolicy::Off : SignaturePolicy::Require;
  if (!policy.empty() && !ParseSignaturePolicy(policy, trust.policy))
    options.Fail("member \"policy\" must be \"require\", \"verify-if-present\" or \"off\"");
  if (trust.policy != SignaturePolicy::Off && trust.keys.empty())
    options.Fail(std::string("policy \"") + SignaturePolicyName(trust.policy) + "\" needs at least one key in \"publicKeys\"");
}

// How the host itself runs: its control socket and its timers.
void ReadHostMembers(const Reader& read, AgentConfig& config) {
  config.controlSocket = read.String("controlSocket", false);
  const char* runtime = std::getenv("RUNTIME_DIRECTORY");
  if (config.controlSocket.empty() && runtime && *runtime) config.controlSocket = std::string(runtime) + "/agent.sock";
  config.controlGroup = read.String("controlGroup", false);
  config.firstHeartBeatSpreadSeconds = read.Integer("firstHeartBeatSpreadSeconds", 0, 86400, false, 30);
  config.backoffCapSeconds = read.Integer("backoffCapSeconds", 1, 86400, false, 3600);
  config.backoffJitterPercent = read.Integer("backoffJitterPercent", 0, 50, false, 20);
  // Larger values were accepted before the cap: an old configuration still
  // starts, with the cap applied and said once per reading.
  const int drain = read.Integer("stopDrainSeconds", 0, 600, false, 5);
  config.stopDrainSeconds = std::min(drain, kMaxStopDrainSeconds);
  if (drain > kMaxStopDrainSeconds)
    std::cerr << JournalPriority(4) << "fennic-agent: " << config.configFile << ": \"stopDrainSeconds\" " << drain
              << " is above the service's stop bound; using " << kMaxStopDrainSeconds << std::endl;
}

}  // namespace

AgentConfig LoadAgentConfig(const std::string& file) {
  const value document = ReadDocument(file);
  const Reader read(document, file);
  AgentConfig config;
  ReadServiceMembers(read, config);
  if (document.has_field("transport")) ReadTransportMembers(document.at("transport"), read, file, config);
  if (document.has_field("packageSignatures"))
    ReadSignatureMembers(document.at("packageSignatures"), read, file, config);
  config.transport.downloadFolder = config.services.downloadFolder;
  if (config.transport.packageStoreFolder.empty())
    config.transport.packageStoreFolder = config.services.dataFolder + "/packages";

  config.configFile = file;
  if (document.has_field("transport")) config.transportText = document.at("transport").serialize();
  ReadHostMembers(read, config);

  PrepareFolder("data folder", config.services.dataFolder);
  PrepareFolder("download folder", config.services.downloadFolder);
  RefuseSharedFolder(file, "download folder", config.services.downloadFolder);
  PrepareFolder("package store", config.transport.packageStoreFolder);

  try {
    config.sources = ReadSourcesConfig(document, config.services.dataFolder);
  } catch (const std::runtime_error& e) {
    read.Fail(e.what());
  }
  return config;
}

}  // namespace zelvan::fennic::agent
