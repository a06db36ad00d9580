// Telling the server what the response processor did with configurations
// and cancellations, and asking for a full resynchronisation of the lists.
#include <exception>
#include <system_error>

#include "CQLResponse.h"
#include "RestRequestType.h"

using namespace zelvan::fennic;

namespace {
web::json::value ConfigurationBody(const char* url, const char* requestType, const char* requestData,
                                   const std::vector<AckRecord>& records) {
  web::json::value data = web::json::value::array(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    web::json::value entry = web::json::value::object();
    entry["UploadID"] = web::json::value::number(records[i].UploadID);
    entry["Status"] = web::json::value::boolean(records[i].success);
    entry["UpdateSchedularID"] = web::json::value::number(records[i].UpdateSchedulerId);
    data[i] = entry;
  }
  web::json::value body = web::json::value::object();
  body["URL"] = web::json::value::string(url);
  body["RequestType"] = web::json::value::string(requestType);
  body["RequestData"] = web::json::value::string(requestData);
  body["ConfigData"] = data;
  return body;
}

RestMessage MessageOf(int type, const std::string& text) {
  RestMessage message;
  message.setType(type);
  message.setData(text.data(), text.size());
  return message;
}
}  // namespace

void CQLResponse::sendCancelReceivedStatus() {
  const std::string where = "CQLResponse::sendCancelReceivedStatus";
  try {
    web::json::value body = web::json::value::array(cancelUpdateAcks_.size());
    for (std::size_t i = 0; i < cancelUpdateAcks_.size(); ++i) {
      web::json::value entry = web::json::value::object();
      entry["UploadID"] = web::json::value::number(cancelUpdateAcks_[i].UploadID);
      entry["UpdateSchedulerId"] = web::json::value::number(cancelUpdateAcks_[i].UpdateSchedulerId);
      entry["Status"] = web::json::value::string(cancelUpdateAcks_[i].success ? "Success" : "Failed");
      body[i] = entry;
    }
    PushMessage(MessageOf(CANCEL_RECEIVED_ACK_REQ, body.serialize()));
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
  }
}

void CQLResponse::sendConfigurationReceivedStatus() {
  const std::string where = "CQLResponse::sendConfigurationReceivedStatus";
  try {
    const web::json::value body = ConfigurationBody("/api/ManageAgent/ConfigurationDownloadAck/",
                                                    "APP_CONFIG_ACK_REQ", "DownloadDetails", configAcks_);
    PushMessage(MessageOf(CONFIG_ACK_REQ, body.serialize()));
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
  }
}

void CQLResponse::sendCancelConfigurationReceivedStatus() {
  const std::string where = "CQLResponse::sendCancelConfigurationReceivedStatus";
  try {
    const web::json::value body = ConfigurationBody("/api/ManageAgent/ConfigurationCancelAck/",
                                                    "APP_CONFIG_CANCEL_ACK_REQ", "CancelledDetails", cancelConfigAcks_);
    PushMessage(MessageOf(CONFIG_ACK_REQ, body.serialize()));
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
  }
}

void CQLResponse::PushRestMessageforUpdateSync() {
  Log(2, "CQLResponse::PushRestMessageforUpdateSync", " => Message Pushed : GET_ALL_UPDATES_REQ ");
  // Straight onto the queue: a resynchronisation bypasses the once-only flag.
  RestMessage message;
  message.setType(GET_ALL_UPDATES_REQ);
  PushMessage(message);
}
