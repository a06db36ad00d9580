// The worker's update-check requests: updates, the full list, cancellations
// and the configuration request.
#include <cpprest/http_msg.h>

#include <system_error>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "RestRequestType.h"

using namespace zelvan::fennic;

void CRestExecutor::ManageGetUpdates() {
  const std::string where = "CRestExecutor::ManageGetUpdates";
  try {
    const std::string response = Execute(GET_UPDATES_REQ, std::string());
    if (response.empty()) {
      Log(3, where, "GetUpdates Response is Empty");
      CheckForUpdateFailedEvent(false, GET_UPDATES_REQ);
      return;
    }
    Log(2, where, "GetUpdates Response: " + response);
    responseProcessor_->ProcessGetUpdtResponse(response, false);
    if (responseProcessor_->GetPendingDownloadCount() == 0) {
      const int state = clientState_.load();
      if (state == 1 || state == 3)
        SendRestMessage(GET_ALL_UPDATES_REQ);
      else
        FinishUpdateCheck();
    }
    RaiseEvent(5);
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
    CheckForUpdateFailedEvent(false, GET_UPDATES_REQ);
  }
}

void CRestExecutor::ManageGetAllUpdates() {
  const std::string where = "CRestExecutor::ManageGetAllUpdates";
  try {
    const std::string response = Execute(GET_ALL_UPDATES_REQ, std::string());
    if (response.empty()) {
      // No answer (any non-2xx gives none) is a failed request: the flag is
      // cleared, or no update check could end again in this process.
      Log(3, where, "GetAllUpdates Response is Empty");
      getAllUpdatesSent_.store(false);
      CheckForUpdateFailedEvent(false, GET_ALL_UPDATES_REQ);
      return;
    }
    Log(2, where, "GetAllUpdates Response: " + response);
    const bool processed = responseProcessor_->ProcessGetUpdtResponse(response, true);
    getAllUpdatesSent_.store(false);
    if (!processed) FinishUpdateCheck();
    RaiseEvent(5);
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
    getAllUpdatesSent_.store(false);
    CheckForUpdateFailedEvent(false, GET_ALL_UPDATES_REQ);
  }
}

void CRestExecutor::ManageCancelUpdate() {
  const std::string where = "CRestExecutor::ManageCancelUpdate";
  try {
    const std::string response = Execute(CANCEL_UPDATE_REQ, std::string());
    if (response.empty()) {
      Log(3, where, "GetCancelUpdates Response is Empty");
      CheckForUpdateFailedEvent(false, CANCEL_UPDATE_REQ);
      return;
    }
    Log(2, where, "Cancel Update Response: " + response);
    responseProcessor_->ProcessGetCancelResponse(response);
    RaiseEvent(8);
    hasCancelUpdates_.store(false);
    if (!hasUpdates_.load()) {
      FinishUpdateCheck();
      RaiseEvent(5);
    } else {
      SendRestMessage(GET_UPDATES_REQ);
    }
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
    CheckForUpdateFailedEvent(false, CANCEL_UPDATE_REQ);
    throw;
  } catch (const web::http::http_exception& e) {
    Log(5, where, e.what());
    CheckForUpdateFailedEvent(true, CANCEL_UPDATE_REQ);
    throw;
  }
}

void CRestExecutor::ManageCCConfigReq(const RestMessage& message) {
  const std::string where = "CRestExecutor::ManageCCConfigReq";
  try {
    const std::string response = Execute(CC_CONFIG_REQ, message.getData());
    if (response.empty()) {
      Log(2, where, "CC Config request response is empty");
      return;
    }
    const web::json::value answer = web::json::value::parse(response);
    if (!answer.at("validateResponseStatus").as_bool()) {
      responseProcessor_->UpdateFailedRequest(true);
      throw AgentException("Server throws Exception");
    }
    if (answer.at("ResposeCommand").as_integer() == 45) {
      responseProcessor_->UpdateFailedRequest(true);
      throw AgentException("Unknown Command received from server");
    }
    if (answer.at("validateResponse").as_bool()) {
      Log(2, where, "cc cofig status updated successfully");
      MarkServerSeen();
      responseProcessor_->UpdateFailedRequest(false);
    }
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  }
}
