#pragma once

#include <cpprest/json.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IConfigurationManager.h"
#include "ILogManager.h"
#include <fennic/IQLResponse.h>
#include "ITenantConfig.h"
#include <fennic/IUpdatesDownload.h>
#include "RestMsgQueue.h"

namespace zelvan::fennic {

// One configuration or cancellation to acknowledge to the server.
struct AckRecord {
  int UploadID = 0;
  int UpdateSchedulerId = 0;
  bool success = false;
};

}  // namespace zelvan::fennic

// The response processor. Every processing operation runs on the worker
// thread, one at a time. SetEventListener, IsRequestFailed and ReleaseQueue
// come from host threads; the failed-request list is the only state they
// share with the worker and it is kept under failedLock_.
class CQLResponse : public zelvan::fennic::IQLResponse {
 public:
  CQLResponse(std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration,
              std::shared_ptr<zelvan::fennic::ITenantConfig> tenantConfig,
              std::shared_ptr<zelvan::fennic::IUpdatesDownload> downloader);
  ~CQLResponse() override;

  CQLResponse(const CQLResponse&) = delete;
  CQLResponse& operator=(const CQLResponse&) = delete;

  bool SetEventListener(zelvan::fennic::IRestEventListener* listener) override;
  void ReleaseQueue() override;
  bool ProcessGetUpdtResponse(const std::string& response, bool allUpdates) override;
  int GetPendingDownloadCount() override;
  void ProcessGetCancelResponse(const std::string& response) override;
  void HandleDownloadResponse(const std::string& response, const std::wstring& url, const std::string& downloadKey,
                              const std::string& origin) override;
  void ConstructDownloads(web::json::value updates, bool fromGetAllUpdates) override;
  void UpdateFailedRequest(const bool& failed) override;
  bool IsRequestFailed(const std::wstring& requestName) override;

 protected:
  using UpdateMap = std::map<std::string, zelvan::fennic::UpdateRecord>;
  using JsonList = std::vector<web::json::value>;

  // Update and configuration answers.
  bool processGetUpdateOrConfig(web::json::value body, const std::wstring& key, bool allUpdates);
  bool GetUpdateResponse(web::json::value updates, bool allUpdates);
  // The received entries, filed: the silent and scheduled lists to store and
  // the entries to download.
  struct FiledUpdates {
    JsonList silent, scheduled, toDownload;
    std::vector<int> refusedStored;  // ids of refused entries that the stores hold
  };
  // Returns how many entries were refused.
  std::size_t FileReceived(web::json::value& updates, const UpdateMap& silentMap, const UpdateMap& scheduledMap,
                           FiledUpdates& filed);
  // A full list's entry that could not be read still lists its id: the
  // stored copy is kept as it was instead of going as if withdrawn.
  void KeepRefusedStored(FiledUpdates& filed);
  // A full list (fullList) also drops the stored configurations it no longer lists.
  void GetConfigResponse(web::json::value configurations, bool fullList = false);
  void FillTenantConfig();
  // Both set "downloadStatus" of a received entry from the store that knows
  // it; the caller then files the entry under its action.
  void MergeSilentUpdate(web::json::value& update, const std::string& id, const UpdateMap& silentMap);
  void MergeScheduledUpdate(web::json::value& update, const std::string& id, const std::string& action,
                            const UpdateMap& scheduledMap);
  std::string BuildLocalFilePath(const std::wstring& url);

  // Cancellations.
  void ProcessGetCancelUpdateResponse(web::json::value cancelledUpdates);
  void ProcessGetCancelDeviceConfigResponse(web::json::value cancelledConfigs);
  void RemoveCancelledUpdates(const web::json::value& cancelledUpdates, std::vector<web::json::value>& stored,
                              std::vector<web::json::value>& storedSilentUpdates);
  void RemoveCancelledConfig(int schedulerId, int uploadId, std::vector<web::json::value>& storedConfigs);

  // Acknowledgements and the update sync.
  void sendCancelReceivedStatus();
  void sendConfigurationReceivedStatus();
  void sendCancelConfigurationReceivedStatus();
  void PushRestMessageforUpdateSync();

  void Log(int level, const std::string& where, const std::string& text);
  void PushMessage(const zelvan::fennic::RestMessage& message);

  std::shared_ptr<zelvan::fennic::ILogManager> logger_;
  std::vector<zelvan::fennic::AckRecord> cancelUpdateAcks_;
  std::vector<zelvan::fennic::AckRecord> configAcks_;
  std::vector<zelvan::fennic::AckRecord> cancelConfigAcks_;
  std::atomic<zelvan::fennic::RestMsgQueue*> queue_;
  std::mutex failedLock_;
  std::vector<web::json::value> failedRequests_;  // GUARDED_BY(failedLock_)
  std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration_;
  std::shared_ptr<zelvan::fennic::ITenantConfig> tenantConfig_;
  std::shared_ptr<zelvan::fennic::IUpdatesDownload> downloader_;
};
