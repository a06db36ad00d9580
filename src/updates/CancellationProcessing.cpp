#include <algorithm>
#include <system_error>

#include "AgentException.h"
#include "CQLResponse.h"
#include "UpdateDescriptions.h"

using namespace zelvan::fennic;

namespace {
const char* const kUpdateFile = "Update.dat";
const char* const kConfigFile = "Config.dat";
const std::string kId = "UpdateSchedulerId";  // built once, not per lookup

std::vector<web::json::value> ElementsOf(web::json::value& document) {
  std::vector<web::json::value> elements;
  if (document.is_array())
    for (auto& element : document.as_array()) elements.push_back(std::move(element));
  return elements;
}

// A stored entry without an integer id matches no cancellation: it is kept,
// and the others are still found.
bool HasId(const web::json::value& entry, int id) {
  return entry.is_object() && entry.has_field(kId) && entry.at(kId).is_integer() && entry.at(kId).as_integer() == id;
}

// Reads a cancellation's ids; false, with one line per kind of fault, for an
// entry without them: it is skipped and the rest of its answer goes on.
bool ReadCancellation(const web::json::value& cancelled, int& schedulerId, int& uploadId, RepeatedLines& skipped) {
  if (!cancelled.is_object() || !IsIdMember(cancelled, kId) || !IsIdMember(cancelled, "UploadID")) {
    skipped.Add("Cancellation entry skipped (\"UpdateSchedulerId\" or \"UploadID\" is not a 32-bit integer)");
    return false;
  }
  schedulerId = cancelled.at(kId).as_integer();
  uploadId = cancelled.at("UploadID").as_integer();
  return true;
}
}  // namespace

void CQLResponse::ProcessGetCancelResponse(const std::string& response) {
  static const std::string kWhere = "CQLResponse::ProcessGetCancelResponse";
  try {
    web::json::value answer = web::json::value::parse(response);
    if (!answer.at("validateResponseStatus").as_bool()) {
      Log(5, kWhere, "Server throws Exception");
      return;
    }
    if (answer.at("ResposeCommand").as_integer() == 45) {
      Log(5, kWhere, "Unknown Command received from server");
      return;
    }
    const bool outcome = (!answer.has_field("validateResponse") && answer.has_field("validateResponseFromServer"))
                             ? answer.at("validateResponseFromServer").as_bool()
                             : answer.at("validateResponse").as_bool();
    if (!outcome) {
      Log(5, kWhere, "Bad Response");
      return;
    }
    Log(2, kWhere, "Cancel has been received successfully");
    web::json::value& body = answer.at("ResponseBody");
    // Updates always go before configurations.
    if (body.has_field("CancelledUpdates")) ProcessGetCancelUpdateResponse(body.at("CancelledUpdates"));
    if (body.has_field("CancelledConfigs")) ProcessGetCancelDeviceConfigResponse(body.at("CancelledConfigs"));
  } catch (const web::json::json_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  }
}

void CQLResponse::ProcessGetCancelUpdateResponse(web::json::value cancelledUpdates) {
  static const std::string kWhere = "CQLResponse::ProcessGetCancelUpdateResponse";
  try {
    web::json::value storedDocument = configuration_->ReadJsonFile(kUpdateFile);
    web::json::value silentDocument = configuration_->ReadSilentUpdates(0);
    if (cancelledUpdates.size() == 0 || !cancelledUpdates.is_array()) {
      Log(3, kWhere, "field is empty");
      return;
    }
    std::vector<web::json::value> stored = ElementsOf(storedDocument);
    std::vector<web::json::value> storedSilent = ElementsOf(silentDocument);
    RemoveCancelledUpdates(cancelledUpdates, stored, storedSilent);
  } catch (const web::json::json_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const AgentException& e) {
    Log(5, kWhere, "Agent Exception Code " + std::to_string(e.code()));
    if (e.code() == 0) PushRestMessageforUpdateSync();
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  }
}

// An id is removed wherever "Update.dat" holds it; only when it holds none is
// the silent store searched, and then up to its first match only. Nothing is
// written before every entry has been read, so a bad entry leaves the stores
// as they were.
void CQLResponse::RemoveCancelledUpdates(const web::json::value& cancelledUpdates,
                                         std::vector<web::json::value>& stored,
                                         std::vector<web::json::value>& storedSilentUpdates) {
  cancelUpdateAcks_.clear();
  bool silentChanged = false;
  RepeatedLines skipped;
  for (const auto& cancelled : cancelledUpdates.as_array()) {
    int schedulerId = 0, uploadId = 0;
    if (!ReadCancellation(cancelled, schedulerId, uploadId, skipped)) continue;
    const auto sameId = [schedulerId](const web::json::value& entry) { return HasId(entry, schedulerId); };
    const auto removed = std::remove_if(stored.begin(), stored.end(), sameId);
    if (removed == stored.end()) {
      const auto first = std::find_if(storedSilentUpdates.begin(), storedSilentUpdates.end(), sameId);
      if (first != storedSilentUpdates.end()) storedSilentUpdates.erase(first);
      silentChanged = true;
    }
    stored.erase(removed, stored.end());
    cancelUpdateAcks_.push_back({uploadId, schedulerId, true});
  }
  skipped.Flush([&](const std::string&, const std::string& line) { Log(3, "CQLResponse::RemoveCancelledUpdates", line); });
  if (silentChanged) configuration_->WriteSilentUpdates(web::json::value::array(storedSilentUpdates), 0);
  configuration_->WriteJsonFile(web::json::value::array(stored), kUpdateFile);
  sendCancelReceivedStatus();
}

void CQLResponse::ProcessGetCancelDeviceConfigResponse(web::json::value cancelledConfigs) {
  static const std::string kWhere = "CQLResponse::ProcessGetCancelDeviceConfigResponse";
  try {
    cancelConfigAcks_.clear();
    web::json::value storedDocument = configuration_->ReadJsonFile(kConfigFile);
    if (cancelledConfigs.size() > 0 && cancelledConfigs.is_array()) {
      std::vector<web::json::value> stored = ElementsOf(storedDocument);
      RepeatedLines skipped;
      for (const auto& cancelled : cancelledConfigs.as_array()) {
        int schedulerId = 0, uploadId = 0;
        if (ReadCancellation(cancelled, schedulerId, uploadId, skipped)) RemoveCancelledConfig(schedulerId, uploadId, stored);
      }
      skipped.Flush([&](const std::string&, const std::string& line) { Log(3, kWhere, line); });
      configuration_->WriteJsonFile(web::json::value::array(std::move(stored)), kConfigFile);
      FillTenantConfig();
      sendCancelConfigurationReceivedStatus();
    } else {
      Log(3, kWhere, "field is empty");
    }
  } catch (const web::json::json_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const AgentException& e) {
    Log(5, kWhere, "Agent Exception Code " + std::to_string(e.code()));
    if (e.code() == 0) PushRestMessageforUpdateSync();
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const std::system_error& e) {
    Log(5, kWhere, e.what());
  }
}

void CQLResponse::RemoveCancelledConfig(int schedulerId, int uploadId, std::vector<web::json::value>& storedConfigs) {
  const auto sameId = [schedulerId](const web::json::value& entry) { return HasId(entry, schedulerId); };
  storedConfigs.erase(std::remove_if(storedConfigs.begin(), storedConfigs.end(), sameId), storedConfigs.end());
  cancelConfigAcks_.push_back({uploadId, schedulerId, true});
}
