// Reading update descriptions into download records: the check that a
// description can be read whole, the conversion, and the map of a list.
#include "UpdateDescriptions.h"

#include <system_error>

#include "TextConversion.h"
#include "UpdatesDownload.h"

using namespace zelvan::fennic;

namespace {

const std::string kConvertWhere = "UpdatesDownload::convertUpdateJsonToMap";

bool IsId(const web::json::value& update, const char* name) {
  if (!update.has_field(name)) return false;
  const web::json::value& id = update.at(name);
  return id.is_integer() && id.as_number().is_int32();
}

bool IsText(const web::json::value& update, const char* name) {
  return update.has_field(name) && update.at(name).is_string();
}

// A description's members, found in one pass over the object instead of one
// search per member: on lists of thousands of updates the searches cost more
// than the conversion. A member not found is read through at() after all,
// so a missing one raises the JSON library's own exception, in read order.
struct DescriptionMembers {
  enum Slot { Product, Urls, Url, Version, Type, Scheduled, Action, UploadId, SchedulerId, Deployed, Force, Status, Count };
  static const std::string kNames[Count];
  web::json::value* found[Count] = {};

  explicit DescriptionMembers(web::json::value& update) {
    if (!update.is_object()) return;  // at() then raises "not an object"
    for (auto& member : update.as_object()) {
      int slot = 0;
      while (slot < Count && member.first != kNames[slot]) ++slot;
      if (slot < Count && found[slot] == nullptr) found[slot] = &member.second;
    }
  }
  bool Has(Slot slot) const { return found[slot] != nullptr; }
  web::json::value& At(web::json::value& update, Slot slot) {
    return found[slot] != nullptr ? *found[slot] : update.at(kNames[slot]);
  }
};

const std::string DescriptionMembers::kNames[Count] = {
    "IProduct", "UpdatesURLs", "UpdatesURL",         "Version",     "Type",          "ScheduledTime",
    "Action",   "UploadID",    "UpdateSchedulerId", "updateDeployedTime", "ForceUpdate", "downloadStatus"};

// The members after the address, in the order the description format lists
// them; a missing or mistyped one raises the JSON library's exception.
void ReadDescriptionFields(web::json::value& update, DescriptionMembers& members, bool defaultStatus,
                           UpdateRecord& record) {
  using M = DescriptionMembers;
  const std::string& version = members.At(update, M::Version).as_string();
  const std::string& type = members.At(update, M::Type).as_string();
  const std::string& scheduled = members.At(update, M::Scheduled).as_string();
  const std::string& action = members.At(update, M::Action).as_string();
  const int uploadId = members.At(update, M::UploadId).as_integer();
  const int schedulerId = members.At(update, M::SchedulerId).as_integer();
  const std::string& deployed = members.At(update, M::Deployed).as_string();
  const std::string& force = members.At(update, M::Force).as_string();
  record.Version = ToWide(version);
  record.Type = ToWide(type);
  record.ScheduledTime = ToWide(scheduled);
  record.Action = ToWide(action);
  record.UploadID = uploadId;
  record.UpdateSchedulerId = schedulerId;
  record.updateDeployedTime = ToWide(deployed);
  record.ForceUpdate = ToWide(force);
  record.downloadStatus = members.Has(M::Status) ? members.At(update, M::Status).as_bool() : defaultStatus;
}
}  // namespace

namespace zelvan::fennic {

std::string UpdateDescriptionFault(const web::json::value& update) {
  if (!update.is_object()) return "not an object";
  for (const char* id : {"UpdateSchedulerId", "UploadID"})
    if (!IsId(update, id)) return std::string("\"") + id + "\" is not a 32-bit integer";
  for (const char* text :
       {"IProduct", "Version", "Type", "ScheduledTime", "Action", "updateDeployedTime", "ForceUpdate"})
    if (!IsText(update, text)) return std::string("\"") + text + "\" is missing or not text";
  if (!update.has_field("UpdatesURLs") && !IsText(update, "UpdatesURL"))
    return "no \"UpdatesURLs\" and \"UpdatesURL\" is missing or not text";
  if (update.has_field("downloadStatus") && !update.at("downloadStatus").is_boolean())
    return "\"downloadStatus\" is not true or false";
  return std::string();
}

int UpdateIdOf(const web::json::value& update) { return update.at("UpdateSchedulerId").as_integer(); }

}  // namespace zelvan::fennic

UpdateRecord UpdatesDownload::convertUpdateJsonToMap(web::json::value update, bool defaultStatus) {
  UpdateRecord record;
  ReadDescription(std::move(update), defaultStatus, record);
  return record;
}

// False when a lookup failed part way: the record is then not whole.
bool UpdatesDownload::ReadDescription(web::json::value update, bool defaultStatus, UpdateRecord& record) {
  try {
    DescriptionMembers members(update);
    record.IProduct = ToWide(members.At(update, DescriptionMembers::Product).as_string());
    if (members.Has(DescriptionMembers::Urls)) {
      record.URLSource = std::move(members.At(update, DescriptionMembers::Urls));
      record.URL = configuration_->ResolveUpdateUrl(record.URLSource, ToUtf8(record.IProduct), std::string());
    } else {
      record.URLSource = std::move(members.At(update, DescriptionMembers::Url));
      record.URL = ToWide(record.URLSource.as_string());
    }
    ReadDescriptionFields(update, members, defaultStatus, record);
    return true;
  } catch (const std::system_error& e) {
    Log(5, kConvertWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kConvertWhere, e.what());
  }
  return false;
}

// A stored list that was never written is null: nothing to say about it. An
// entry that cannot be read whole is skipped, never spoiling the others.
std::map<std::string, UpdateRecord> UpdatesDownload::ConstructMapFromJSON(web::json::value updates) {
  static const std::string kWhere = "UpdatesDownload::ConstructMapFromJSON";
  std::map<std::string, UpdateRecord> map;
  if (!updates.is_array()) {
    Log(updates.is_null() ? 2 : 3, kWhere, "Download Object is not a JSON array");
    return map;
  }
  RepeatedLines skipped;
  for (auto& update : updates.as_array()) {
    const std::string fault = UpdateDescriptionFault(update);
    UpdateRecord record;
    if (!fault.empty()) {
      skipped.Add("Update entry skipped (" + fault + ")");
    } else if (!ReadDescription(std::move(update), false, record)) {
      skipped.Add("Update entry skipped (not read whole)");
    } else {
      map.emplace(std::to_string(record.UpdateSchedulerId), std::move(record));
    }
  }
  skipped.Flush([&](const std::string&, const std::string& line) { Log(3, kWhere, line); });
  return map;
}
