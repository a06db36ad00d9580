#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "IConfigurationManager.h"

namespace fennic_test {

// Configuration manager in memory. Every operation is recorded by name in
// Operations(); ThrowOn makes a named operation raise AgentException with a
// given code (0 asks the response processor for a resynchronisation), or, for
// a negative code, std::system_error with that errno (-ENOSPC: a full disk).
// Public fields are the stored state; lock with Lock() when another thread
// may be running.
class MemoryConfigurationManager : public zelvan::fennic::IConfigurationManager {
 public:
  MemoryConfigurationManager();

  std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock<std::recursive_mutex>(lock_); }
  void ThrowOn(const std::string& operation, int code = 3, const std::string& message = "configuration failure");
  void ClearThrows();
  std::vector<std::string> Operations();
  int CountOf(const std::string& operation);

  // Off for long runs (fuzzing, soak) so the record does not grow.
  bool recordOperations = true;

  // Stored state.
  zelvan::fennic::WideRecord agentIdentity;
  std::map<std::wstring, std::wstring> machineDataValues;
  std::wstring token;
  web::json::value userDetails;
  web::json::value machineDetails;
  web::json::value agentDetails;
  web::json::value registrationAgentDetails;
  std::string firmwareFolder = "/tmp/fennic-firmware";
  std::string dataFolder = "/data/";
  std::map<std::string, std::string> dataFiles;  // path -> content, as written
  std::vector<std::wstring> supportedProducts;
  std::wstring deviceInfoUrl;
  std::map<std::string, web::json::value> jsonFiles;
  int jsonWrites = 0;
  web::json::value silentUpdates[2];
  std::map<std::string, std::string> tenantDetails;
  // As the file store does: the tenant file the executor wrote (sealed by the
  // installed cipher) overrides `tenantDetails`, the configured values, member
  // by member where it holds a text that is not empty.
  bool tenantFileOverrides = false;
  int tenantDetailsChanged = 0;
  bool softwareDownloadEnabled = true;
  std::function<std::vector<web::json::value>(web::json::value&)> voicePrompts;
  std::function<std::wstring(web::json::value, const std::string&)> resolveUrl;
  std::function<bool(web::json::value&, const std::wstring&)> applyConfiguration;

  // IConfigurationManager. Each operation is recorded and may raise (ThrowOn).
  // Asked for only so a manager refreshes its details; nothing is read from them.
  zelvan::fennic::WideRecord GetUserRecord(int&) override { auto hold = Enter("GetUserRecord"); return {}; }
  zelvan::fennic::WideRecord GetMachineRecord() override { auto hold = Enter("GetMachineRecord"); return {}; }
  zelvan::fennic::WideRecord GetAgentIdentity() override { auto hold = Enter("GetAgentIdentity"); return agentIdentity; }
  std::wstring GetMachineDataValue(const std::wstring& key) override;
  std::wstring LoadToken() override { auto hold = Enter("LoadToken"); return token; }
  void SaveToken(const std::wstring& value) override { auto hold = Enter("SaveToken"); token = value; }
  web::json::value GetUserDetails() override { auto hold = Enter("GetUserDetails"); return userDetails; }
  web::json::value GetMachineDetails() override { auto hold = Enter("GetMachineDetails"); return machineDetails; }
  web::json::value GetAgentDetails() override { auto hold = Enter("GetAgentDetails"); return agentDetails; }
  web::json::value GetRegistrationAgentDetails() override {
    auto hold = Enter("GetRegistrationAgentDetails");
    return registrationAgentDetails;
  }
  void SetAgentIdentity(const zelvan::fennic::WideRecord& identity) override {
    auto hold = Enter("SetAgentIdentity");
    agentIdentity = identity;
  }
  std::string GetLocalFirmwareServerFolder() override {
    auto hold = Enter("GetLocalFirmwareServerFolder");
    return firmwareFolder;
  }
  void WriteDataFile(const std::string& data, const std::string& path,
                     std::shared_ptr<zelvan::fennic::IFileManager>) override {
    auto hold = Enter("WriteDataFile");
    dataFiles[path] = data;
  }
  std::string GetDataFolder() override { auto hold = Enter("GetDataFolder"); return dataFolder; }
  std::vector<std::wstring> GetSupportedProducts() override {
    auto hold = Enter("GetSupportedProducts");
    return supportedProducts;
  }
  void SaveDeviceInfoUrl(const std::wstring& url) override { auto hold = Enter("SaveDeviceInfoUrl"); deviceInfoUrl = url; }
  std::wstring GetDeviceInfoUrl() override { auto hold = Enter("GetDeviceInfoUrl"); return deviceInfoUrl; }
  web::json::value ReadJsonFile(const std::string& name) override;
  void WriteJsonFile(web::json::value document, const std::string& name) override {
    auto hold = Enter("WriteJsonFile");
    jsonFiles[name] = std::move(document);
    ++jsonWrites;
  }
  void TenantDetailsChanged() override { auto hold = Enter("TenantDetailsChanged"); ++tenantDetailsChanged; }
  std::vector<web::json::value> GetVoicePromptDownloads(web::json::value& urlSource) override {
    auto hold = Enter("GetVoicePromptDownloads");
    return voicePrompts ? voicePrompts(urlSource) : std::vector<web::json::value>();
  }
  web::json::value ReadSilentUpdates(int store) override {
    auto hold = Enter("ReadSilentUpdates");
    return (store == 0 || store == 1) ? silentUpdates[store] : web::json::value::null();
  }
  void WriteSilentUpdates(web::json::value list, int store) override {
    auto hold = Enter("WriteSilentUpdates");
    if (store == 0 || store == 1) silentUpdates[store] = std::move(list);
  }
  std::map<std::string, std::string> GetTenantDetails() override;
  bool IsSoftwareDownloadEnabled() override {
    auto hold = Enter("IsSoftwareDownloadEnabled");
    return softwareDownloadEnabled;
  }
  std::wstring ResolveUpdateUrl(web::json::value urlSource, const std::string& product, const std::string& extra) override;
  bool ApplyDeviceConfiguration(web::json::value& settings, const std::wstring& product) override {
    auto hold = Enter("ApplyDeviceConfiguration");
    return applyConfiguration ? applyConfiguration(settings, product) : true;
  }

 private:
  // Locks, records the operation and raises what ThrowOn asked for.
  std::unique_lock<std::recursive_mutex> Enter(const char* operation);

  std::recursive_mutex lock_;
  std::vector<std::string> operations_;
  std::map<std::string, std::pair<int, std::string>> throws_;
};

}  // namespace fennic_test
