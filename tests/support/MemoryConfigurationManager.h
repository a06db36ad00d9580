#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "IConfigurationManager.h"

namespace fennic_test {

// Configuration manager in memory. Every operation is recorded by name in
// Operations(); ThrowOn makes a named operation raise AgentException with a
// given code (0 asks the response processor for a resynchronisation).
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
  zelvan::fennic::WideRecord userRecord;
  zelvan::fennic::WideRecord machineRecord;
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
  int tenantDetailsChanged = 0;
  bool softwareDownloadEnabled = true;
  std::function<std::vector<web::json::value>(web::json::value&)> voicePrompts;
  std::function<std::wstring(web::json::value, const std::string&)> resolveUrl;
  std::function<bool(web::json::value&, const std::wstring&)> applyConfiguration;
  std::vector<std::pair<std::string, std::wstring>> appliedConfigurations;  // (settings, product)

  // IConfigurationManager
  zelvan::fennic::WideRecord GetUserRecord(int& index) override;
  zelvan::fennic::WideRecord GetMachineRecord() override;
  zelvan::fennic::WideRecord GetAgentIdentity() override;
  std::wstring GetMachineDataValue(const std::wstring& key) override;
  std::wstring LoadToken() override;
  void SaveToken(const std::wstring& token) override;
  web::json::value GetUserDetails() override;
  web::json::value GetMachineDetails() override;
  web::json::value GetAgentDetails() override;
  web::json::value GetRegistrationAgentDetails() override;
  void SetAgentIdentity(const zelvan::fennic::WideRecord& identity) override;
  std::string GetLocalFirmwareServerFolder() override;
  void WriteDataFile(const std::string& data, const std::string& path,
                     std::shared_ptr<zelvan::fennic::IFileManager> fileManager) override;
  std::string GetDataFolder() override;
  std::vector<std::wstring> GetSupportedProducts() override;
  void SaveDeviceInfoUrl(const std::wstring& url) override;
  std::wstring GetDeviceInfoUrl() override;
  web::json::value ReadJsonFile(const std::string& name) override;
  void WriteJsonFile(web::json::value document, const std::string& name) override;
  void TenantDetailsChanged() override;
  std::vector<web::json::value> GetVoicePromptDownloads(web::json::value& urlSource) override;
  web::json::value ReadSilentUpdates(int store) override;
  void WriteSilentUpdates(web::json::value list, int store) override;
  std::map<std::string, std::string> GetTenantDetails() override;
  bool IsSoftwareDownloadEnabled() override;
  std::wstring ResolveUpdateUrl(web::json::value urlSource, const std::string& product,
                                const std::string& extra) override;
  bool ApplyDeviceConfiguration(web::json::value& settings, const std::wstring& product) override;

 private:
  void Enter(const char* operation);

  std::recursive_mutex lock_;
  std::vector<std::string> operations_;
  std::map<std::string, std::pair<int, std::string>> throws_;
};

}  // namespace fennic_test
