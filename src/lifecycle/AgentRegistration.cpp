#include <cpprest/http_msg.h>

#include <system_error>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "ResponseEnvelope.h"
#include "RestRequestType.h"
#include "StoredValueChecks.h"
#include "StringUtil.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {

const std::string kRegWhere = "CRestExecutor::ManageAgentRegistration";
const std::string kTenantIdWhere = "CRestExecutor::isTenantIdNull";

// Registration failures are reported with request type 0, which never counts
// as a failed update check.
constexpr int kRegistrationFailureType = 0;
// The registration answer as the log may show it: the token is a secret.
std::string MaskedAnswer(const std::string& answerText) {
  try {
    web::json::value answer = web::json::value::parse(answerText);
    if (answer.is_object() && answer.has_field("Token")) answer["Token"] = web::json::value::string("***");
    return answer.serialize();
  } catch (const web::json::json_exception&) {
    // Unreadable text may still hold the token somewhere.
    return "(not JSON, " + std::to_string(answerText.size()) + " bytes)";
  }
}

}  // namespace

// A registration that leaves the agent without a usable token is a failure
// like a lost answer: the host backs off instead of registering at once.
void CRestExecutor::RegistrationFailed(const std::string& cause) {
  Log(3, kRegWhere, "Registration failed: " + cause);
  RaiseEvent(0, cause);
  CheckForUpdateFailedEvent(false, kRegistrationFailureType);
}

bool CRestExecutor::isTenantIdNull(const std::string& body) {
  try {
    const web::json::value parsed = web::json::value::parse(body);
    const std::string tenantId = parsed.at("TenantID").as_string();
    Log(2, kTenantIdWhere, "TenantID: " + tenantId);
    if (tenantId.empty()) {
      Log(3, kTenantIdWhere, "TenantID is empty");
      return true;
    }
  } catch (const web::json::json_exception& e) {
    // A body we cannot read is still sent: the server is the judge of it.
    Log(5, kTenantIdWhere, e.what());
  }
  return false;
}

void CRestExecutor::ManageAgentRegistration(const RestMessage& message) {
  const std::string& body = message.data();
  try {
    Log(2, kRegWhere, " Agent Registration: ");
    if (isTenantIdNull(body)) {
      Log(5, kRegWhere, "Agent Registration ignored as TenantID is empty");
      return;
    }
    Log(2, kRegWhere, "Agent Registration processed");

    const std::string answerText = Execute(AGENT_REGISTRATION_REQ, body);
    if (answerText.empty()) {
      Log(3, kRegWhere, "Registration Response is Empty");
      return RegistrationFailed("the server's answer was empty");
    }
    Log(2, kRegWhere, "Registration Response: " + MaskedAnswer(answerText));
    const web::json::value answer = ParseAnswer(answerText);

    if (answer.at("ResposeCommand").as_integer() == 45) {
      RaiseEvent(0);
      Log(5, kRegWhere, "Unknown Command received from server");
      return CheckForUpdateFailedEvent(false, kRegistrationFailureType);
    }

    if (ReadOutcome(answer)) {
      Log(6, kRegWhere, "Agent Registration Successfull");
      MarkServerSeen();
    } else if (RegistrationSettingsChanged(answer)) {
      return;
    }
    // Refused with unchanged settings: the answer still carries the token.
    if (!StoreRegistrationToken(answer)) return;
    StoreRegistrationDetails(answer.at("ResponseBody"));
    AnnounceRegistered();
  } catch (const web::http::http_exception& e) {
    Log(3, kRegWhere, e.what());
    CheckForUpdateFailedEvent(true, kRegistrationFailureType);
    RaiseEvent(0);
    // No wait and no new registration from here: the host's back-off
    // decides when to try again, so there is one count of failures.
    Log(3, kRegWhere, "Please check network connection");
  } catch (const std::system_error& e) {
    RaiseEvent(0);
    Log(5, kRegWhere, e.what());
    CheckForUpdateFailedEvent(false, kRegistrationFailureType);
  } catch (const web::json::json_exception& e) {
    RaiseEvent(0);
    Log(5, kRegWhere, e.what());
    CheckForUpdateFailedEvent(false, kRegistrationFailureType);
  } catch (const std::exception& e) {
    // Any other failure (a store's, a transport's) is still this
    // registration's outcome: the host waits for 0 or 1.
    RaiseEvent(0);
    Log(5, kRegWhere, e.what());
    CheckForUpdateFailedEvent(false, kRegistrationFailureType);
  }
}

// A refusal for invalid data whose settings differ from the stored ones:
// the new settings are stored and announced, and registration ends there.
bool CRestExecutor::RegistrationSettingsChanged(const web::json::value& answer) {
  const std::wstring errorMessage = ToWide(ReadErrorMessage(answer));
  const std::string dataSettings = answer.at("DataSettings").as_string();
  ReplaceTenantDetails(configuration_->GetTenantDetails());
  const web::json::value anonymize =
      answer.has_field("AnonymizePersonalData") ? answer.at("AnonymizePersonalData") : web::json::value::null();
  const bool listChanged = isAnonymizedataExceptionsChanged(anonymize);
  const bool settingsChanged = StringUtil::CheckResponseErrorMessage(errorMessage, "Invalid data") &&
                               (TenantValue("CollectData") != dataSettings || listChanged);
  if (!settingsChanged) return false;
  Log(2, kRegWhere, "Invalid data, settings has changed");
  SetTenantValue("CollectData", dataSettings);
  WriteTenantConfigsToFile();
  RefreshConfigurationRecords();
  RaiseEvent(2);
  return true;
}

// Both members are read, and the token checked, before either is stored, so
// a malformed answer leaves the old pair intact. False when refused.
bool CRestExecutor::StoreRegistrationToken(const web::json::value& answer) {
  const std::wstring token = ToWide(answer.at("Token").as_string());
  const std::wstring deviceInfoUrl = ToWide(answer.at("DeviceInfoURL").as_string());
  // A token no request can carry would fail every later request; an
  // empty one leaves the agent unregistered.
  const std::string tokenFault = token.empty() ? "empty" : TokenFault(token);
  if (!tokenFault.empty()) {
    RegistrationFailed("the server's token was refused (" + tokenFault + ")");
    return false;
  }
  SetDeviceInfoUrl(deviceInfoUrl);
  SetToken(token);
  // Later requests of this process carry the new token without waiting
  // for the host to reload the tenant configuration, stored or not.
  restClient_->SetToken(token);
  SaveRegistrationState();
  return true;
}

// Stores the address and token this process holds. A failed write (a full
// disk) leaves the registration standing for this process and is tried
// again at the next heart beat. Worker only.
void CRestExecutor::SaveRegistrationState() {
  try {
    configuration_->SaveDeviceInfoUrl(DeviceInfoUrl());
    configuration_->SaveToken(Token());
    registrationUnsaved_ = false;
  } catch (const std::exception& e) {
    registrationUnsaved_ = true;
    Log(3, kRegWhere, std::string("Token not stored, tried again at the next heart beat: ") + e.what());
  }
}

// The tenant name, agent id and support address the answer's body carries.
void CRestExecutor::StoreRegistrationDetails(const web::json::value& responseBody) {
  if (responseBody.has_field("TenantName")) {
    Log(2, kRegWhere, "Found Tenant Name in Response");
    const std::string name = ReadMemberAsText(responseBody.at("TenantName"));
    if (TenantValue("TenantName") != name) {
      SetTenantValue("TenantName", name);
      WriteTenantConfigsToFile();
      configuration_->TenantDetailsChanged();
    }
  }
  std::wstring agentId;
  if (responseBody.has_field("AgentID")) {
    Log(2, kRegWhere, "Found Agent ID in Response");
    agentId = ToWide(ReadMemberAsText(responseBody.at("AgentID")));
  }
  std::wstring supportEmail;
  if (responseBody.has_field("SupportEmail")) supportEmail = ToWide(ReadMemberAsText(responseBody.at("SupportEmail")));
  WriteMachineDataInConfigFile(supportEmail, agentId);
}

void CRestExecutor::AnnounceRegistered() {
  int state = clientState_.load();
  if (state != 1) {
    state = 3;
    clientState_.store(state);
  }
  RaiseEvent(1);
  RaiseEvent(3, std::to_string(state));
}
