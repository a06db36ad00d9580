// The worker's download requests: the download details of one file, and the
// acknowledgement of its outcome.
#include <cpprest/http_msg.h>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "ResponseEnvelope.h"
#include "RestRequestType.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

void CRestExecutor::ManageDownloadFiles(const RestMessage& message) {
  const std::string where = "CRestExecutor::ManageDownloadFiles";
  try {
    const std::wstring target = message.getTarget();
    Log(2, where, "DOWNLOAD_FILES");
    Log(0, where, ToUtf8(target));
    web::json::value request = web::json::value::object();
    request["DownloadUrl"] = web::json::value::string(ToUtf8(target));
    const std::string body = request.serialize();
    Log(2, where, "Download File Request: " + body);
    std::string answer;
    try {
      answer = Execute(DOWNLOAD_FILES, body);
    } catch (const web::http::http_exception&) {
      // No answer at all fails the entry as an empty one does, so the list
      // still drains; the worker reports the failure and ends the check.
      if (responseProcessor_)
        responseProcessor_->HandleDownloadResponse(std::string(), target, message.getDownloadKey(), message.getData());
      throw;
    }
    if (!responseProcessor_) return;
    if (answer.empty()) {
      // No answer fails the entry like an unusable one: left listed, it would
      // hold the check open until another answer listed the update again.
      Log(2, where, "Download Files Response is empty");
    } else {
      Log(2, where, "Download File Response: " + answer);
      RaiseEvent(10);
      Log(2, where, "Process download response for scheduler ID: " + message.getDownloadKey());
    }
    responseProcessor_->HandleDownloadResponse(answer, target, message.getDownloadKey(), message.getData());
    if (responseProcessor_->GetPendingDownloadCount() == 0) {
      Log(2, where, "Added for sonar codesmell");
      const int state = clientState_.load();
      if (message.getData() == "9" && (state == 1 || state == 3)) SendRestMessage(GET_ALL_UPDATES_REQ);
      FinishUpdateCheck();
    }
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  }
}

void CRestExecutor::ManageDownloadStatus(const RestMessage& message) {
  const std::string where = "CRestExecutor::ManageDownloadStatus";
  try {
    const std::string answer = Execute(DOWNLOAD_STATUS_REQ, message.getData());
    if (answer.empty()) {
      Log(2, where, "Device Download status Response is empty");
      return;
    }
    Log(2, where, "Download Acknowledge Response: " + answer);
    if (ValidateResponse(ParseAnswer(answer))) {
      Log(2, where, "Download Status has been received successfully");
      MarkServerSeen();
    }
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  }
}
