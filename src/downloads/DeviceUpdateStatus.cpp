#include <cpprest/http_msg.h>

#include <exception>
#include <map>
#include <system_error>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "ResponseEnvelope.h"
#include "RestRequestType.h"
#include "SilentUpdateStatus.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {

const std::string kStatusWhere = "CRestExecutor::ManageDeviceUpdtStatus";
const std::string kSaveWhere = "CRestExecutor::SaveFailedRequestOfUpdateStatus";
const std::string kResendWhere = "CRestExecutor::SendSavedSilentUpdateStatus";
const std::string kQueueWhere = "CRestExecutor::SendSilentUpdateStatus";

// The store of reports that still have to reach the server.
constexpr int kFailedReportStore = 1;

std::vector<web::json::value> StoredReports(IConfigurationManager& configuration) {
  const web::json::value stored = configuration.ReadSilentUpdates(kFailedReportStore);
  if (!stored.is_array()) return {};
  return std::vector<web::json::value>(stored.as_array().begin(), stored.as_array().end());
}

web::json::value AsArray(const std::vector<web::json::value>& elements) {
  web::json::value list = web::json::value::array(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) list[i] = elements[i];
  return list;
}

// The text a stored report is queued with; also how an answered message is
// matched back to its entry in the store.
std::string QueuedText(const web::json::value& element) {
  return SilentUpdateStatus::ToJsonString(SilentUpdateStatus::ConvertJsonString(element.serialize()));
}

int RequiredId(const web::json::value& report, const char* key) { return report.at(key).as_integer(); }

bool IsPlaceholderDevice(const SilentUpdateStatus& status) {
  return status.DeviceID.empty() || ToUtf8(status.DeviceID) == "0000000000000000";
}

// Removes the first stored report that was queued as `text`.
void RemoveStoredReport(IConfigurationManager& configuration, const std::string& text) {
  std::vector<web::json::value> elements = StoredReports(configuration);
  for (auto it = elements.begin(); it != elements.end(); ++it) {
    if (QueuedText(*it) == text) {
      elements.erase(it);
      configuration.WriteSilentUpdates(AsArray(elements), kFailedReportStore);
      return;
    }
  }
}

}  // namespace

void CRestExecutor::ManageDeviceUpdtStatus(const RestMessage& message) {
  const std::string& report = message.data();
  // A re-sent stored report is still in the store; it must not be stored a
  // second time when it fails again, and it leaves the store when accepted.
  bool fromStore = false;
  if (auto it = storedReportsQueued_.find(report); it != storedReportsQueued_.end()) {
    storedReportsQueued_.erase(it);
    fromStore = true;
  }
  auto keep = [&] {
    if (!fromStore) SaveFailedRequestOfUpdateStatus(report);
  };
  // Answers after which a report is not tried again: a stored one leaves
  // the store, or it would be re-sent at every heart beat.
  auto drop = [&] {
    if (fromStore) RemoveStoredReport(*configuration_, report);
  };

  try {
    SendUpdateStatusReport(report, keep);
    drop();
  } catch (const web::http::http_exception& e) {
    // Not waited for on the worker: a wait would hold every request queued
    // behind it, heart beats included. The report waits in its store and
    // goes again after the next heart beat.
    NoteUnsentUpdateStatus(e);
    keep();
  } catch (const web::json::json_exception& e) {
    Log(5, kStatusWhere, e.what());
    drop();
  } catch (const std::system_error& e) {
    Log(5, kStatusWhere, e.what());
    drop();
  }
}

// One attempt. An answer that refuses the report keeps it (`keep`) and
// throws; any other answer, an empty one too, is the last word on it.
void CRestExecutor::SendUpdateStatusReport(const std::string& report, const std::function<void()>& keep) {
  const std::string answerText = Execute(DEVICE_UPDATE_STATUS_REQ, report);
  if (answerText.empty()) {
    Log(2, kStatusWhere, "Device update status response is empty");
    return;
  }
  Log(2, kStatusWhere, "Device Update Status response : " + answerText);
  const web::json::value answer = ParseAnswer(answerText);
  if (!answer.at("validateResponseStatus").as_bool()) {
    keep();
    throw AgentException("Update response is false");
  }
  if (answer.at("ResposeCommand").as_integer() == 45) {
    keep();
    throw AgentException("Unknown Command received from server");
  }
  if (ReadOutcome(answer)) {
    Log(2, kStatusWhere, "Upgrade Status updated successfully");
    MarkServerSeen();
  }
}

void CRestExecutor::NoteUnsentUpdateStatus(const std::exception& e) {
  Log(3, kStatusWhere, e.what());
  Log(3, kStatusWhere, "Please check network connection");
  AlertServerUnreachable();
}

bool CRestExecutor::SaveFailedRequestOfUpdateStatus(const std::string& report) {
  try {
    const web::json::value parsed = web::json::value::parse(report);
    SilentUpdateStatus status;
    status.DeviceID = ToWide(parsed.at("DeviceID").as_string());
    status.Updatestatus = ToWide(parsed.at("Updatestatus").as_string());
    status.UploadID = RequiredId(parsed, "UploadID");
    status.UpdateSchedularID = RequiredId(parsed, "UpdateSchedularID");
    status.Reason = ToWide(parsed.at("Reason").as_string());

    std::vector<web::json::value> elements = StoredReports(*configuration_);
    elements.push_back(web::json::value::parse(SilentUpdateStatus::ToJsonString(status)));
    configuration_->WriteSilentUpdates(AsArray(elements), kFailedReportStore);
    return true;
  } catch (const web::json::json_exception& e) {
    Log(5, kSaveWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kSaveWhere, e.what());
  } catch (const std::exception& e) {
    // A store that cannot be written (a full disk): the caller goes on.
    Log(3, kSaveWhere, std::string("Update status report not stored: ") + e.what());
  }
  return false;
}

void CRestExecutor::SendSavedSilentUpdateStatus() {
  try {
    const std::vector<web::json::value> elements = StoredReports(*configuration_);
    // A store that is not a list holds nothing to send; it is reset to one.
    if (elements.empty() && !configuration_->ReadSilentUpdates(kFailedReportStore).is_array())
      configuration_->WriteSilentUpdates(web::json::value::array(), kFailedReportStore);
    std::vector<web::json::value> remaining;
    std::map<std::string, std::size_t> seen;
    for (const auto& element : elements) {
      const SilentUpdateStatus status = SilentUpdateStatus::ConvertJsonString(element.serialize());
      // A report without a real device can never be accepted: drop it.
      if (IsPlaceholderDevice(status)) continue;
      remaining.push_back(element);
      // Queue each stored copy once; copies already queued by an earlier
      // heart beat are still on their way.
      const std::string text = SilentUpdateStatus::ToJsonString(status);
      if (storedReportsQueued_.count(text) < ++seen[text]) {
        SendSilentUpdateStatus(status);
        storedReportsQueued_.insert(text);
      }
    }
    if (remaining.size() != elements.size())
      configuration_->WriteSilentUpdates(AsArray(remaining), kFailedReportStore);
  } catch (const web::json::json_exception& e) {
    Log(5, kResendWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kResendWhere, e.what());
  }
}

void CRestExecutor::SendSilentUpdateStatus(const SilentUpdateStatus& status) {
  try {
    if (IsPlaceholderDevice(status)) return;
    const std::string text = SilentUpdateStatus::ToJsonString(status);
    Log(2, kQueueWhere, "Device update status Request: " + text);
    RestMessage message;
    message.setType(DEVICE_UPDATE_STATUS_REQ);
    message.setData(text.data(), text.size());
    queue_->pushMsg(message);
  } catch (const web::json::json_exception& e) {
    Log(5, kQueueWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kQueueWhere, e.what());
  }
}
