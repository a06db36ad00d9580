#include "SilentUpdateStatus.h"

#include <cpprest/json.h>

#include <exception>

#include "IAgentUtils.h"
#include "TextConversion.h"

namespace zelvan::fennic {

namespace {

const std::string kConvertWhere = "zelvan::fennic::SilentUpdateStatus::ConvertJsonString";
const std::string kToJsonWhere = "zelvan::fennic::SilentUpdateStatus::ToJsonString";

void LogFailure(const std::string& where, const char* what) {
  if (auto logger = IAgentUtils::getLogManager()) logger->Log(5, where, what);
}

bool Present(const web::json::value& doc, const char* key) { return doc.has_field(key) && !doc.at(key).is_null(); }

}  // namespace

SilentUpdateStatus SilentUpdateStatus::ConvertJsonString(const std::string& text) {
  SilentUpdateStatus status;
  try {
    const web::json::value doc = web::json::value::parse(text);
    if (Present(doc, "DeviceID")) status.DeviceID = ToWide(doc.at("DeviceID").as_string());
    if (Present(doc, "Updatestatus")) status.Updatestatus = ToWide(doc.at("Updatestatus").as_string());
    if (Present(doc, "Reason")) status.Reason = ToWide(doc.at("Reason").as_string());
    if (Present(doc, "UploadID")) status.UploadID = doc.at("UploadID").as_integer();
    if (Present(doc, "UpdateSchedularID")) status.UpdateSchedularID = doc.at("UpdateSchedularID").as_integer();
  } catch (const web::json::json_exception& e) {
    LogFailure(kConvertWhere, e.what());
  } catch (const std::bad_exception& e) {
    LogFailure(kConvertWhere, e.what());
  }
  return status;
}

std::string SilentUpdateStatus::ToJsonString(const SilentUpdateStatus& status) {
  try {
    web::json::value doc = web::json::value::object(true);
    doc["DeviceID"] = web::json::value::string(ToUtf8(status.DeviceID));
    doc["Updatestatus"] = web::json::value::string(ToUtf8(status.Updatestatus));
    doc["Reason"] = web::json::value::string(ToUtf8(status.Reason));
    doc["UploadID"] = web::json::value::number(status.UploadID);
    doc["UpdateSchedularID"] = web::json::value::number(status.UpdateSchedularID);
    return doc.serialize();
  } catch (const web::json::json_exception& e) {
    LogFailure(kToJsonWhere, e.what());
  } catch (const std::bad_exception& e) {
    LogFailure(kToJsonWhere, e.what());
  }
  return std::string();
}

}  // namespace zelvan::fennic
