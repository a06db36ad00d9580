#include "SourcesConfig.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace zelvan::fennic::agent {

namespace {

using web::json::value;

[[noreturn]] void Bad(const std::string& member, const std::string& what) {
  throw std::runtime_error("member \"" + member + "\" " + what);
}

std::string Text(const value& document, const std::string& name) {
  if (!document.has_field(name)) return "";
  const value& member = document.at(name);
  if (!member.is_string() || member.as_string().empty()) Bad(name, "must be a non-empty string");
  return member.as_string();
}

std::vector<std::string> Texts(const value& document, const std::string& name) {
  std::vector<std::string> out;
  if (!document.has_field(name)) return out;
  const value& member = document.at(name);
  if (!member.is_array()) Bad(name, "must be an array of strings");
  for (const auto& item : member.as_array()) {
    if (!item.is_string() || item.as_string().empty()) Bad(name, "must be an array of strings");
    out.push_back(item.as_string());
  }
  return out;
}

InstallerConfig Installer(const value& entry) {
  if (!entry.is_object()) Bad("installers", "must be an array of objects");
  InstallerConfig installer;
  installer.product = Text(entry, "product");
  installer.command = Texts(entry, "command");
  if (installer.command.empty() || installer.command[0].empty() || installer.command[0][0] != '/')
    Bad("installers", "needs a \"command\" whose first element is an absolute program path");
  installer.deviceId = Text(entry, "deviceId");
  if (entry.has_field("timeoutSeconds")) {
    const value& t = entry.at("timeoutSeconds");
    if (!t.is_integer() || t.as_integer() < 1 || t.as_integer() > 3600)
      Bad("installers", "\"timeoutSeconds\" must be an integer from 1 to 3600");
    installer.timeoutSeconds = t.as_integer();
  }
  return installer;
}

}  // namespace

SourcesConfig ReadSourcesConfig(const value& document, const std::string& dataFolder) {
  SourcesConfig config;
  config.sessionUser = Text(document, "sessionUser");
  if (document.has_field("utmpFile")) config.utmpFile = Text(document, "utmpFile");
  for (std::string id : Texts(document, "usbVendorIds")) {
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::tolower(c); });
    if (id.size() != 4 || !std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isxdigit(c); }))
      Bad("usbVendorIds", "must hold four-digit hexadecimal vendor ids");
    config.usbVendorIds.push_back(id);
  }
  config.callDurationSpool = Text(document, "callDurationSpool");
  config.softphoneListFile = Text(document, "softphoneListFile");
  if (document.has_field("userDetails")) {
    if (!document.at("userDetails").is_object()) Bad("userDetails", "must be an object");
    config.userDetails = document.at("userDetails");
  }
  if (document.has_field("installers")) {
    if (!document.at("installers").is_array()) Bad("installers", "must be an array of objects");
    for (const auto& entry : document.at("installers").as_array()) config.installers.push_back(Installer(entry));
  }
  // The store is the transport's: its member, its default.
  if (document.has_field("transport") && document.at("transport").is_object())
    config.packageStore = Text(document.at("transport"), "packageStore");
  if (config.packageStore.empty()) config.packageStore = dataFolder + "/packages";
  return config;
}

}  // namespace zelvan::fennic::agent
