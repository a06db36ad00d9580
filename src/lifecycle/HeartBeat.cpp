#include <cpprest/http_msg.h>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "ResponseEnvelope.h"
#include "RestRequestType.h"
#include "StoredValueChecks.h"
#include "StringUtil.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {

const std::string kBeatWhere = "CRestExecutor::ManageHeartBeat";
const std::string kBeatFailureWhere = "CRestExecutor::handleHeartBeatException";

// The cut searches for the path's "/" from here on, past "https://".
constexpr std::size_t kPathSearchStart = 8;

bool IsTrue(const web::json::value& body, const char* key) { return body.has_field(key) && body.at(key).as_bool(); }

// Keeps scheme, host and port of an address that has a path.
std::string CutToServerAddress(const std::string& address) {
  if (address.size() <= kPathSearchStart) return address;
  const std::size_t slash = address.find('/', kPathSearchStart);
  return slash == std::string::npos ? address : address.substr(0, slash);
}

// A tenant setting as the map keeps it: strings as they are, integers in
// decimal, booleans "True"/"False", anything else empty.
std::string SettingText(const web::json::value& value) {
  if (value.is_string()) return value.as_string();
  if (value.is_boolean()) return value.as_bool() ? "True" : "False";
  if (value.is_integer()) {
    const web::json::number& number = value.as_number();
    if (number.is_int64()) return std::to_string(number.to_int64());
    return std::to_string(number.to_uint64());
  }
  return std::string();
}

}  // namespace

void CRestExecutor::ManageHeartBeat() {
  if (registrationUnsaved_) SaveRegistrationState();
  resyncSinceHeartBeat_ = false;
  try {
    web::json::value request = web::json::value::object(true);
    request["AgentDetails"] = configuration_->GetAgentDetails();
    const std::string body = request.serialize();
    Log(2, kBeatWhere, "Heart Beat Request :" + body);

    const std::string answerText = Execute(HEART_BEAT_REQ, body);
    if (answerText.empty()) {
      Log(3, kBeatWhere, "HeartBeat Response is Empty");
      CheckForUpdateFailedEvent(false, HEART_BEAT_REQ);
      RaiseEvent(7);  // the heart beat's own outcome, apart from the check's end
      return;
    }
    Log(2, kBeatWhere, "Heart Beat Response :" + answerText);
    const web::json::value answer = ParseAnswer(answerText);

    if (!HeartBeatAccepted(answer)) return;

    Log(2, kBeatWhere, "Agent HeartBeat Successfull");
    // A body that is not an object has no members: a heart beat with no news.
    const web::json::value& responseBody = answer.at("ResponseBody");
    const bool listChanged = AnonymizeListChangedIn(responseBody);
    ApplyBackendEndPoint(responseBody);
    if (IsTrue(responseBody, "TriggerRegistartion") || listChanged) {
      RaiseEvent(2);
      return;
    }

    MarkServerSeen();
    RaiseEvent(17);
    RaiseEvent(6);

    ApplyHeartBeatSettings(responseBody);
    RequestAfterHeartBeat();
    SendSavedSilentUpdateStatus();

    if (IsTrue(responseBody, "AllowCollectLogs")) {
      Log(2, kBeatWhere, "QM sends request to upload logs");
      RaiseEvent(18);
    }
  } catch (const web::json::json_exception& e) {
    handleHeartBeatException(e, false);
  } catch (const web::http::http_exception& e) {
    // HTTP 401: the server no longer knows the token, as with its "Token Not
    // Found"; a new registration replaces it.
    if (e.error_code().value() == 401) {
      Log(2, kBeatWhere, "Token Not Found");
      RaiseEvent(2);
      return;
    }
    handleHeartBeatException(e, true);
  } catch (const AgentException& e) {
    handleHeartBeatException(e, false);
  } catch (const std::bad_exception& e) {
    handleHeartBeatException(e, false);
  }
}

// False, with the failure handled, when the server refused the heart beat.
bool CRestExecutor::HeartBeatAccepted(const web::json::value& answer) {
  if (ReadOutcome(answer)) return true;
  if (StringUtil::CheckResponseErrorMessage(ToWide(ReadErrorMessage(answer)), "Token Not Found")) {
    Log(2, kBeatWhere, "Token Not Found");
    RaiseEvent(2);
    return false;
  }
  CheckForUpdateFailedEvent(false, HEART_BEAT_REQ);
  RaiseEvent(7);
  return false;
}

// True when the answer lists other exceptions from anonymising than the
// stored ones; the new list is then stored.
bool CRestExecutor::AnonymizeListChangedIn(const web::json::value& responseBody) {
  if (!responseBody.has_field("AnonymizePersonalData")) return false;
  if (!isAnonymizedataExceptionsChanged(responseBody.at("AnonymizePersonalData"))) return false;
  WriteTenantConfigsToFile();
  RefreshConfigurationRecords();
  Log(2, kBeatWhere, "*************custom data has changed , checking in heart beat*********************");
  return true;
}

void CRestExecutor::ApplyBackendEndPoint(const web::json::value& responseBody) {
  if (!responseBody.has_field("BackendEndPoint")) return;
  const std::string address = ReadMemberAsText(responseBody.at("BackendEndPoint"));
  const std::string url = CutToServerAddress(address);
  // Stored, it would be the address of every later run: a refused one
  // keeps the previous address and the answer is handled on.
  std::string fault = ServerAddressFault(url);
  const bool changed = TenantValue("URL") != url;
  // Offered to the transport before it is stored: the transport's own rules
  // (plain HTTP, port range) decide whether every later request can use it.
  if (fault.empty() && changed) fault = HandEndpointToTransport(url, TenantValue("TenantID"));
  if (!fault.empty()) {
    Log(3, kBeatWhere, "BackendEndPoint refused (" + fault + "): " + address.substr(0, 256));
  } else if (changed) {
    SetTenantValue("URL", url);
    WriteTenantConfigsToFile();
  }
}

// The flags and tenant settings the answer carries; the host hears of them (event 12).
void CRestExecutor::ApplyHeartBeatSettings(const web::json::value& responseBody) {
  ReadHeartBeatFlags(responseBody);
  if (MergeTenantSettings(responseBody)) {
    Log(2, kBeatWhere, "isValueChanged:1");
    WriteTenantConfigsToFile();
  }
  RaiseEvent(12);
}

// Queues the next request of the update check the flags ask for, and ends
// a check that has nothing more to ask.
void CRestExecutor::RequestAfterHeartBeat() {
  const int state = clientState_.load();
  if (hasADQuery_.load()) {
    SendRestMessage(GET_AD_QUERY_REQ);
  } else if (hasCancelUpdates_.load()) {
    SendRestMessage(CANCEL_UPDATE_REQ);
  } else if (hasUpdates_.load()) {
    SendRestMessage(GET_UPDATES_REQ);
  } else if (state == 1 || getAllUpdatesSent_.load()) {
    SendRestMessage(GET_ALL_UPDATES_REQ);
  }
  if (state != 1 && !hasUpdates_.load() && !hasCancelUpdates_.load()) {
    Log(2, kBeatWhere, "Handling the existing update after HeartBeat");
    FinishUpdateCheck();
    RaiseEvent(5);
  }
}

void CRestExecutor::handleHeartBeatException(const std::exception& e, bool networkError) {
  Log(5, kBeatFailureWhere, e.what());
  CheckForUpdateFailedEvent(networkError, HEART_BEAT_REQ);
  RaiseEvent(7);
}

void CRestExecutor::ReadHeartBeatFlags(web::json::value body) {
  // The machine data file is compared with what it holds now and written
  // only when a value changed: an address that differs from the
  // registration's, or an answer without "SupportEmail", rewrote (and
  // blanked) it at every heart beat.
  const bool hasEmail = body.has_field("SupportEmail"), hasUrl = body.has_field("DeviceInfoUrl");
  if (!hasEmail && !hasUrl) return ReadUpdateFlags(body);
  const std::wstring storedEmail = configuration_->GetMachineDataValue(L"SupportEmail");
  const std::wstring supportEmail = hasEmail ? ToWide(ReadMemberAsText(body.at("SupportEmail"))) : storedEmail;
  bool changed = supportEmail != storedEmail;
  if (hasUrl) {
    const std::wstring url = ToWide(ReadMemberAsText(body.at("DeviceInfoUrl")));
    if (url != DeviceInfoUrl()) SetDeviceInfoUrl(url);
    changed = changed || url != configuration_->GetMachineDataValue(L"DeviceInfoUrl");
  }
  // After a restart the process may not hold the address yet: the file's
  // own is kept, not blanked.
  if (changed && !hasUrl && DeviceInfoUrl().empty())
    SetDeviceInfoUrl(configuration_->GetMachineDataValue(L"DeviceInfoUrl"));
  if (changed) WriteMachineDataInConfigFile(supportEmail, std::wstring());
  ReadUpdateFlags(body);
}

void CRestExecutor::ReadUpdateFlags(const web::json::value& body) {
  // Stored one by one: a flag of the wrong type ends the answer there, the
  // flags before it already stored.
  if (body.has_field("HasADQuery")) hasADQuery_.store(body.at("HasADQuery").as_bool());
  if (body.has_field("HasUpdates")) hasUpdates_.store(body.at("HasUpdates").as_bool());
  if (body.has_field("HasCancelUpdates")) hasCancelUpdates_.store(body.at("HasCancelUpdates").as_bool());
}

bool CRestExecutor::MergeTenantSettings(web::json::value body) {
  bool changed = false;
  for (const std::string& key : tenantSettingKeys_) {
    if (!body.has_field(key)) continue;
    const std::string text = SettingText(body.at(key));
    if (TenantValue(key) != text) {
      SetTenantValue(key, text);
      changed = true;
    }
  }
  return changed;
}
