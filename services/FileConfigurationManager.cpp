#include "FileConfigurationManager.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "AgentException.h"
#include "IAgentUtils.h"
#include "MachineFacts.h"
#include "PlainFileName.h"
#include "StringUtil.h"
#include "TextConversion.h"

namespace zelvan::fennic::services {

namespace {

using web::json::value;

const std::string kWhere = "FileConfigurationManager::";

std::string WithSeparator(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) folder = ".";
  if (folder.back() != '/') folder += '/';
  return folder;
}

void MakeFolders(const std::string& folder) {
  std::string partial;
  for (std::size_t i = 0; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') {
      if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
        throw AgentException("Cannot create data folder " + partial + ": " + std::generic_category().message(errno));
    }
    if (i < folder.size()) partial += folder[i];
  }
}

// A JSON member as the text the tenant details map holds.
std::string DetailText(const std::string& key, const value& member) {
  if (member.is_string()) return member.as_string();
  if (member.is_boolean()) return member.as_bool() ? "True" : "False";
  if (member.is_null()) return "";
  if (key == "AnonymizePersonalData") return member.serialize();
  return ToUtf8(StringUtil::stripQuotes(ToWide(member.serialize())));
}

std::string MemberText(const value& member) {
  if (member.is_string()) return member.as_string();
  if (member.is_null()) return "";
  return member.serialize();
}

WideRecord ToRecord(const NamedValues& values) {
  WideRecord record;
  for (const auto& entry : values) record.push_back(ToWide(entry.second));
  return record;
}

}  // namespace

FileConfigurationManager::FileConfigurationManager(ServiceSettings settings, std::shared_ptr<IEncryptDecrypt> cipher,
                                                   std::shared_ptr<ILogManager> logger)
    : settings_(std::move(settings)),
      folder_(WithSeparator(settings_.dataFolder)),
      cipher_(std::move(cipher)),
      logger_(std::move(logger)) {
  if (!cipher_) throw AgentException("The configuration manager needs a cipher");
  MakeFolders(folder_);
  SweepTemporaries();
  OpenKey();
}

void FileConfigurationManager::Log(int level, const std::string& where, const std::string& text) {
  std::shared_ptr<ILogManager> logger = logger_ ? logger_ : IAgentUtils::getLogManager();
  if (logger) logger->Log(level, kWhere + where, text);
}

web::json::value FileConfigurationManager::StateLocked() {
  value state = ReadPlainLocked(kStateFile);
  if (!state.is_object()) state = value::object();
  return state;
}

WideRecord FileConfigurationManager::IdentityLocked() {
  value state = StateLocked();
  WideRecord identity;
  if (state.has_array_field("AgentIdentity"))
    for (const auto& entry : state.at("AgentIdentity").as_array())
      identity.push_back(ToWide(entry.is_string() ? entry.as_string() : ""));
  if (identity.size() >= 3 && !identity[0].empty()) return identity;
  // First start in this data folder: the agent id is made once and kept.
  identity.resize(3);
  if (identity[0].empty()) identity[0] = ToWide(NewAgentId());
  if (identity[1].empty()) identity[1] = ToWide(settings_.agentVersion);
  if (identity[2].empty()) identity[2] = ToWide(StringUtil::setLastSeenOfServer());
  value list = value::array();
  for (std::size_t i = 0; i < identity.size(); ++i) list[i] = value::string(ToUtf8(identity[i]));
  state["AgentIdentity"] = list;
  WritePlainLocked(state, kStateFile);
  return identity;
}

std::vector<std::string> FileConfigurationManager::AnonymizedItemsLocked() {
  std::vector<std::string> items;
  const value tenant = ReadSealedLocked(kTenantFile);
  if (tenant.has_array_field("AnonymizePersonalData"))
    for (const auto& entry : tenant.at("AnonymizePersonalData").as_array())
      if (entry.is_string()) items.push_back(entry.as_string());
  return items;
}

web::json::value FileConfigurationManager::Details(const NamedValues& items) {
  const std::vector<std::string> hidden = AnonymizedItemsLocked();
  value details = value::object(true);
  for (const auto& entry : items) {
    bool hide = false;
    for (const auto& name : hidden) hide = hide || name == entry.first;
    // Hashed rather than blanked: the server can still tell users apart.
    details[entry.first] = value::string(hide ? Sha256Hex(entry.second) : entry.second);
  }
  return details;
}

WideRecord FileConfigurationManager::GetUserRecord(int& index) {
  index = 0;  // one user: the account this agent runs under
  return ToRecord(UserFacts());
}

WideRecord FileConfigurationManager::GetMachineRecord() { return ToRecord(MachineFacts()); }

WideRecord FileConfigurationManager::GetAgentIdentity() {
  std::lock_guard<std::mutex> guard(lock_);
  return IdentityLocked();
}

void FileConfigurationManager::SetAgentIdentity(const WideRecord& identity) {
  std::lock_guard<std::mutex> guard(lock_);
  WideRecord stored = identity;
  if (stored.size() < 3) stored.resize(3);
  value state = StateLocked();
  value list = value::array();
  for (std::size_t i = 0; i < stored.size(); ++i) list[i] = value::string(ToUtf8(stored[i]));
  state["AgentIdentity"] = list;
  WritePlainLocked(state, kStateFile);
}

std::wstring FileConfigurationManager::GetMachineDataValue(const std::wstring& key) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string name = ToUtf8(key);
  const value machine = ReadSealedLocked(kMachineFile);
  if (!machine.is_object()) return L"";
  if (machine.has_field(name)) return ToWide(MemberText(machine.at(name)));
  for (const char* part : {"AgentDetails", "MachineDetails"})
    if (machine.has_object_field(part) && machine.at(part).has_field(name))
      return ToWide(MemberText(machine.at(part).at(name)));
  return L"";
}

std::wstring FileConfigurationManager::LoadToken() {
  std::lock_guard<std::mutex> guard(lock_);
  const value stored = ReadSealedLocked(kTokenFile);
  if (stored.has_string_field("Token")) return ToWide(stored.at("Token").as_string());
  return L"";
}

void FileConfigurationManager::SaveToken(const std::wstring& token) {
  std::lock_guard<std::mutex> guard(lock_);
  value stored = value::object();
  stored["Token"] = value::string(ToUtf8(token));
  WriteSealedLocked(stored, kTokenFile);
}

web::json::value FileConfigurationManager::GetUserDetails() {
  std::lock_guard<std::mutex> guard(lock_);
  return Details(UserFacts());
}

web::json::value FileConfigurationManager::GetMachineDetails() {
  std::lock_guard<std::mutex> guard(lock_);
  return Details(MachineFacts());
}

web::json::value FileConfigurationManager::GetAgentDetails() {
  std::lock_guard<std::mutex> guard(lock_);
  const WideRecord identity = IdentityLocked();
  NamedValues items = {{"AgentID", ToUtf8(identity[0])}, {"AgentVersion", settings_.agentVersion}};
  for (const auto& fact : MachineFacts())
    if (fact.first == "HostName" || fact.first == "OSName" || fact.first == "OSVersion") items.push_back(fact);
  for (const auto& fact : UserFacts())
    if (fact.first == "UserName") items.push_back(fact);
  return Details(items);
}

web::json::value FileConfigurationManager::GetRegistrationAgentDetails() {
  value details = GetAgentDetails();
  std::lock_guard<std::mutex> guard(lock_);
  details["InstallTime"] = value::string(ToUtf8(IdentityLocked()[2]));
  value products = value::array();
  for (std::size_t i = 0; i < settings_.supportedProducts.size(); ++i)
    products[i] = value::string(settings_.supportedProducts[i]);
  details["SupportedProducts"] = products;
  return details;
}

std::string FileConfigurationManager::GetLocalFirmwareServerFolder() {
  return WithSeparator(settings_.downloadFolder);
}

void FileConfigurationManager::WriteDataFile(const std::string& data, const std::string& path,
                                             std::shared_ptr<IFileManager> /*fileManager*/) {
  if (path.compare(0, folder_.size(), folder_) != 0 || !IsPlainFileName(path.substr(folder_.size())))
    throw AgentException("Data file path outside the data folder: " + path);
  std::lock_guard<std::mutex> guard(lock_);
  WriteFile(path, data);
}

std::string FileConfigurationManager::GetDataFolder() { return folder_; }

std::vector<std::wstring> FileConfigurationManager::GetSupportedProducts() {
  std::vector<std::wstring> products;
  for (const auto& product : settings_.supportedProducts) products.push_back(ToWide(product));
  return products;
}

void FileConfigurationManager::SaveDeviceInfoUrl(const std::wstring& url) {
  std::lock_guard<std::mutex> guard(lock_);
  value state = StateLocked();
  state["DeviceInfoUrl"] = value::string(ToUtf8(url));
  WritePlainLocked(state, kStateFile);
}

std::wstring FileConfigurationManager::GetDeviceInfoUrl() {
  std::lock_guard<std::mutex> guard(lock_);
  const value state = StateLocked();
  if (state.has_string_field("DeviceInfoUrl")) return ToWide(state.at("DeviceInfoUrl").as_string());
  const value machine = ReadSealedLocked(kMachineFile);
  if (machine.has_string_field("DeviceInfoUrl")) return ToWide(machine.at("DeviceInfoUrl").as_string());
  return L"";
}

web::json::value FileConfigurationManager::ReadJsonFile(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  return ReadPlainLocked(name);
}

void FileConfigurationManager::WriteJsonFile(web::json::value document, const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  WritePlainLocked(document, name);
}

void FileConfigurationManager::TenantDetailsChanged() {
  // Nothing is cached: the next read of the tenant settings sees the file.
  Log(2, "TenantDetailsChanged", "Tenant settings changed");
}

std::vector<web::json::value> FileConfigurationManager::GetVoicePromptDownloads(web::json::value& urlSource) {
  std::vector<value> downloads;
  auto collect = [&downloads](const value& holder) {
    if (!holder.has_array_field("VoicePrompts")) return;
    for (const auto& entry : holder.at("VoicePrompts").as_array())
      if (entry.has_string_field("UpdatesURL")) downloads.push_back(entry);
  };
  if (urlSource.is_object()) collect(urlSource);
  if (urlSource.is_array())
    for (const auto& element : urlSource.as_array()) collect(element);
  return downloads;
}

web::json::value FileConfigurationManager::ReadSilentUpdates(int store) {
  if (store != 0 && store != 1) throw AgentException("Unknown silent-update store " + std::to_string(store));
  std::lock_guard<std::mutex> guard(lock_);
  return ReadPlainLocked(store == 0 ? kSilentFile : kFailedStatusFile);
}

void FileConfigurationManager::WriteSilentUpdates(web::json::value list, int store) {
  if (store != 0 && store != 1) throw AgentException("Unknown silent-update store " + std::to_string(store));
  std::lock_guard<std::mutex> guard(lock_);
  WritePlainLocked(list, store == 0 ? kSilentFile : kFailedStatusFile);
}

std::map<std::string, std::string> FileConfigurationManager::GetTenantDetails() {
  std::lock_guard<std::mutex> guard(lock_);
  std::map<std::string, std::string> details;
  const value tenant = ReadSealedLocked(kTenantFile);
  if (tenant.is_object())
    for (const auto& member : tenant.as_object()) details[member.first] = DetailText(member.first, member.second);
  // Before the server's first settings, the host's configuration names the
  // tenant; the server's stored values win afterwards.
  if (details["URL"].empty()) details["URL"] = settings_.serverUrl;
  if (details["TenantID"].empty()) details["TenantID"] = settings_.tenantId;
  return details;
}

bool FileConfigurationManager::IsSoftwareDownloadEnabled() { return settings_.softwareDownloadEnabled; }

std::wstring FileConfigurationManager::ResolveUpdateUrl(web::json::value urlSource, const std::string& product,
                                                        const std::string& /*extra*/) {
  if (urlSource.is_string()) return ToWide(urlSource.as_string());
  if (urlSource.is_object())
    return urlSource.has_string_field("UpdatesURL") ? ToWide(urlSource.at("UpdatesURL").as_string()) : L"";
  if (!urlSource.is_array()) return L"";
  std::wstring first;
  for (const auto& entry : urlSource.as_array()) {
    if (!entry.has_string_field("UpdatesURL")) continue;
    const std::wstring url = ToWide(entry.at("UpdatesURL").as_string());
    if (entry.has_string_field("IProduct") && entry.at("IProduct").as_string() == product) return url;
    if (first.empty()) first = url;
  }
  return first;
}

bool FileConfigurationManager::ApplyDeviceConfiguration(web::json::value& settings, const std::wstring& product) {
  std::lock_guard<std::mutex> guard(lock_);
  value applied = ReadPlainLocked(kDeviceConfigFile);
  if (!applied.is_object()) applied = value::object();
  applied[ToUtf8(product)] = settings;
  WritePlainLocked(applied, kDeviceConfigFile);
  Log(2, "ApplyDeviceConfiguration", "Device configuration stored for product " + ToUtf8(product));
  return true;
}

}  // namespace zelvan::fennic::services
