#pragma once

#include <cpprest/json.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fennic/FennicExport.h>
#include "IFileManager.h"

namespace zelvan::fennic {

// A stored record of wide texts (user: 8, machine: 11, agent identity: 3,
// the first of which is the agent id).
using WideRecord = std::vector<std::wstring>;

// Stored agent, tenant and update data. Injected by the container; called on
// the worker thread and, for the registration body and tenant loading, on
// the host's thread. Implementations must be safe for both.
// Any operation may throw AgentException.
class FENNIC_EXPORT IConfigurationManager {
 public:
  virtual ~IConfigurationManager() = default;

  virtual WideRecord GetUserRecord(int& index) = 0;
  virtual WideRecord GetMachineRecord() = 0;
  virtual WideRecord GetAgentIdentity() = 0;
  virtual std::wstring GetMachineDataValue(const std::wstring& key) = 0;
  virtual std::wstring LoadToken() = 0;
  virtual void SaveToken(const std::wstring& token) = 0;
  virtual web::json::value GetUserDetails() = 0;
  virtual web::json::value GetMachineDetails() = 0;
  virtual web::json::value GetAgentDetails() = 0;
  virtual web::json::value GetRegistrationAgentDetails() = 0;
  virtual void SetAgentIdentity(const WideRecord& identity) = 0;
  virtual std::string GetLocalFirmwareServerFolder() = 0;
  virtual void WriteDataFile(const std::string& data, const std::string& path,
                             std::shared_ptr<IFileManager> fileManager) = 0;
  // Put directly in front of data file names: ends with a separator.
  virtual std::string GetDataFolder() = 0;
  virtual std::vector<std::wstring> GetSupportedProducts() = 0;
  virtual void SaveDeviceInfoUrl(const std::wstring& url) = 0;
  virtual std::wstring GetDeviceInfoUrl() = 0;
  virtual web::json::value ReadJsonFile(const std::string& name) = 0;
  virtual void WriteJsonFile(web::json::value document, const std::string& name) = 0;
  virtual void TenantDetailsChanged() = 0;
  virtual std::vector<web::json::value> GetVoicePromptDownloads(web::json::value& urlSource) = 0;
  // store 0: silent updates; store 1: failed device update-status reports.
  virtual web::json::value ReadSilentUpdates(int store) = 0;
  virtual void WriteSilentUpdates(web::json::value list, int store) = 0;
  virtual std::map<std::string, std::string> GetTenantDetails() = 0;
  virtual bool IsSoftwareDownloadEnabled() = 0;
  virtual std::wstring ResolveUpdateUrl(web::json::value urlSource, const std::string& product,
                                        const std::string& extra) = 0;
  virtual bool ApplyDeviceConfiguration(web::json::value& settings, const std::wstring& product) = 0;
};

}  // namespace zelvan::fennic
