#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IConfigurationManager.h"
#include "IEncryptDecrypt.h"
#include "ILogManager.h"

namespace zelvan::fennic::services {

// What the host's configuration file tells the configuration manager.
struct ServiceSettings {
  std::string dataFolder;      // holds every data file; created when missing
  std::string downloadFolder;  // receives downloaded packages
  std::string serverUrl;       // tenant address until the server sends one
  std::string tenantId;        // tenant id until the server's settings are stored
  std::vector<std::string> supportedProducts;
  std::string agentVersion = "1.0.0";
  bool softwareDownloadEnabled = true;
};

// The agent's stored data in one data folder. Plain JSON files for the
// update bookkeeping; the tenant settings, machine data and token sealed by
// the cipher. Every write is atomic. A file that cannot be read back (bad
// JSON, refused cipher text, a stored list of the wrong shape) is logged,
// renamed to NAME.corrupt and treated as absent. A failed write raises
// AgentException with kWriteFailureCode. One lock serialises all operations, so the worker and host
// threads may call at once.
class FileConfigurationManager : public IConfigurationManager {
 public:
  // Throws AgentException when the data folder cannot be created, and
  // LocalStateError when the cipher's key file is unusable. Removes the
  // temporaries of writers that were killed.
  FileConfigurationManager(ServiceSettings settings, std::shared_ptr<IEncryptDecrypt> cipher,
                           std::shared_ptr<ILogManager> logger);

  WideRecord GetUserRecord(int& index) override;
  WideRecord GetMachineRecord() override;
  WideRecord GetAgentIdentity() override;
  std::wstring GetMachineDataValue(const std::wstring& key) override;
  std::wstring LoadToken() override;
  void SaveToken(const std::wstring& token) override;
  web::json::value GetUserDetails() override;
  web::json::value GetMachineDetails() override;
  web::json::value GetAgentDetails() override;
  web::json::value GetRegistrationAgentDetails() override;
  void SetAgentIdentity(const WideRecord& identity) override;
  std::string GetLocalFirmwareServerFolder() override;
  void WriteDataFile(const std::string& data, const std::string& path,
                     std::shared_ptr<IFileManager> fileManager) override;
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

  // Names of the files this manager keeps besides the library's own.
  static constexpr const char* kTenantFile = "TenantConfiguration.dat";
  static constexpr const char* kMachineFile = "AgentMachineConfig.dat";
  static constexpr const char* kTokenFile = "Token.dat";
  static constexpr const char* kStateFile = "AgentState.json";
  static constexpr const char* kSilentFile = "SilentUpdates.dat";
  static constexpr const char* kFailedStatusFile = "FailedUpdateStatus.dat";
  static constexpr const char* kDeviceConfigFile = "DeviceConfiguration.json";

  // The code of the AgentException a failed write raises. The update
  // processing hands codes 1 and 2 on to the dispatcher, which ends the
  // update check; code 0 would ask for the full list again, whose write
  // fails again on a disk that stays full, without end.
  static constexpr int kWriteFailureCode = 2;

 private:
  // The files in the data folder (DataFiles.cpp).
  std::string PathOf(const std::string& name) const;
  void SweepTemporaries();
  void OpenKey();
  void WriteFile(const std::string& path, const std::string& data);
  // The file's bytes; nothing when it is missing or unreadable (one line),
  // or a link (set aside with a line that says so).
  std::optional<std::string> ReadBytesLocked(const std::string& name);
  web::json::value ReadPlainLocked(const std::string& name);
  web::json::value ReadSealedLocked(const std::string& name);
  void WritePlainLocked(const web::json::value& document, const std::string& name);
  void WriteSealedLocked(const web::json::value& document, const std::string& name);
  void MoveAsideLocked(const std::string& name, const std::string& reason);
  void RemoveLinkLocked(const std::string& name);

  // What the stored files mean (FileConfigurationManager.cpp).
  web::json::value StateLocked();
  WideRecord IdentityLocked();
  std::vector<std::string> AnonymizedItemsLocked();
  web::json::value Details(const std::vector<std::pair<std::string, std::string>>& items);
  void Log(int level, const std::string& where, const std::string& text);

  const ServiceSettings settings_;
  const std::string folder_;  // ends with '/'
  const std::shared_ptr<IEncryptDecrypt> cipher_;
  const std::shared_ptr<ILogManager> logger_;
  std::mutex lock_;
};

}  // namespace zelvan::fennic::services
