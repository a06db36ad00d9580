// Reading update descriptions into download records: the check that a
// description can be read whole, the conversion, and the map of a list.
#include "UpdateDescriptions.h"

#include <system_error>

#include "TextConversion.h"
#include "UpdatesDownload.h"

using namespace zelvan::fennic;

namespace {

const std::string kConvertWhere = "UpdatesDownload::convertUpdateJsonToMap";

// A description's members, found in one pass over the object instead of one
// search per member: on lists of thousands of updates the searches cost more
// than the conversion, and the fault check and the reading share the pass.
// The first member of a name is the one a search finds too. A member not
// found is read through at() after all, so a missing one raises the JSON
// library's own exception, in read order.
template <typename Value>  // web::json::value, const or not
struct MembersOf {
  enum Slot { Product, Urls, Url, Version, Type, Scheduled, Action, UploadId, SchedulerId, Deployed, Force, Status, Count };
  Value* found[Count] = {};
  bool isObject = false;

  explicit MembersOf(Value& update) : isObject(update.is_object()) {
    if (!isObject) return;  // at() then raises "not an object"
    for (auto& member : update.as_object()) {
      int slot = 0;
      while (slot < Count && member.first != MemberName(slot)) ++slot;
      if (slot < Count && found[slot] == nullptr) found[slot] = &member.second;
    }
  }
  static const std::string& MemberName(int slot) {
    static const std::string names[Count] = {
        "IProduct", "UpdatesURLs", "UpdatesURL",         "Version",     "Type",          "ScheduledTime",
        "Action",   "UploadID",    "UpdateSchedulerId", "updateDeployedTime", "ForceUpdate", "downloadStatus"};
    return names[slot];
  }
  bool Has(Slot slot) const { return found[slot] != nullptr; }
  Value& At(Value& update, Slot slot) { return found[slot] != nullptr ? *found[slot] : update.at(MemberName(slot)); }
  bool IsId(Slot slot) const { return Has(slot) && found[slot]->is_integer() && found[slot]->as_number().is_int32(); }
  bool IsText(Slot slot) const { return Has(slot) && found[slot]->is_string(); }
};
using DescriptionMembers = MembersOf<web::json::value>;

// Why a description cannot be read whole, from its members; empty when it can.
template <typename Value>
std::string FaultOf(const MembersOf<Value>& members) {
  using M = MembersOf<Value>;
  if (!members.isObject) return "not an object";
  for (const auto id : {M::SchedulerId, M::UploadId})
    if (!members.IsId(id)) return "\"" + M::MemberName(id) + "\" is not a 32-bit integer";
  for (const auto text : {M::Product, M::Version, M::Type, M::Scheduled, M::Action, M::Deployed, M::Force})
    if (!members.IsText(text)) return "\"" + M::MemberName(text) + "\" is missing or not text";
  if (!members.Has(M::Urls) && !members.IsText(M::Url))
    return "no \"UpdatesURLs\" and \"UpdatesURL\" is missing or not text";
  if (members.Has(M::Status) && !members.found[M::Status]->is_boolean())
    return "\"downloadStatus\" is not true or false";
  return std::string();
}

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
  return FaultOf(MembersOf<const web::json::value>(update));
}

bool IsIdMember(const web::json::value& entry, const std::string& name) {
  return entry.has_field(name) && entry.at(name).is_integer() && entry.at(name).as_number().is_int32();
}

int UpdateIdOf(const web::json::value& update) {
  return update.at(DescriptionMembers::MemberName(DescriptionMembers::SchedulerId)).as_integer();
}

}  // namespace zelvan::fennic

UpdateRecord UpdatesDownload::convertUpdateJsonToMap(web::json::value update, bool defaultStatus) {
  UpdateRecord record;
  ReadDescription(update, defaultStatus, record, nullptr);
  return record;
}

// False when a lookup failed part way: the record is then not whole. With
// `fault` given, a description with a fault is not read and `fault` says why.
bool UpdatesDownload::ReadDescription(web::json::value& update, bool defaultStatus, UpdateRecord& record,
                                      std::string* fault) {
  try {
    DescriptionMembers members(update);
    if (fault != nullptr && !(*fault = FaultOf(members)).empty()) return false;
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
    std::string fault;
    UpdateRecord record;
    if (!ReadDescription(update, false, record, &fault)) {
      skipped.Add(fault.empty() ? std::string("Update entry skipped (not read whole)")
                                : "Update entry skipped (" + fault + ")");
    } else {
      map.emplace(std::to_string(record.UpdateSchedulerId), std::move(record));
    }
  }
  skipped.Flush([&](const std::string&, const std::string& line) { Log(3, kWhere, line); });
  return map;
}
