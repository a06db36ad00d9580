#include "UpdatesDownload.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "AgentException.h"
#include "CRestClientFactory.h"
#include "IAgentUtils.h"
#include "PlainFileName.h"
#include "QueueGate.h"
#include "RestRequestType.h"
#include "TextConversion.h"
#include "UpdateDescriptions.h"

using namespace zelvan::fennic;

namespace {
const std::string kConstructWhere = "UpdatesDownload::ConstructDownloadObject";

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

}  // namespace

UpdatesDownload::UpdatesDownload(std::shared_ptr<IConfigurationManager> configuration)
    : logger_(IAgentUtils::getLogManager()),
      queue_(RestMsgQueue::getInstance()),
      configuration_(std::move(configuration)) {}

void UpdatesDownload::Log(int level, const std::string& where, const std::string& text) {
  if (logger_) logger_->Log(level, where, text);
}

// Through the gate: after a Shutdown a push would make a fresh queue that no
// worker reads.
void UpdatesDownload::Push(const RestMessage& message) {
  if (!QueueGate::Push(message)) Log(3, "UpdatesDownload::Push", "Not queued: the executor is shut down");
}

bool UpdatesDownload::SetEventListener(IRestEventListener* listener) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  listener_ = listener;
  return listener != nullptr;
}

int UpdatesDownload::GetPendingDownloadCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<int>(downloads_.size());
}

std::map<std::string, UpdateRecord> UpdatesDownload::ConstructDownloadObject(web::json::value updates,
                                                                             bool fromGetAllUpdates) {
  std::vector<RestMessage> requests;
  std::map<std::string, UpdateRecord> listed;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    try {
      // Built first, so a bad description merges nothing.
      MergeReceived(ConstructMapFromJSON(std::move(updates)), fromGetAllUpdates, requests);
    } catch (const std::system_error& e) {
      Log(5, kConstructWhere, e.what());
    } catch (const std::bad_exception& e) {
      Log(5, kConstructWhere, e.what());
    }
    listed = downloads_;
  }
  // Queued once the list's lock is let go: a host thread inside the queue's
  // gate may be waiting for that lock.
  for (const RestMessage& request : requests) Push(request);
  return listed;
}

void UpdatesDownload::MergeReceived(std::map<std::string, UpdateRecord> received, bool fromGetAllUpdates,
                                    std::vector<RestMessage>& requests) {
  // Received entries come in key order, so the place after the last one
  // inserted is the right one unless an older entry lies between.
  auto hint = downloads_.end();
  RepeatedLines skipped;
  if (!fromGetAllUpdates) endedThisCheck_.clear();
  while (!received.empty()) {
    auto node = received.extract(received.begin());
    if (fromGetAllUpdates && endedThisCheck_.count(node.key())) continue;
    if (!Downloadable(node.mapped(), skipped)) continue;
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
  ReportSkipped(skipped, fromGetAllUpdates);
  if (fromGetAllUpdates) endedThisCheck_.clear();
  QueuePending(fromGetAllUpdates ? "24" : "9", requests);
}

bool UpdatesDownload::Downloadable(const UpdateRecord& record, RepeatedLines& skipped) {
  // Asked per entry: the supported products may change while a list is merged.
  const std::vector<std::wstring> supported = configuration_->GetSupportedProducts();
  const bool isSupported = std::find(supported.begin(), supported.end(), record.IProduct) != supported.end();
  if (record.Type == L"Firmware" && !isSupported) {
    skipped.Add(ToUtf8(record.IProduct) + " is not supported so skipping FW download!");
    return false;
  }
  if (record.URL.empty()) {  // would ask for the details of no address, at every later merge
    skipped.Add("Update entry skipped (no download address)");
    return false;
  }
  // Failed for lack of space: offered again before space was freed, it would
  // fail again at every check, each time with a details request and an
  // acknowledgement.
  if (auto low = lowSpace_.find(record.UpdateSchedulerId); low != lowSpace_.end()) {
    std::shared_ptr<IFileManager> files = IAgentUtils::getFileManager();
    const uint32_t free = files ? files->GetFreeDiskSpaceMB(configuration_->GetLocalFirmwareServerFolder()) : 0;
    if (free <= low->second) {
      skipped.Add("Update entry skipped until the free space grows (it failed for lack of space)");
      return false;
    }
    lowSpace_.erase(low);
  }
  return true;
}

void UpdatesDownload::ReportSkipped(RepeatedLines& skipped, bool fromGetAllUpdates) {
  // A check asks for updates, then maybe for the full list, which lists the
  // same entries again: what the first answer warned of is repeated as
  // progress only, so nothing is lost and the warning stands once.
  if (!fromGetAllUpdates) saidThisCheck_.clear();
  skipped.Flush([&](const std::string& text, const std::string& line) {
    Log(saidThisCheck_.insert(text).second ? 3 : 2, kConstructWhere, line);
  });
  if (fromGetAllUpdates) saidThisCheck_.clear();
}

void UpdatesDownload::QueuePending(const std::string& origin, std::vector<RestMessage>& requests) {
  // One log text, refilled per entry, so its buffer is reused instead of
  // allocated again for every entry.
  RestMessage message;
  message.setType(DOWNLOAD_FILES);
  message.setData(origin.data(), origin.size());
  std::string text = "Download called for : ";
  const std::size_t prefix = text.size();
  for (const auto& [key, record] : downloads_) {
    // An entry whose request is queued already waits for it: a second one
    // would download it twice, or acknowledge it without its ids.
    if (!queued_.insert(key).second) continue;
    text.replace(prefix, std::string::npos, key);
    Log(2, kConstructWhere, text);
    message.setTarget(record.URL);
    message.setDownloadKey(key);
    requests.push_back(message);
  }
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
  {
    // Handled already (its request came twice): handled again, it would be
    // acknowledged without its ids, and a failed second transfer would undo
    // the first one's success.
    std::lock_guard<std::recursive_mutex> hold(lock_);
    queued_.erase(key);
    if (downloads_.count(key) == 0) {
      Log(2, where, "Download entry " + key + " is no longer listed; nothing to do");
      return false;
    }
  }
  bool proceed = true;
  bool wasCached = false;
  bool downloaded = false;
  std::wstring reason;
  try {
    proceed = TakeAcknowledgement(id, wasCached);
    if (!proceed) reason = L"the update's first file was not downloaded";
    const bool softwareEnabled = configuration_->IsSoftwareDownloadEnabled();
    UpdateRecord entry = TakeListedEntry(key);
    Log(2, where, "Removed the Entry from download map for schedular ID " + key);
    const Details details = ReadDetails(answer);
    if (proceed) {
      const std::string fault = SpaceFault(entry.Type, details.size, key.find('_') == std::string::npos ? id : 0);
      proceed = fault.empty();
      if (!proceed) reason = ToWide(fault);
    }
    if (details.status == 200 && proceed && !target.empty()) {
      if (entry.Type == L"Software" && !softwareEnabled)
        downloaded = true;
      else
        FetchPackage(answer, localPath, key, origin, entry, downloaded, reason);
    } else {
      Log(3, where, "Status Code is Not OK or Download Url is empty or No write permission or Low disk space");
      if (reason.empty()) reason = ToWide(!details.fault.empty() ? details.fault : std::string("no download address"));
    }
    Log(2, where, std::string("Process download bool value is :") + (proceed ? "1" : "0"));
    if (proceed) updatedownloadStatusToFile(id, downloaded);
  } catch (const std::system_error& e) {
    Log(5, where, e.what());  // nothing is stored; the acknowledgement still goes out
    if (reason.empty()) reason = ToWide(e.what());
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
    if (reason.empty()) reason = ToWide(e.what());
  }
  if (!downloaded && reason.empty()) reason = L"download failed";
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    downloads_.erase(key);
    endedThisCheck_.insert(key);
  }
  SendDownloadStatus(id, reason);
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (downloads_.empty()) acks_.clear();
  }
  return downloaded || (proceed && wasCached);
}

// The first file of an update caches its acknowledgement; a later one (a
// voice prompt) goes on only if the cached outcome is a success.
bool UpdatesDownload::TakeAcknowledgement(int id, bool& wasCached) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  auto cached = acks_.find(id);
  if (cached != acks_.end()) {
    wasCached = true;
    return cached->second.downloadStatus;
  }
  acks_[id] = getDownloadStatusAck(id);
  return true;
}

UpdateRecord UpdatesDownload::TakeListedEntry(const std::string& key) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  UpdateRecord entry;
  auto it = downloads_.find(key);
  if (it != downloads_.end()) entry = std::move(it->second);  // erased next, so moved out
  downloads_.erase(key);
  return entry;
}

// Downloads the package to its local path, then removes the file there;
// the first file of an update may list voice prompts to fetch next.
void UpdatesDownload::FetchPackage(const std::string& answer, const std::string& localPath, const std::string& key,
                                   const std::string& origin, UpdateRecord& entry, bool& downloaded,
                                   std::wstring& reason) {
  const std::string where = "UpdatesDownload::ProcessDownloadFile";
  std::string path;
  if (!SafeLocalPath(configuration_->GetLocalFirmwareServerFolder(), localPath, path)) {
    Log(3, where, "Refused unsafe local path : " + localPath);
    reason = L"Refused unsafe local path";
    return;
  }
  std::shared_ptr<IRestClient> transport = CRestClientFactory::getRestClient();
  if (!transport || !transport->DownloadFile(answer, ToWide(path), reason, entry.URLSource, entry.IProduct)) {
    Log(3, where, "Download " + path + " failed");
    return;
  }
  downloaded = true;
  if (std::remove(path.c_str()) != 0) {
    Log(2, where, path + " failed to removed Successfully");
    return;
  }
  Log(2, where, path + " Removed Successfully");
  const int id = std::stoi(key.substr(0, key.find('_')));
  if (key.find('_') == std::string::npos) CheckforVoicePromptsDownload(entry.URLSource, id, origin);
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
      // An entry stored before its first download may lack the flag: it reads as false.
      if (!element.is_object() || !element.has_field(kSchedulerId) || !element.at(kSchedulerId).is_integer()) continue;
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

void UpdatesDownload::SendDownloadStatus(int id, const std::wstring& given) {
  DownloadAck ack;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    ack = acks_[id];
  }
  // The outcome is the stored one: an update the store does not list (one a
  // host handed over) is not marked downloaded there.
  const std::wstring reason = !ack.downloadStatus && given.empty() ? L"the update is not in the update store" : given;
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
  std::vector<RestMessage> requests;
  std::unique_lock<std::recursive_mutex> hold(lock_);
  const DownloadAck ack = acks_[id];
  int n = 0;
  RepeatedLines skipped;
  for (const auto& entry : entries) {
    const std::string key = KeyOf(id) + "_" + std::to_string(++n);
    // Listed only once read whole: an entry in the list is queued again by
    // every later merge, with the address it holds.
    const bool usable = entry.has_string_field("UpdatesURL") && !entry.at("UpdatesURL").as_string().empty();
    if (!usable) {
      skipped.Add("Voice prompt entry skipped (no \"UpdatesURL\" text)");
      continue;
    }
    const std::string& url = entry.at("UpdatesURL").as_string();
    UpdateRecord record;
    record.UploadID = ack.UploadID;
    record.UpdateSchedulerId = ack.UpdateSchedulerId;
    record.Action = ack.Action;
    record.downloadStatus = ack.downloadStatus;
    record.URLSource = entry;
    record.URL = ToWide(url);
    downloads_.emplace(key, record);
    queued_.insert(key);
    Log(2, where, "Push VP download request for " + url);
    RestMessage message;
    message.setType(DOWNLOAD_FILES);
    message.setTarget(ToWide(url));
    message.setDownloadKey(key);
    message.setData(origin.data(), origin.size());
    requests.push_back(message);
  }
  hold.unlock();
  skipped.Flush([&](const std::string&, const std::string& line) { Log(3, where, line); });
  for (const RestMessage& request : requests) Push(request);
}
