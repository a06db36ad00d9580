// The host's stop without loss: what is still queued at the drain's bound is
// kept for the next start instead of being discarded with the queue, and
// queued again once a token is loaded.
#include <cpprest/json.h>

#include <exception>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "QueueGate.h"
#include "RestRequestType.h"

using namespace zelvan::fennic;

namespace {

const std::string kKeepWhere = "CRestExecutor::DrainQueue";
const std::string kRequeueWhere = "CRestExecutor::RequeueKeptAcknowledgements";
const char* const kKeptAcksFile = "PendingAcks.dat";

bool IsAcknowledgement(int type) {
  return type == DOWNLOAD_STATUS_REQ || type == CANCEL_RECEIVED_ACK_REQ || type == CONFIG_ACK_REQ;
}

web::json::value KeptAcks(IConfigurationManager& configuration) {
  web::json::value kept = configuration.ReadJsonFile(kKeptAcksFile);
  return kept.is_array() ? kept : web::json::value::array();
}

}  // namespace

void CRestExecutor::KeepUnsentReports(const std::vector<RestMessage>& messages) {
  web::json::value acks = web::json::value::array();
  std::size_t reports = 0;
  for (const RestMessage& message : messages) {
    const int type = message.getType();
    if (type == DEVICE_UPDATE_STATUS_REQ) {
      // A report re-sent from its store is still there.
      if (auto it = storedReportsQueued_.find(message.getData()); it != storedReportsQueued_.end()) {
        storedReportsQueued_.erase(it);
        continue;
      }
      if (SaveFailedRequestOfUpdateStatus(message.getData())) ++reports;
    } else if (IsAcknowledgement(type)) {
      web::json::value entry = web::json::value::object();
      entry["Type"] = web::json::value::number(type);
      entry["Data"] = web::json::value::string(message.getData());
      acks[acks.size()] = entry;
    }
  }
  if (acks.size() > 0) {
    try {
      // A host thread may be loading the configuration (and requeueing
      // this file) while another drains at a stop.
      std::lock_guard<std::mutex> hold(keptAcksLock_);
      web::json::value kept = KeptAcks(*configuration_);
      for (const auto& entry : acks.as_array()) kept[kept.size()] = entry;
      configuration_->WriteJsonFile(kept, kKeptAcksFile);
    } catch (const std::exception& e) {
      // The stop goes on; the line says what could not be kept.
      Log(3, kKeepWhere, "Not kept: " + std::to_string(acks.size()) + " acknowledgement(s) (" + e.what() + ")");
      acks = web::json::value::array();
    }
  }
  Log(2, kKeepWhere,
      "Kept for the next start: " + std::to_string(acks.size()) + " acknowledgement(s), " + std::to_string(reports) +
          " update status report(s)");
}

// What a message the guard dropped leaves behind. A stored report is marked
// while queued so a second heart beat does not queue it twice; dropped, it is
// on its way no more, and unmarked it is queued again by the next heart beat.
// A dropped update-check request ends the check, or the host would wait for
// its end for good; a dropped download fails its entry. Worker only.
void CRestExecutor::AfterGuardDrop(const RestMessage& message) {
  const int type = message.getType();
  if (type == GET_UPDATES_REQ || type == GET_ALL_UPDATES_REQ || type == CANCEL_UPDATE_REQ || type == HEART_BEAT_REQ)
    EndFailedRequest(type, false);
  if (type == DOWNLOAD_FILES && responseProcessor_) {
    // Left listed, the entry would hold every later check open: it fails
    // like one without an answer, and the check ends once the list is empty.
    responseProcessor_->HandleDownloadResponse(std::string(), message.getTarget(), message.getDownloadKey(),
                                               message.getData());
    if (responseProcessor_->GetPendingDownloadCount() == 0) FinishUpdateCheck();
  }
  if (type != DEVICE_UPDATE_STATUS_REQ) return;
  if (auto it = storedReportsQueued_.find(message.getData()); it != storedReportsQueued_.end())
    storedReportsQueued_.erase(it);
}

void CRestExecutor::RequeueKeptAcknowledgements() {
  try {
    std::lock_guard<std::mutex> hold(keptAcksLock_);
    const web::json::value kept = KeptAcks(*configuration_);
    if (kept.size() == 0) return;
    std::vector<RestMessage> messages;
    for (const auto& entry : kept.as_array()) {
      // The store is ours, but a file can be damaged: only what this
      // executor kept goes back on the queue.
      const bool usable = entry.has_integer_field("Type") && IsAcknowledgement(entry.at("Type").as_integer()) &&
                          entry.has_string_field("Data");
      if (!usable) {
        Log(3, kRequeueWhere, "Kept acknowledgement dropped, not usable: " + entry.serialize());
        continue;
      }
      const std::string& data = entry.at("Data").as_string();
      RestMessage message;
      message.setType(entry.at("Type").as_integer());
      message.setData(data.data(), data.size());
      messages.push_back(message);
    }
    // Once the worker is stopping they stay in their store for the next start:
    // queued now, they would be discarded with the queue.
    bool queued = false;
    QueueGate::WhileOpen([&] {
      if (!queue_ || !running_.load()) return;
      for (const RestMessage& message : messages) queue_->pushMsg(message);
      queued = true;
    });
    if (!queued) return;
    // Handed back to the queue: a later stop keeps them again if need be.
    configuration_->WriteJsonFile(web::json::value::array(), kKeptAcksFile);
    Log(2, kRequeueWhere, "Queued again: " + std::to_string(messages.size()) + " kept acknowledgement(s)");
  } catch (const std::exception& e) {
    Log(5, kRequeueWhere, e.what());
  }
}
