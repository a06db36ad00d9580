#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "IConfigurationManager.h"
#include "ILogManager.h"
#include <fennic/IUpdatesDownload.h>
#include "RestMsgQueue.h"

namespace zelvan::fennic {

class RepeatedLines;

// The acknowledgement state of one scheduled update, shared by its main
// package and its voice-prompt files.
struct DownloadAck {
  int UploadID = 0;
  int UpdateSchedulerId = 0;
  bool downloadStatus = false;
  std::wstring Action;
};

}  // namespace zelvan::fennic

// The download list: update files still to fetch, keyed by downloadKey, and
// the acknowledgement cache keyed by scheduler id. Processing runs on the
// worker thread; a host may call ConstructDownloadObject or
// GetPendingDownloadCount from its own thread, so both maps sit under lock_,
// which is never held while the transport runs.
class UpdatesDownload : public zelvan::fennic::IUpdatesDownload {
 public:
  explicit UpdatesDownload(std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration);
  ~UpdatesDownload() override = default;

  std::map<std::string, zelvan::fennic::UpdateRecord> ConstructDownloadObject(web::json::value updates,
                                                                              bool fromGetAllUpdates) override;
  std::map<std::string, zelvan::fennic::UpdateRecord> ConstructMapFromJSON(web::json::value updates) override;
  bool ProcessDownloadFile(const std::string& answer, const std::string& localPath, const std::wstring& target,
                           const std::string& downloadKey, const std::string& origin) override;
  bool SetEventListener(zelvan::fennic::IRestEventListener* listener) override;
  void CheckforVoicePromptsDownload(web::json::value& urlSource, int updateSchedulerId,
                                    const std::string& origin) override;
  int GetPendingDownloadCount() override;

  zelvan::fennic::UpdateRecord convertUpdateJsonToMap(web::json::value update, bool defaultStatus);
  bool CheckPermissionAndSpace(const std::wstring& type);
  zelvan::fennic::DownloadAck getDownloadStatusAck(int updateSchedulerId);
  void updatedownloadStatusToFile(int updateSchedulerId, bool downloaded);
  void SendDownloadStatus(int updateSchedulerId, const std::wstring& reason);

 private:
  void Log(int level, const std::string& where, const std::string& text);
  struct Details {
    int status = 0;
    std::uint64_t size = 0;  // the announced "FileSize"; 0 when none
    std::string fault;       // why the answer lets nothing be downloaded
  };
  Details ReadDetails(const std::string& answer);
  std::string SpaceFault(const std::wstring& type, std::uint64_t size, int id);
  // Moves the address source out of `update`. With `fault` given, checks the
  // description first in the same pass over its members.
  bool ReadDescription(web::json::value& update, bool defaultStatus, zelvan::fennic::UpdateRecord& record,
                       std::string* fault);
  // Steps 2 and 3 of ConstructDownloadObject on a map already built.
  // The download requests it makes are added to `requests`, for the caller
  // to queue once the lock is let go.
  void MergeReceived(std::map<std::string, zelvan::fennic::UpdateRecord> received, bool fromGetAllUpdates,
                     std::vector<zelvan::fennic::RestMessage>& requests);
  // False, with the reason added to `skipped`, for an entry not to be listed.
  bool Downloadable(const zelvan::fennic::UpdateRecord& record, zelvan::fennic::RepeatedLines& skipped);
  // Writes the merge's skipped lines; a warning already given this check is progress.
  void ReportSkipped(zelvan::fennic::RepeatedLines& skipped, bool fromGetAllUpdates);
  // Steps of ProcessDownloadFile. The first two take lock_ themselves.
  bool TakeAcknowledgement(int updateSchedulerId, bool& wasCached);
  zelvan::fennic::UpdateRecord TakeListedEntry(const std::string& downloadKey);
  void FetchPackage(const std::string& answer, const std::string& localPath, const std::string& downloadKey,
                    const std::string& origin, zelvan::fennic::UpdateRecord& entry, bool& downloaded,
                    std::wstring& reason);
  // One download request per listed entry not queued yet, in key order.
  // REQUIRES: lock_ held.
  void QueuePending(const std::string& origin, std::vector<zelvan::fennic::RestMessage>& requests);
  // Through the queue's gate; never called with lock_ held (a host thread in
  // the gate may wait for lock_).
  void Push(const zelvan::fennic::RestMessage& message);

  std::shared_ptr<zelvan::fennic::ILogManager> logger_;
  zelvan::fennic::IRestEventListener* listener_ = nullptr;
  std::recursive_mutex lock_;
  std::map<std::string, zelvan::fennic::UpdateRecord> downloads_;  // GUARDED_BY(lock_)
  std::map<int, zelvan::fennic::DownloadAck> acks_;                // GUARDED_BY(lock_)
  std::set<std::string> saidThisCheck_;                            // GUARDED_BY(lock_)
  // Entries handled since the check's first answer: the full list that
  // follows does not queue them again (each is acknowledged once a check).
  std::set<std::string> endedThisCheck_;                           // GUARDED_BY(lock_)
  // Entries whose download request is on the queue.
  std::set<std::string> queued_;                                   // GUARDED_BY(lock_)
  // Updates that failed for lack of space, with the free megabytes then.
  std::map<int, uint32_t> lowSpace_;                               // GUARDED_BY(lock_)
  zelvan::fennic::RestMsgQueue* queue_;
  std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration_;
};
