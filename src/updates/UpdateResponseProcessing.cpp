#include <algorithm>
#include <optional>
#include <unordered_set>

#include "AgentException.h"
#include "CQLResponse.h"
#include "TextConversion.h"
#include "UpdateDescriptions.h"

using namespace zelvan::fennic;

namespace {
const char* const kUpdateFile = "Update.dat";
const char* const kConfigFile = "Config.dat";
// Keys built once, not per lookup.
const std::string kStatus = "downloadStatus";
const std::string kUrls = "UpdatesURLs";
const std::string kAction = "Action";
const std::string kId = "UpdateSchedulerId";

// The id of a stored entry; one without an integer id matches none.
std::optional<int> StoredId(const web::json::value& stored) {
  if (!stored.has_field(kId) || !stored.at(kId).is_integer()) return std::nullopt;
  return stored.at(kId).as_integer();
}

// Whether two values serialize to the same text, without serializing them:
// values of different kinds never do, strings and keys escape one to one,
// and members serialize in the order they are held.
bool SameText(const web::json::value& a, const web::json::value& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case web::json::value::Null:
      return true;
    case web::json::value::Boolean:
      return a.as_bool() == b.as_bool();
    case web::json::value::String:
      return a.as_string() == b.as_string();
    case web::json::value::Array: {
      const auto& left = a.as_array();
      const auto& right = b.as_array();
      if (left.size() != right.size()) return false;
      for (auto l = left.begin(), r = right.begin(); l != left.end(); ++l, ++r)
        if (!SameText(*l, *r)) return false;
      return true;
    }
    case web::json::value::Object: {
      const auto& left = a.as_object();
      const auto& right = b.as_object();
      if (left.size() != right.size()) return false;
      for (auto l = left.begin(), r = right.begin(); l != left.end(); ++l, ++r)
        if (l->first != r->first || !SameText(l->second, r->second)) return false;
      return true;
    }
    default:  // numbers: an integer and a double may still print alike
      return a.serialize() == b.serialize();
  }
}

// The stored download flag after comparing addresses: a stored "downloaded"
// holds only while the address text is the same as the one downloaded from.
// A stored entry without a source compares as empty text, which no value is.
bool StatusAfterUrlCompare(const web::json::value& update, const UpdateRecord& stored) {
  const auto& members = update.as_object();
  const auto urls = members.find(kUrls);
  if (urls == members.end()) return stored.getDownloadStatus();
  const web::json::value& source = stored.getURLSource();
  return !source.is_null() && SameText(urls->second, source) ? stored.getDownloadStatus() : false;
}

// Sets the entry's flag; a flag that already holds the value is left as it
// is, which saves an allocation per entry on large lists.
void SetStatus(web::json::value& update, bool downloaded) {
  web::json::value& current = update[kStatus];  // one search; added when absent
  if (current.is_boolean() && current.as_bool() == downloaded) return;
  current = web::json::value::boolean(downloaded);
}

// The outcome member of these answers; some servers send it under the
// name used by the processor's other answers.
bool ReadUpdateOutcome(const web::json::value& answer) {
  if (!answer.has_field("validateResponse") && answer.has_field("validateResponseFromServer"))
    return answer.at("validateResponseFromServer").as_bool();
  return answer.at("validateResponse").as_bool();
}

// An object holding only the named member of the body, moved out of it. A
// body without that member gives an empty object: the reader sees the member
// missing either way, and nothing is copied.
web::json::value TakeMember(web::json::value& body, const char* name) {
  if (!body.has_field(name)) return web::json::value::object();
  web::json::value part = web::json::value::object();
  part[name] = std::move(body.at(name));
  body.erase(name);  // no moved-from member is left behind
  return part;
}

// Why a configuration entry cannot be applied and acknowledged; empty when it can.
std::string ConfigurationFault(const web::json::value& entry) {
  if (!entry.is_object()) return "not an object";
  for (const std::string& name : {kId, std::string("UploadID")})
    if (!IsIdMember(entry, name)) return "\"" + name + "\" is not a 32-bit integer";
  if (!entry.has_string_field("IProduct")) return "\"IProduct\" is missing or not text";
  if (!entry.has_field("configSettings")) return "\"configSettings\" is missing";
  return std::string();
}

web::json::value ArrayOf(std::vector<web::json::value>&& elements) {
  return web::json::value::array(std::move(elements));
}

// Appends the stored entries whose id the list does not hold yet; one that
// cannot be read (reported when the stores were read) is left out.
void AppendStored(std::vector<web::json::value>& list, web::json::value& document) {
  if (!document.is_array()) return;
  std::unordered_set<int> ids;
  for (const auto& kept : list) ids.insert(zelvan::fennic::UpdateIdOf(kept));
  for (auto& stored : document.as_array())
    if (zelvan::fennic::UpdateDescriptionFault(stored).empty() && ids.insert(zelvan::fennic::UpdateIdOf(stored)).second)
      list.push_back(std::move(stored));
}
}  // namespace

bool CQLResponse::ProcessGetUpdtResponse(const std::string& response, bool allUpdates) {
  static const std::string kWhere = "CQLResponse::ProcessGetUpdtResponse";
  bool result = false;
  try {
    web::json::value answer = web::json::value::parse(response);
    if (!answer.at("validateResponseStatus").as_bool()) {
      Log(5, kWhere, "Server throws Exception");
      return false;
    }
    if (answer.at("ResposeCommand").as_integer() == 45) {
      Log(5, kWhere, "Unknown Command received from server");
      return false;
    }
    if (!ReadUpdateOutcome(answer)) {
      Log(2, kWhere, "Updates are not available");
      return false;
    }
    Log(2, kWhere, "Updates has been received successfully");
    web::json::value& body = answer.at("ResponseBody");
    // Only a list or null says what is pending; any other value would read
    // as "nothing" and empty its stores. Each member stands alone: one that
    // is not a list leaves its own stores as they are, and the other is
    // processed as if it came alone.
    bool usable[2] = {true, true};
    const char* const names[2] = {"Updates", "ConfigurationUpdates"};
    for (int i = 0; i < 2; ++i) {
      if (body.has_field(names[i]) && !body.at(names[i]).is_array() && !body.at(names[i]).is_null()) {
        Log(3, kWhere, std::string("Malformed answer, no store changed: \"") + names[i] + "\" is not a list");
        usable[i] = false;
      }
    }
    // Each call reads only its own member, so the updates are handed over
    // alone instead of with a copy of the whole body.
    if (usable[0]) result = processGetUpdateOrConfig(TakeMember(body, "Updates"), L"Updates", allUpdates);
    Log(2, kWhere, std::string("UpdateResponseStatus for Firmeare Updates : ") + (result ? "1" : "0"));
    if (usable[1]) processGetUpdateOrConfig(std::move(body), L"ConfigurationUpdates", allUpdates);
    Log(2, kWhere, result ? "Updates has been received successfully" : "Updates are not available");
  } catch (const web::json::json_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  }
  return result;
}

bool CQLResponse::processGetUpdateOrConfig(web::json::value body, const std::wstring& key, bool allUpdates) {
  static const std::string kWhere = "CQLResponse::processGetUpdateOrConfig";
  try {
    const std::string name = ToUtf8(key);
    const bool updates = name == "Updates";
    if (!body.has_field(name)) {
      Log(3, kWhere, "Bad Update Response");
      return false;
    }
    web::json::value value = std::move(body.at(name));
    const bool hasElements = value.size() > 0;
    if (hasElements && value.is_array()) {
      if (updates) return GetUpdateResponse(std::move(value), allUpdates);
      GetConfigResponse(std::move(value), allUpdates);
      return false;
    }
    if (!hasElements && allUpdates) {
      // A full list without entries: nothing of this kind is pending any more.
      if (updates) {
        configuration_->WriteJsonFile(web::json::value::array(), kUpdateFile);
        configuration_->WriteSilentUpdates(web::json::value::array(), 0);
      } else {
        configuration_->WriteJsonFile(web::json::value::array(), kConfigFile);
        FillTenantConfig();
      }
      return false;
    }
    Log(3, kWhere, "Field is empty");
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  }
  return false;
}

bool CQLResponse::GetUpdateResponse(web::json::value updates, bool allUpdates) {
  static const std::string kWhere = "CQLResponse::GetUpdateResponse";
  try {
    web::json::value storedList = configuration_->ReadJsonFile(kUpdateFile);
    web::json::value storedSilent = configuration_->ReadSilentUpdates(0);
    // Both maps are keyed by scheduler id, so each received entry is matched
    // by one lookup instead of a scan of the stores. A full list replaces the
    // stores, so they are then needed only for the maps and are handed over.
    const UpdateMap silentMap =
        downloader_->ConstructMapFromJSON(allUpdates ? std::move(storedSilent) : storedSilent);
    const UpdateMap scheduledMap =
        downloader_->ConstructMapFromJSON(allUpdates ? std::move(storedList) : storedList);

    FiledUpdates filed;
    // Reserved up front: regrowing the lists costs more than their entries.
    filed.scheduled.reserve(updates.size() + (allUpdates || !storedList.is_array() ? 0 : storedList.size()));
    filed.toDownload.reserve(updates.size());
    const std::size_t refusedCount = FileReceived(updates, silentMap, scheduledMap, filed);
    if (allUpdates && refusedCount > 0 && refusedCount == updates.size()) {
      // Not one entry could be read: the list says nothing about what is
      // still deployed, so the stores are kept as they are.
      Log(3, kWhere, "Full list not applied: every entry was refused");
      return false;
    }
    if (allUpdates && !filed.refusedStored.empty()) KeepRefusedStored(filed);
    JsonList& silent = filed.silent;
    if (!allUpdates) {
      // An answer of new updates adds to the stores; an id it lists again
      // replaces the stored copy, so each id is held once.
      AppendStored(filed.scheduled, storedList);
      AppendStored(silent, storedSilent);
    }
    web::json::value silentDocument = silent.empty() ? web::json::value::null() : ArrayOf(std::move(silent));
    configuration_->WriteJsonFile(ArrayOf(std::move(filed.scheduled)), kUpdateFile);
    configuration_->WriteSilentUpdates(std::move(silentDocument), 0);

    if (filed.toDownload.empty()) return false;
    downloader_->ConstructDownloadObject(ArrayOf(std::move(filed.toDownload)), allUpdates);
    return downloader_->GetPendingDownloadCount() > 0;
  } catch (const web::json::json_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const AgentException& e) {
    Log(5, kWhere, "Agent Exception Code " + std::to_string(e.code()));
    if (e.code() == 0) PushRestMessageforUpdateSync();
    if (e.code() == 1 || e.code() == 2) throw AgentException(e);
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  }
  return false;
}

// Merges each received entry with the stores and files it under its action.
// An entry the downloader could not read whole, or an id listed twice, is
// refused here: once stored, it would spoil every later reading of the list.
std::size_t CQLResponse::FileReceived(web::json::value& updates, const UpdateMap& silentMap, const UpdateMap& scheduledMap,
                                      FiledUpdates& filed) {
  zelvan::fennic::RepeatedLines refused;
  std::size_t refusedCount = 0;
  std::unordered_set<int> received;
  for (auto& update : updates.as_array()) {
    const std::string fault = zelvan::fennic::UpdateDescriptionFault(update);
    if (!fault.empty()) {
      refused.Add("Update entry refused (" + fault + ")");
      ++refusedCount;
      if (zelvan::fennic::IsIdMember(update, kId)) {
        const int id = zelvan::fennic::UpdateIdOf(update);
        const std::string key = std::to_string(id);
        if (silentMap.count(key) || scheduledMap.count(key)) filed.refusedStored.push_back(id);
      }
      continue;
    }
    const int schedulerId = zelvan::fennic::UpdateIdOf(update);
    if (!received.insert(schedulerId).second) {
      refused.Add("Update entry refused (its UpdateSchedulerId is listed twice)");
      ++refusedCount;
      continue;
    }
    const std::string id = std::to_string(schedulerId);  // the maps' key
    const std::string action = update.at(kAction).as_string();
    MergeSilentUpdate(update, id, silentMap);
    MergeScheduledUpdate(update, id, action, scheduledMap);
    // An entry stored before its first download may lack the flag: not downloaded.
    if (!update.has_field(kStatus)) SetStatus(update, false);
    const bool download = !update.at(kStatus).as_bool();
    JsonList* kept = nullptr;
    if (action == "Silent") kept = &filed.silent;
    if (action == "ScheduleUpdate") kept = &filed.scheduled;
    if (download) {
      if (kept != nullptr)
        filed.toDownload.push_back(update);  // kept as well, so a copy
      else
        filed.toDownload.push_back(std::move(update));
    }
    if (kept != nullptr) kept->push_back(std::move(update));
  }
  refused.Flush([&](const std::string&, const std::string& line) { Log(3, "CQLResponse::GetUpdateResponse", line); });
  return refusedCount;
}

void CQLResponse::KeepRefusedStored(FiledUpdates& filed) {
  // Read again only in this rare case: the stores went into the maps.
  std::unordered_set<int> ids(filed.refusedStored.begin(), filed.refusedStored.end());
  for (const auto& entry : filed.scheduled) ids.erase(zelvan::fennic::UpdateIdOf(entry));
  for (const auto& entry : filed.silent) ids.erase(zelvan::fennic::UpdateIdOf(entry));
  const auto keep = [&ids](const web::json::value& list, JsonList& into) {
    if (!list.is_array()) return;
    for (const auto& entry : list.as_array())
      if (zelvan::fennic::IsIdMember(entry, kId) && ids.count(zelvan::fennic::UpdateIdOf(entry)))
        into.push_back(entry);
  };
  keep(configuration_->ReadJsonFile(kUpdateFile), filed.scheduled);
  keep(configuration_->ReadSilentUpdates(0), filed.silent);
}

void CQLResponse::MergeSilentUpdate(web::json::value& update, const std::string& id, const UpdateMap& silentMap) {
  auto found = silentMap.find(id);
  if (found == silentMap.end()) {
    SetStatus(update, false);
  } else if (found->second.getDownloadStatus()) {
    SetStatus(update, StatusAfterUrlCompare(update, found->second));
  }
}

// Runs after MergeSilentUpdate, so for a scheduled update the scheduled store
// has the last word.
void CQLResponse::MergeScheduledUpdate(web::json::value& update, const std::string& id, const std::string& action,
                                       const UpdateMap& scheduledMap) {
  if (action != "ScheduleUpdate") return;
  auto found = scheduledMap.find(id);
  if (found != scheduledMap.end() && found->second.getDownloadStatus())
    SetStatus(update, StatusAfterUrlCompare(update, found->second));
}

void CQLResponse::GetConfigResponse(web::json::value configurations, bool fullList) {
  static const std::string kWhere = "CQLResponse::GetConfigResponse";
  configAcks_.clear();
  try {
    web::json::value storedDocument = configuration_->ReadJsonFile(kConfigFile);
    JsonList stored;
    if (storedDocument.is_array())
      for (auto& config : storedDocument.as_array()) stored.push_back(std::move(config));
    // The stored entries are searched in order up to the first match; the ids
    // appended by this answer come after them and are known good, so a set
    // stands in for their part of the search.
    const std::size_t storedBefore = stored.size();
    std::unordered_set<int> appended;
    std::unordered_set<int> listed;
    zelvan::fennic::RepeatedLines refused;
    std::size_t refusedCount = 0;
    for (auto& config : configurations.as_array()) {
      // One bad entry fails alone: acknowledged as not applied where its ids
      // can be read, the others applied, stored and acknowledged.
      if (const std::string fault = ConfigurationFault(config); !fault.empty()) {
        refused.Add("Configuration entry refused (" + fault + ")");
        ++refusedCount;
        if (config.is_object() && IsIdMember(config, kId) && IsIdMember(config, "UploadID"))
          configAcks_.push_back({config.at("UploadID").as_integer(), config.at(kId).as_integer(), false});
        continue;
      }
      const int schedulerId = config.at(kId).as_integer();
      const int uploadId = config.at("UploadID").as_integer();
      const std::wstring product = ToWide(config.at("IProduct").as_string());
      // The answer is not read again, so its settings are moved out, not copied.
      web::json::value settings = std::move(config.at("configSettings"));
      listed.insert(schedulerId);
      const auto sameId = [schedulerId](const web::json::value& s) { return StoredId(s) == schedulerId; };
      const auto storedEnd = stored.begin() + storedBefore;
      bool applied = std::find_if(stored.begin(), storedEnd, sameId) != storedEnd || appended.count(schedulerId) > 0;
      if (!applied && configuration_->ApplyDeviceConfiguration(settings, product)) {
        applied = true;
        config["configSettings"] = std::move(settings);
        appended.insert(schedulerId);
        stored.push_back(std::move(config));
      }
      configAcks_.push_back({uploadId, schedulerId, applied});
    }
    // A full list says what the server still deploys: the rest is dropped.
    const auto notListed = [&](const web::json::value& s) {
      const std::optional<int> id = StoredId(s);
      return !id || listed.count(*id) == 0;
    };
    refused.Flush([&](const std::string&, const std::string& line) { Log(3, kWhere, line); });
    // A full list of refused entries only says nothing about the rest.
    if (fullList && refusedCount < configurations.size())
      stored.erase(std::remove_if(stored.begin(), stored.end(), notListed), stored.end());
    configuration_->WriteJsonFile(ArrayOf(std::move(stored)), kConfigFile);
    FillTenantConfig();
    sendConfigurationReceivedStatus();
  } catch (const web::json::json_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  } catch (const AgentException& e) {
    Log(5, kWhere, "Agent Exception Code " + std::to_string(e.code()));
    if (e.code() == 0) PushRestMessageforUpdateSync();
  }
}
