#include "UpdatesDownload.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "AgentException.h"
#include "CRestClientFactory.h"
#include "IAgentUtils.h"
#include "PlainFileName.h"
#include "RestRequestType.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {
const std::string kConstructWhere = "UpdatesDownload::ConstructDownloadObject";
const std::string kConvertWhere = "UpdatesDownload::convertUpdateJsonToMap";

std::string KeyOf(int id) { return std::to_string(id); }

const std::string kSchedulerId = "UpdateSchedulerId";  // built once, not per lookup

// A local path from a server answer must name a plain file directly in the
// download folder. The folder and the name arrive joined by a backslash.
bool SafeLocalPath(const std::string& folder, const std::string& path, std::string& normalised) {
  if (path.compare(0, folder.size(), folder) != 0 || path.size() <= folder.size() + 1) return false;
  const char separator = path[folder.size()];
  if (separator != '\\' && separator != '/') return false;
  const std::string name = path.substr(folder.size() + 1);
  if (!IsPlainFileName(name)) return false;
  normalised = folder + "/" + name;
  return true;
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

UpdatesDownload::UpdatesDownload(std::shared_ptr<IConfigurationManager> configuration)
    : logger_(IAgentUtils::getLogManager()),
      queue_(RestMsgQueue::getInstance()),
      configuration_(std::move(configuration)) {}

void UpdatesDownload::Log(int level, const std::string& where, const std::string& text) {
  if (logger_) logger_->Log(level, where, text);
}

void UpdatesDownload::Push(const RestMessage& message) { RestMsgQueue::getInstance()->pushMsg(message); }

bool UpdatesDownload::SetEventListener(IRestEventListener* listener) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  listener_ = listener;
  return listener != nullptr;
}

int UpdatesDownload::GetPendingDownloadCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<int>(downloads_.size());
}

UpdateRecord UpdatesDownload::convertUpdateJsonToMap(web::json::value update, bool defaultStatus) {
  UpdateRecord record;
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
  } catch (const std::system_error& e) {
    Log(5, kConvertWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kConvertWhere, e.what());
  }
  return record;
}

std::map<std::string, UpdateRecord> UpdatesDownload::ConstructMapFromJSON(web::json::value updates) {
  static const std::string kWhere = "UpdatesDownload::ConstructMapFromJSON";
  std::map<std::string, UpdateRecord> map;
  if (!updates.is_array()) {
    Log(3, kWhere, "Download Object is not a JSON array");
    return map;
  }
  try {
    for (auto& update : updates.as_array()) {
      UpdateRecord record = convertUpdateJsonToMap(std::move(update), false);
      map.emplace(KeyOf(record.UpdateSchedulerId), std::move(record));
    }
  } catch (const std::system_error& e) {
    Log(5, kWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kWhere, e.what());
  }
  return map;
}

std::map<std::string, UpdateRecord> UpdatesDownload::ConstructDownloadObject(web::json::value updates,
                                                                             bool fromGetAllUpdates) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  try {
    // Built first, so a bad description merges nothing.
    MergeReceived(ConstructMapFromJSON(std::move(updates)), fromGetAllUpdates);
  } catch (const std::system_error& e) {
    Log(5, kConstructWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kConstructWhere, e.what());
  }
  return downloads_;
}

void UpdatesDownload::MergeReceived(std::map<std::string, UpdateRecord> received, bool fromGetAllUpdates) {
  // Received entries come in key order, so the place after the last one
  // inserted is the right one unless an older entry lies between.
  auto hint = downloads_.end();
  while (!received.empty()) {
    auto node = received.extract(received.begin());
    const UpdateRecord& record = node.mapped();
    // Asked per entry: the supported products may change while a list is merged.
    const std::vector<std::wstring> supported = configuration_->GetSupportedProducts();
    const bool isSupported = std::find(supported.begin(), supported.end(), record.IProduct) != supported.end();
    if (record.Type == L"Firmware" && !isSupported) {
      Log(3, kConstructWhere, ToUtf8(record.IProduct) + " is not supported so skipping FW download!");
      continue;
    }
    const std::string& key = node.key();
    auto at = hint;
    if ((at != downloads_.begin() && !(std::prev(at)->first < key)) || (at != downloads_.end() && at->first < key))
      at = downloads_.lower_bound(key);
    if (at != downloads_.end() && at->first == key) {
      hint = std::next(at);
      continue;  // an entry already listed stays unchanged
    }
    hint = std::next(downloads_.insert(at, std::move(node)));
  }
  const std::string origin = fromGetAllUpdates ? "24" : "9";
  // One message and one log text, refilled per entry: the queue takes a copy,
  // so their buffers are reused instead of allocated again for every entry.
  RestMessage message;
  message.setType(DOWNLOAD_FILES);
  message.setData(origin.data(), origin.size());
  std::string text = "Download called for : ";
  const std::size_t prefix = text.size();
  for (const auto& [key, record] : downloads_) {
    text.replace(prefix, std::string::npos, key);
    Log(2, kConstructWhere, text);
    message.setTarget(record.URL);
    message.setDownloadKey(key);
    Push(message);
  }
}

bool UpdatesDownload::CheckPermissionAndSpace(const std::wstring& type) {
  const std::string where = "UpdatesDownload::CheckPermissionAndSpace";
  const std::string folder = configuration_->GetLocalFirmwareServerFolder();
  std::shared_ptr<IFileManager> files = IAgentUtils::getFileManager();
  if (!files || !files->HasWritePermission(folder)) {
    Log(5, where, "Dont have read/write permission to LocalFirmwareServer folder!");
    return false;
  }
  const uint32_t free = files->GetFreeDiskSpaceMB(folder);
  if ((type == L"Firmware" && free < 100) || (type == L"Software" && free < 500)) {
    Log(5, where, "Available disk space is low " + std::to_string(free) + "MB, cannot download update file!");
    return false;
  }
  return true;
}

DownloadAck UpdatesDownload::getDownloadStatusAck(int id) {
  DownloadAck ack;
  try {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto it = downloads_.find(KeyOf(id));
    if (it != downloads_.end()) {
      ack.UploadID = it->second.UploadID;
      ack.UpdateSchedulerId = id;
      ack.downloadStatus = it->second.downloadStatus;
      ack.Action = it->second.Action;
    }
  } catch (const std::system_error& e) {
    Log(5, "UpdatesDownload::getDownloadStatusAck", e.what());
  } catch (const std::bad_exception& e) {
    Log(5, "UpdatesDownload::getDownloadStatusAck", e.what());
  }
  return ack;
}

bool UpdatesDownload::ProcessDownloadFile(const std::string& answer, const std::string& localPath,
                                          const std::wstring& target, const std::string& key,
                                          const std::string& origin) {
  const std::string where = "UpdatesDownload::ProcessDownloadFile";
  const int id = std::stoi(key.substr(0, key.find('_')));
  bool proceed = true;
  bool wasCached = false;
  bool downloaded = false;
  std::wstring reason;
  try {
    {
      std::lock_guard<std::recursive_mutex> hold(lock_);
      auto cached = acks_.find(id);
      if (cached != acks_.end()) {
        proceed = cached->second.downloadStatus;
        wasCached = true;
      } else {
        acks_[id] = getDownloadStatusAck(id);
      }
    }
    const bool softwareEnabled = configuration_->IsSoftwareDownloadEnabled();
    std::wstring type;
    web::json::value urlSource = web::json::value::null();
    std::wstring product;
    {
      std::lock_guard<std::recursive_mutex> hold(lock_);
      auto it = downloads_.find(key);
      if (it != downloads_.end()) {
        type = it->second.Type;
        urlSource = it->second.URLSource;
        product = it->second.IProduct;
      }
      downloads_.erase(key);
    }
    Log(2, where, "Removed the Entry from download map for schedular ID " + key);
    const web::json::value parsed = web::json::value::parse(answer);
    proceed = proceed && CheckPermissionAndSpace(type);
    const int status = parsed.at("StatusCode").as_integer();
    if (status == 200 && proceed && !target.empty()) {
      std::string path;
      if (type == L"Software" && !softwareEnabled) {
        downloaded = true;
      } else if (!SafeLocalPath(configuration_->GetLocalFirmwareServerFolder(), localPath, path)) {
        Log(3, where, "Refused unsafe local path : " + localPath);
        reason = L"Refused unsafe local path";
      } else {
        std::shared_ptr<IRestClient> transport = CRestClientFactory::getRestClient();
        if (!transport || !transport->DownloadFile(answer, ToWide(path), reason, urlSource, product)) {
          Log(3, where, "Download " + path + " failed");
        } else {
          downloaded = true;
          if (std::remove(path.c_str()) == 0) {
            Log(2, where, path + " Removed Successfully");
            if (key.find('_') == std::string::npos) CheckforVoicePromptsDownload(urlSource, id, origin);
          } else {
            Log(2, where, path + " failed to removed Successfully");
          }
        }
      }
    } else {
      Log(3, where, "Status Code is Not OK or Download Url is empty or No write permission or Low disk space");
    }
    Log(2, where, std::string("Process download bool value is :") + (proceed ? "1" : "0"));
    if (proceed) updatedownloadStatusToFile(id, downloaded);
  } catch (const std::system_error& e) {
    Log(5, where, e.what());  // nothing is stored; the acknowledgement still goes out
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
  }
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    downloads_.erase(key);
  }
  SendDownloadStatus(id, reason);
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (downloads_.empty()) acks_.clear();
  }
  return downloaded || (proceed && wasCached);
}

void UpdatesDownload::updatedownloadStatusToFile(int id, bool downloaded) {
  const std::string where = "UpdatesDownload::updatedownloadStatusToFile";
  try {
    std::wstring action;
    bool cached = false;
    {
      std::lock_guard<std::recursive_mutex> hold(lock_);
      auto it = acks_.find(id);
      if (it != acks_.end()) {
        action = it->second.Action;
        cached = true;
      }
    }
    const bool silent = action == L"Silent";
    web::json::value document = silent ? configuration_->ReadSilentUpdates(0) : configuration_->ReadJsonFile("Update.dat");
    if (!document.is_array()) {
      Log(5, where, "fileUpdates is not an array.");
      return;
    }
    for (auto& element : document.as_array()) {
      element.at("downloadStatus");
      const int elementId = element.at(kSchedulerId).as_integer();
      if (cached && elementId == id) {
        element["downloadStatus"] = web::json::value::boolean(downloaded);
        std::lock_guard<std::recursive_mutex> hold(lock_);
        acks_[id].downloadStatus = downloaded;
      }
    }
    if (silent)
      configuration_->WriteSilentUpdates(document, 0);
    else
      configuration_->WriteJsonFile(document, "Update.dat");
  } catch (const AgentException& e) {
    Log(5, where, e.what());
    if (e.code() == 0) {
      RestMessage message;
      message.setType(GET_ALL_UPDATES_REQ);
      Push(message);
    }
  }
}

void UpdatesDownload::SendDownloadStatus(int id, const std::wstring& reason) {
  DownloadAck ack;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    ack = acks_[id];
  }
  web::json::value entry = web::json::value::object();
  entry["UploadID"] = web::json::value::number(ack.UploadID);
  entry["UpdateSchedulerId"] = web::json::value::number(ack.UpdateSchedulerId);
  entry["Status"] = web::json::value::string(ack.downloadStatus ? "Success" : "Failed");
  entry["Reason"] = web::json::value::string(ToUtf8(reason));
  web::json::value body = web::json::value::array(1);
  body[0] = entry;
  const std::string text = body.serialize();
  Log(2, "UpdatesDownload::SendDownloadStatus", "Download Acknowledge Request: " + text);
  RestMessage message;
  message.setType(DOWNLOAD_STATUS_REQ);
  message.setData(text.data(), text.size());
  Push(message);
}

void UpdatesDownload::CheckforVoicePromptsDownload(web::json::value& urlSource, int id, const std::string& origin) {
  const std::string where = "UpdatesDownload::CheckforVoicePromptsDownload";
  const std::vector<web::json::value> entries = configuration_->GetVoicePromptDownloads(urlSource);
  if (entries.empty()) return;
  std::lock_guard<std::recursive_mutex> hold(lock_);
  const DownloadAck ack = acks_[id];
  int n = 0;
  for (const auto& entry : entries) {
    const std::string key = KeyOf(id) + "_" + std::to_string(++n);
    UpdateRecord record;
    record.UploadID = ack.UploadID;
    record.UpdateSchedulerId = ack.UpdateSchedulerId;
    record.Action = ack.Action;
    record.downloadStatus = ack.downloadStatus;
    record.URLSource = entry;
    downloads_.emplace(key, record);
    const std::string url = entry.at("UpdatesURL").as_string();
    Log(2, where, "Push VP download request for " + url);
    RestMessage message;
    message.setType(DOWNLOAD_FILES);
    message.setTarget(ToWide(url));
    message.setDownloadKey(key);
    message.setData(origin.data(), origin.size());
    Push(message);
  }
}
