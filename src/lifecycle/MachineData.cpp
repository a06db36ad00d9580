#include <exception>
#include <mutex>
#include <system_error>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "IAgentUtils.h"
#include "StringUtil.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {

const std::string kMachineWhere = "CRestExecutor::WriteMachineDataInConfigFile";
const std::string kAnonymizeWhere = "CRestExecutor::isAnonymizedataExceptionsChanged";
const char* const kMachineFileName = "AgentMachineConfig.dat";
const char* const kAnonymizeKey = "AnonymizePersonalData";

// One key per process: every machine data file this process writes carries
// the same "Key", whichever executor instance writes it.
std::wstring MachineDataKey() {
  static std::once_flag once;
  static std::wstring key;
  std::call_once(once, [] { key = ToWide(StringUtil::getSystemTime()); });
  return key;
}

}  // namespace

void CRestExecutor::WriteMachineDataInConfigFile(const std::wstring& supportEmail, const std::wstring& agentId) {
  try {
    const std::wstring key = MachineDataKey();

    // Always asked for, like the machine record below; only a new id is stored.
    WideRecord identity = configuration_->GetAgentIdentity();
    if (!agentId.empty()) {
      if (identity.empty()) identity.resize(1);
      identity[0] = agentId;
      configuration_->SetAgentIdentity(identity);
    }
    // Called for its effect: the configuration manager refreshes the machine
    // record that the details below are built from.
    (void)configuration_->GetMachineRecord();

    web::json::value doc = web::json::value::object(true);
    doc["AgentDetails"] = configuration_->GetAgentDetails();
    doc["MachineDetails"] = configuration_->GetMachineDetails();
    doc["DeviceInfoUrl"] = web::json::value::string(ToUtf8(DeviceInfoUrl()));
    doc["Key"] = web::json::value::string(ToUtf8(key));
    doc["SupportEmail"] = web::json::value::string(ToUtf8(supportEmail));

    const std::string text = ToUtf8(StringUtil::stripQuotes(ToWide(doc.serialize())));
    std::shared_ptr<IEncryptDecrypt> cipher = IAgentUtils::getEncryptDecrypt();
    if (!cipher) throw AgentException("No cipher available for the machine data");
    configuration_->WriteDataFile(cipher->Encrypt(text), configuration_->GetDataFolder() + kMachineFileName,
                                  IAgentUtils::getFileManager());
  } catch (const AgentException& e) {
    Log(5, kMachineWhere, e.what());
  } catch (const std::system_error& e) {
    Log(5, kMachineWhere, e.what());
  }
}

bool CRestExecutor::isAnonymizedataExceptionsChanged(web::json::value received) {
  bool changed = false;
  try {
    const std::string newText = ToUtf8(ToWide(received.serialize()));
    Log(2, kAnonymizeWhere, "The new recieved JSON value for comparision is: " + newText);
    const std::string stored = TenantValue(kAnonymizeKey);
    Log(2, kAnonymizeWhere, "The existing AnonymizePersonalData value from the map is: " + stored);

    // Textual on purpose: the server's own serialisation is the reference,
    // and a reordered list is worth a re-registration.
    if (stored.empty() && (newText == "[]" || newText == "null")) {
      changed = false;
    } else if (newText == stored) {
      changed = false;
    } else {
      // Kept as JSON text: a bare string without its quotes is no longer JSON.
      SetTenantValue(kAnonymizeKey, newText);
      changed = true;
    }
    Log(2, kAnonymizeWhere, std::string("return value:") + (changed ? "1" : "0"));
  } catch (const std::bad_exception& e) {
    Log(5, kAnonymizeWhere, e.what());
  }
  return changed;
}

void CRestExecutor::RefreshConfigurationRecords() {
  // The configuration manager rebuilds the details it sends from these
  // records once the data settings changed; the results are not needed here.
  (void)configuration_->GetAgentIdentity();
  (void)configuration_->GetMachineRecord();
  int index = 0;
  (void)configuration_->GetUserRecord(index);
}
