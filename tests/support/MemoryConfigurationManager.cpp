#include "support/MemoryConfigurationManager.h"

#include "AgentException.h"
#include "TextConversion.h"

using zelvan::fennic::AgentException;
using zelvan::fennic::WideRecord;

namespace fennic_test {

MemoryConfigurationManager::MemoryConfigurationManager()
    : userRecord(8, L"user"),
      machineRecord(11, L"machine"),
      agentIdentity{L"agent-1", L"1.0.0", L"fennic"},
      userDetails(web::json::value::parse(R"({"UserName":"tester"})")),
      machineDetails(web::json::value::parse(R"({"HostName":"ws-01"})")),
      agentDetails(web::json::value::parse(R"({"AgentID":"agent-1","AgentVersion":"1.0.0"})")),
      registrationAgentDetails(web::json::value::parse(R"({"AgentVersion":"1.0.0"})")) {
  silentUpdates[0] = web::json::value::array();
  silentUpdates[1] = web::json::value::array();
}

void MemoryConfigurationManager::ThrowOn(const std::string& operation, int code, const std::string& message) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  throws_[operation] = {code, message};
}

void MemoryConfigurationManager::ClearThrows() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  throws_.clear();
}

std::vector<std::string> MemoryConfigurationManager::Operations() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return operations_;
}

int MemoryConfigurationManager::CountOf(const std::string& operation) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  int n = 0;
  for (const auto& op : operations_)
    if (op == operation) ++n;
  return n;
}

// REQUIRES: lock_ held.
void MemoryConfigurationManager::Enter(const char* operation) {
  if (recordOperations) operations_.push_back(operation);
  auto it = throws_.find(operation);
  if (it != throws_.end()) throw AgentException(it->second.second, it->second.first);
}

#define FENNIC_ENTER(name)                          \
  std::lock_guard<std::recursive_mutex> hold(lock_); \
  Enter(name)
// An operation that only returns a stored field.
#define FENNIC_GETTER(type, name, member)   \
  type MemoryConfigurationManager::name() { \
    FENNIC_ENTER(#name);                    \
    return member;                          \
  }

WideRecord MemoryConfigurationManager::GetUserRecord(int&) {
  FENNIC_ENTER("GetUserRecord");
  return userRecord;
}
FENNIC_GETTER(WideRecord, GetMachineRecord, machineRecord)
FENNIC_GETTER(WideRecord, GetAgentIdentity, agentIdentity)
std::wstring MemoryConfigurationManager::GetMachineDataValue(const std::wstring& key) {
  FENNIC_ENTER("GetMachineDataValue");
  auto it = machineDataValues.find(key);
  return it == machineDataValues.end() ? std::wstring() : it->second;
}
FENNIC_GETTER(std::wstring, LoadToken, token)
void MemoryConfigurationManager::SaveToken(const std::wstring& value) {
  FENNIC_ENTER("SaveToken");
  token = value;
}
FENNIC_GETTER(web::json::value, GetUserDetails, userDetails)
FENNIC_GETTER(web::json::value, GetMachineDetails, machineDetails)
FENNIC_GETTER(web::json::value, GetAgentDetails, agentDetails)
FENNIC_GETTER(web::json::value, GetRegistrationAgentDetails, registrationAgentDetails)
void MemoryConfigurationManager::SetAgentIdentity(const WideRecord& identity) {
  FENNIC_ENTER("SetAgentIdentity");
  agentIdentity = identity;
}
FENNIC_GETTER(std::string, GetLocalFirmwareServerFolder, firmwareFolder)
void MemoryConfigurationManager::WriteDataFile(const std::string& data, const std::string& path,
                                               std::shared_ptr<zelvan::fennic::IFileManager>) {
  FENNIC_ENTER("WriteDataFile");
  dataFiles[path] = data;
}
FENNIC_GETTER(std::string, GetDataFolder, dataFolder)
FENNIC_GETTER(std::vector<std::wstring>, GetSupportedProducts, supportedProducts)
void MemoryConfigurationManager::SaveDeviceInfoUrl(const std::wstring& url) {
  FENNIC_ENTER("SaveDeviceInfoUrl");
  deviceInfoUrl = url;
}
FENNIC_GETTER(std::wstring, GetDeviceInfoUrl, deviceInfoUrl)
web::json::value MemoryConfigurationManager::ReadJsonFile(const std::string& name) {
  FENNIC_ENTER("ReadJsonFile");
  auto it = jsonFiles.find(name);
  return it == jsonFiles.end() ? web::json::value::null() : it->second;
}
void MemoryConfigurationManager::WriteJsonFile(web::json::value document, const std::string& name) {
  FENNIC_ENTER("WriteJsonFile");
  jsonFiles[name] = std::move(document);
  ++jsonWrites;
}
void MemoryConfigurationManager::TenantDetailsChanged() {
  FENNIC_ENTER("TenantDetailsChanged");
  ++tenantDetailsChanged;
}
std::vector<web::json::value> MemoryConfigurationManager::GetVoicePromptDownloads(web::json::value& urlSource) {
  FENNIC_ENTER("GetVoicePromptDownloads");
  return voicePrompts ? voicePrompts(urlSource) : std::vector<web::json::value>();
}
web::json::value MemoryConfigurationManager::ReadSilentUpdates(int store) {
  FENNIC_ENTER("ReadSilentUpdates");
  return (store == 0 || store == 1) ? silentUpdates[store] : web::json::value::null();
}
void MemoryConfigurationManager::WriteSilentUpdates(web::json::value list, int store) {
  FENNIC_ENTER("WriteSilentUpdates");
  if (store == 0 || store == 1) silentUpdates[store] = std::move(list);
}
std::map<std::string, std::string> MemoryConfigurationManager::GetTenantDetails() {
  FENNIC_ENTER("GetTenantDetails");
  return tenantDetails;
}
FENNIC_GETTER(bool, IsSoftwareDownloadEnabled, softwareDownloadEnabled)
std::wstring MemoryConfigurationManager::ResolveUpdateUrl(web::json::value urlSource, const std::string& product,
                                                          const std::string&) {
  FENNIC_ENTER("ResolveUpdateUrl");
  if (resolveUrl) return resolveUrl(urlSource, product);
  // Default: a plain string, or the first "UpdatesURL" of a list of objects.
  if (urlSource.is_string()) return zelvan::fennic::ToWide(urlSource.as_string());
  if (urlSource.is_array() && urlSource.size() > 0 && urlSource.at(0).has_string_field("UpdatesURL"))
    return zelvan::fennic::ToWide(urlSource.at(0).at("UpdatesURL").as_string());
  if (urlSource.is_object() && urlSource.has_string_field("UpdatesURL"))
    return zelvan::fennic::ToWide(urlSource.at("UpdatesURL").as_string());
  return std::wstring();
}
bool MemoryConfigurationManager::ApplyDeviceConfiguration(web::json::value& settings, const std::wstring& product) {
  FENNIC_ENTER("ApplyDeviceConfiguration");
  appliedConfigurations.emplace_back(settings.serialize(), product);
  return applyConfiguration ? applyConfiguration(settings, product) : true;
}

#undef FENNIC_GETTER
#undef FENNIC_ENTER

}  // namespace fennic_test
