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
// Retries prompted after transport failures: counts 0, 1 and 2.
constexpr int kLastRetryCount = 2;

}  // namespace

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
      return;
    }
    Log(2, kRegWhere, "Registration Response: " + answerText);
    const web::json::value answer = ParseAnswer(answerText);

    if (answer.at("ResposeCommand").as_integer() == 45) {
      RaiseEvent(0);
      throw AgentException("Unknown Command received from server");
    }

    if (ReadOutcome(answer)) {
      retryCount_ = 0;
      Log(6, kRegWhere, "Agent Registration Successfull");
      MarkServerSeen();
    } else {
      const std::wstring errorMessage = ToWide(ReadErrorMessage(answer));
      const std::string dataSettings = answer.at("DataSettings").as_string();
      ReplaceTenantDetails(configuration_->GetTenantDetails());
      const web::json::value anonymize =
          answer.has_field("AnonymizePersonalData") ? answer.at("AnonymizePersonalData") : web::json::value::null();
      const bool listChanged = isAnonymizedataExceptionsChanged(anonymize);
      const bool settingsChanged = StringUtil::CheckResponseErrorMessage(errorMessage, "Invalid data") &&
                                   (TenantValue("CollectData") != dataSettings || listChanged);
      if (settingsChanged) {
        Log(2, kRegWhere, "Invalid data, settings has changed");
        SetTenantValue("CollectData", dataSettings);
        WriteTenantConfigsToFile();
        RefreshConfigurationRecords();
        RaiseEvent(2);
        return;
      }
      // Refused with unchanged settings: the answer still carries the token.
    }

    // Token step. Both members are read before either is stored, so a
    // malformed answer leaves the old pair intact.
    const std::wstring token = ToWide(answer.at("Token").as_string());
    const std::wstring deviceInfoUrl = ToWide(answer.at("DeviceInfoURL").as_string());
    SetDeviceInfoUrl(deviceInfoUrl);
    configuration_->SaveDeviceInfoUrl(deviceInfoUrl);
    // A token no request can carry would fail every later request and keep
    // the agent from ever registering again: the previous one stays.
    const std::string tokenFault = TokenFault(token);
    if (!tokenFault.empty()) {
      Log(3, kRegWhere, "Token refused (" + tokenFault + ")");
    } else {
      SetToken(token);
      configuration_->SaveToken(token);
      // Later requests of this process carry the new token without waiting
      // for the host to reload the tenant configuration.
      if (!token.empty()) restClient_->SetToken(token);
    }

    const web::json::value responseBody = answer.at("ResponseBody");
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

    int state = clientState_.load();
    if (state != 1) {
      state = 3;
      clientState_.store(state);
    }
    RaiseEvent(1);
    RaiseEvent(3, std::to_string(state));
  } catch (const web::http::http_exception& e) {
    Log(3, kRegWhere, e.what());
    CheckForUpdateFailedEvent(true, kRegistrationFailureType);
    RaiseEvent(0);
    if (retryCount_ <= kLastRetryCount) {
      Log(3, kRegWhere, "Please check network connection");
      ++retryCount_;
      // A stop during the wait ends it at once; the host is not asked to
      // register again by an executor that is going away.
      if (!WaitBeforeRetry()) return;
      RaiseEvent(2);
    }
  } catch (const std::system_error& e) {
    RaiseEvent(0);
    Log(5, kRegWhere, e.what());
    CheckForUpdateFailedEvent(false, kRegistrationFailureType);
  } catch (const web::json::json_exception& e) {
    RaiseEvent(0);
    Log(5, kRegWhere, e.what());
    CheckForUpdateFailedEvent(false, kRegistrationFailureType);
  }
}
