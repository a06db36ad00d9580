#include "support/MemoryConfigurationManager.h"

#include <system_error>

#include "AgentException.h"
#include "IAgentUtils.h"
#include "TextConversion.h"

using zelvan::fennic::AgentException;
using zelvan::fennic::WideRecord;

namespace fennic_test {

MemoryConfigurationManager::MemoryConfigurationManager()
    : agentIdentity{L"agent-1", L"1.0.0", L"fennic"},
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

std::unique_lock<std::recursive_mutex> MemoryConfigurationManager::Enter(const char* operation) {
  std::unique_lock<std::recursive_mutex> hold(lock_);
  if (recordOperations) operations_.push_back(operation);
  auto it = throws_.find(operation);
  if (it == throws_.end()) return hold;
  // A negative code is an errno: the failed write of a full or read-only disk.
  if (it->second.first < 0) throw std::system_error(-it->second.first, std::generic_category(), it->second.second);
  throw AgentException(it->second.second, it->second.first);
}

std::map<std::string, std::string> MemoryConfigurationManager::GetTenantDetails() {
  auto hold = Enter("GetTenantDetails");
  std::map<std::string, std::string> details = tenantDetails;
  auto file = dataFiles.find(dataFolder + "TenantConfiguration.dat");
  auto cipher = zelvan::fennic::IAgentUtils::getEncryptDecrypt();
  if (!tenantFileOverrides || file == dataFiles.end() || !cipher) return details;
  try {
    const web::json::value stored = web::json::value::parse(cipher->Decrypt(file->second));
    for (const auto& [key, member] : stored.as_object())
      if (member.is_string() && !member.as_string().empty()) details[key] = member.as_string();
  } catch (const std::exception&) {
    // An unreadable file reads as none, as in the file store.
  }
  return details;
}

std::wstring MemoryConfigurationManager::GetMachineDataValue(const std::wstring& key) {
  auto hold = Enter("GetMachineDataValue");
  auto it = machineDataValues.find(key);
  return it == machineDataValues.end() ? std::wstring() : it->second;
}

web::json::value MemoryConfigurationManager::ReadJsonFile(const std::string& name) {
  auto hold = Enter("ReadJsonFile");
  auto it = jsonFiles.find(name);
  return it == jsonFiles.end() ? web::json::value::null() : it->second;
}

std::wstring MemoryConfigurationManager::ResolveUpdateUrl(web::json::value urlSource, const std::string& product,
                                                          const std::string&) {
  auto hold = Enter("ResolveUpdateUrl");
  if (resolveUrl) return resolveUrl(urlSource, product);
  // Default: a plain string, or the first "UpdatesURL" of a list of objects.
  if (urlSource.is_string()) return zelvan::fennic::ToWide(urlSource.as_string());
  if (urlSource.is_array() && urlSource.size() > 0 && urlSource.at(0).has_string_field("UpdatesURL"))
    return zelvan::fennic::ToWide(urlSource.at(0).at("UpdatesURL").as_string());
  if (urlSource.is_object() && urlSource.has_string_field("UpdatesURL"))
    return zelvan::fennic::ToWide(urlSource.at("UpdatesURL").as_string());
  return std::wstring();
}

}  // namespace fennic_test
