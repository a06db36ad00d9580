// Usage statistics, softphone lists and user details. The call-duration
// file is the host's only copy of its data: it is deleted only after the
// server accepted it, so every failure leaves it to be sent again.
#include <unistd.h>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "ResponseEnvelope.h"
#include "RestRequestType.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

void CRestExecutor::ManageCallDurationUpdate(const RestMessage& message) {
  const std::string where = "CRestExecutor::ManageCallDurationUpdate";
  try {
    const web::json::value input = ParseAnswer(message.data());
    const std::wstring path = ToWide(input.at("FileInfo").as_string());
    const std::string body = input.at("CallData").serialize();
    const std::string response = Execute(CALL_DURATION_REQ, body);
    if (response.empty()) {
      Log(2, where, "Update call duration Response is empty");
      return;
    }
    const web::json::value answer = ParseAnswer(response);
    CheckServerStatus(answer, "Server throws Exception");
    CheckResponseCommand(answer);
    if (!ReadOutcome(answer, "validateResponseFromServer"))
      throw AgentException("Call duration update failed with error message : " + ReadErrorMessage(answer));
    Log(2, where, "Call duration successfully sent to server");
    // unlink, not remove: a folder of that name is not the host's file.
    if (::unlink(ToUtf8(path).c_str()) != 0)
      Log(2, where, "callDuration File is not deleted");
    else
      Log(2, where, "callDuration File deleted after sending it to the server");
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  }
}

void CRestExecutor::ManageSoftPhoneDetails(const RestMessage& message) {
  const std::string where = "CRestExecutor::ManageSoftPhoneDetails";
  const std::string response = Execute(SOFTPHONE_DETAILS_REQ, message.data());
  if (response.empty()) {
    Log(2, where, "Update softphone response is empty");
    return;
  }
  const web::json::value answer = ParseAnswer(response);
  CheckServerStatus(answer, "Server throws Exception");
  CheckResponseCommand(answer);
  if (!ReadOutcome(answer))
    throw AgentException("Softphone list update failed with error message : " + ReadErrorMessage(answer));
  Log(2, where, "Softphone list successfully sent to server");
}

void CRestExecutor::ManageUpdateUserDetails(const RestMessage& message) {
  const std::string where = "CRestExecutor::ManageUpdateUserDetails";
  const std::string response = Execute(USER_DETAILS_REQ, message.data());
  if (response.empty()) {
    Log(3, where, "Update user details Response is Empty");
    return;
  }
  Log(3, where, "Response: " + response);
  if (ParseAnswer(response).at("validateResponseStatus").as_bool()) RaiseEvent(13);
}
