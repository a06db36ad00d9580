#pragma once

#include <cpprest/json.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "IConfigurationManager.h"
#include "ILogManager.h"
#include <fennic/IQLResponse.h>
#include "IRestClient.h"
#include <fennic/IRestExecutor.h>
#include "RestMessage.h"
#include "RestMsgQueue.h"

namespace zelvan::fennic {
class SilentUpdateStatus;
}

// The request executor. Owns the single worker thread, which takes messages
// off the process-wide queue one at a time and runs the handler of each
// type. Handlers are members, defined in the source folder of their
// subsystem; they all run on the worker thread.
//
// State shared with host threads (token, tenant details, last contact,
// client state, flags, listener) is kept race-free: the plain texts under
// stateLock_, the scalars atomic. Handlers go through the accessors below
// rather than touching those members directly.
class CRestExecutor : public zelvan::fennic::IRestExecutor {
 public:
  CRestExecutor(std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration,
                std::shared_ptr<zelvan::fennic::IQLResponse> responseProcessor,
                std::shared_ptr<zelvan::fennic::IRestClient> restClient);
  ~CRestExecutor() override;

  CRestExecutor(const CRestExecutor&) = delete;
  CRestExecutor& operator=(const CRestExecutor&) = delete;

  // IRestExecutor (host threads).
  bool SetEventListener(zelvan::fennic::IRestEventListener* listener) override;
  void Shutdown() override;
  std::string GetLastSeenOfServer() override;
  void StopWorker() override;
  std::wstring GetToken() override;
  void LoadTenantConfiguration() override;
  void ConstructDownloads(const std::string& jsonText, int fromGetAllUpdates) override;
  void SetClientState(int value) override;
  bool IsRequestFailed(const std::wstring& requestName) override;
  void RearmFailureAlert(int value) override;
  bool DrainQueue(std::chrono::milliseconds bound) override;

  // Queues a request of `type` with no data. Any thread; never throws.
  void SendRestMessage(int type);

  // Shared steps that end an update check and report a failed request.
  // Worker thread.
  void FinishUpdateCheck();
  void EndUpdateCheck();
  void AlertServerUnreachable();
  void CheckForUpdateFailedEvent(bool networkError, int requestType);


 protected:
  // --- pipeline core (src/pipeline) ---------------------------------------
  void ExecuteRestCall();
  // One turn of the worker loop: take, guard, dispatch, catch.
  void HandleNextMessage();
  // Runs worker work so that nothing it throws (the host's listener or
  // logger included) ends the worker; such a failure is logged once, level 5.
  void AtWorkerEdge(const std::function<void()>& work);
  bool GuardAllows(int type);
  void Dispatch(const zelvan::fennic::RestMessage& message);
  // Dispatch's groups: each handles the types it owns and says whether it did.
  bool DispatchUpdateWork(const zelvan::fennic::RestMessage& message);
  bool DispatchHostReport(const zelvan::fennic::RestMessage& message);
  bool DispatchWorkerControl(const zelvan::fennic::RestMessage& message);
  // Ends a request that a handler left by an exception: logs it and ends an
  // update check it belonged to.
  void EndFailedRequest(const std::exception& e, int type, bool networkError);
  void EndFailedRequest(int type, bool networkError);
  static bool IsUpdateCheckType(int type);
  // Waits unless a stop arrives first; false when stopping.
  bool WaitFor(std::chrono::milliseconds wait);
  bool IsStopping() const { return !running_.load(); }

  // Stop machinery shared by StopWorker, DrainQueue and Shutdown.
  bool OnWorkerThread() const { return std::this_thread::get_id() == workerId_.load(); }
  // Clears running and wakes the worker; never waits.
  void RequestStop();
  // DrainQueue's work once it may touch the queue. REQUIRES: counted in drains_.
  bool DrainUntil(std::chrono::steady_clock::time_point deadline);
  // True once the worker has left its loop; false when `deadline` came first.
  bool WaitForWorkerExit(std::chrono::steady_clock::time_point deadline);
  // Shutdown's last step, after the join: keeps what a timed-out drain left,
  // lets the response processor release the queue and drops both.
  void ReleaseQueueAfterJoin();
  // The host-thread work that needs the response processor, unless shut down.
  bool WithProcessor(const std::function<void(zelvan::fennic::IQLResponse&)>& work);

  // Raises a listener event if a listener is set.
  void RaiseEvent(int code, const std::string& text = std::string(), const char* payload = "");
  void Log(int level, const std::string& where, const std::string& text);
  // The transport call of every handler.
  std::string Execute(int requestType, const std::string& body);

  // Accessors of the state shared with host threads.
  std::wstring Token();
  void SetToken(const std::wstring& token);
  std::string TenantValue(const std::string& key);
  void SetTenantValue(const std::string& key, const std::string& value);
  std::map<std::string, std::string> TenantSnapshot();
  void ReplaceTenantDetails(const std::map<std::string, std::string>& details);
  void SetLastSeenOfServer(const std::string& stamp);
  void MarkServerSeen();  // lastSeenOfServer := StringUtil::setLastSeenOfServer()
  std::wstring DeviceInfoUrl();
  void SetDeviceInfoUrl(const std::wstring& url);

  // Keeps the reports among `messages` for the next start (DrainQueue).
  // REQUIRES: the worker has exited.
  void KeepUnsentReports(const std::vector<zelvan::fennic::RestMessage>& messages);
  // Undoes what a message the worker's guard dropped left (KeptReports.cpp).
  void AfterGuardDrop(const zelvan::fennic::RestMessage& message);
  // Queues the acknowledgements kept by an earlier DrainQueue and empties
  // their store. Needs the tenant and a token loaded.
  void RequeueKeptAcknowledgements();

  // --- lifecycle (src/lifecycle) -------------------------------------------
  void ManageAgentRegistration(const zelvan::fennic::RestMessage& message);
  bool isTenantIdNull(const std::string& body);
  void RegistrationFailed(const std::string& cause);
  // Steps of ManageAgentRegistration, in order.
  bool RegistrationSettingsChanged(const web::json::value& answer);
  bool StoreRegistrationToken(const web::json::value& answer);
  void SaveRegistrationState();
  void StoreRegistrationDetails(const web::json::value& responseBody);
  void AnnounceRegistered();
  void ManageHeartBeat();
  void handleHeartBeatException(const std::exception& e, bool networkError);
  // Steps of ManageHeartBeat, in order.
  bool HeartBeatAccepted(const web::json::value& answer);
  bool AnonymizeListChangedIn(const web::json::value& responseBody);
  void ApplyBackendEndPoint(const web::json::value& responseBody);
  void ApplyHeartBeatSettings(const web::json::value& responseBody);
  void RequestAfterHeartBeat();
  void ReadHeartBeatFlags(web::json::value body);
  void ReadUpdateFlags(const web::json::value& body);
  bool MergeTenantSettings(web::json::value body);
  void WriteTenantConfigsToFile();
  std::string HandEndpointToTransport(const std::string& url, const std::string& tenantId);
  void WriteMachineDataInConfigFile(const std::wstring& supportEmail, const std::wstring& agentId);
  bool isAnonymizedataExceptionsChanged(web::json::value received);
  void RefreshConfigurationRecords();
  // Stored status reports that SendSavedSilentUpdateStatus queued and the
  // worker has not handled yet, by report text. A stored report stays in the
  // store until the server accepts it; this keeps a second heart beat from
  // queuing it twice and a failed re-send from storing it twice. Worker only.
  std::multiset<std::string> storedReportsQueued_;

  // --- updates (src/updates) -----------------------------------------------
  void ManageGetUpdates();
  void ManageGetAllUpdates();
  void ManageCancelUpdate();
  void ManageCCConfigReq(const zelvan::fennic::RestMessage& message);

  // --- downloads and update status (src/downloads) -------------------------
  void ManageDownloadFiles(const zelvan::fennic::RestMessage& message);
  void ManageDownloadStatus(const zelvan::fennic::RestMessage& message);
  void ManageDeviceUpdtStatus(const zelvan::fennic::RestMessage& message);
  void SendUpdateStatusReport(const std::string& report, const std::function<void()>& keep);
  void NoteUnsentUpdateStatus(const std::exception& e);
  bool SaveFailedRequestOfUpdateStatus(const std::string& report);
  void SendSavedSilentUpdateStatus();
  void SendSilentUpdateStatus(const zelvan::fennic::SilentUpdateStatus& status);

  // --- device and usage reporting (src/reporting) --------------------------
  void ManageDeviceConnectionEvent(const zelvan::fennic::RestMessage& message, bool plugged);
  void ManageDeviceSync(const zelvan::fennic::RestMessage& message);
  void ManageCallDurationUpdate(const zelvan::fennic::RestMessage& message);
  void ManageSoftPhoneDetails(const zelvan::fennic::RestMessage& message);
  void ManageUpdateUserDetails(const zelvan::fennic::RestMessage& message);

  // --- directory group queries (src/directory) -----------------------------
  void ManageGetADQuery();
  void ProcessADUpdates(const std::string& responseText);
  void HandleInGroupResult(const std::string& resultText);
  void ManageADUpdates(const std::string& body);
  void HandleUserSessionTerminated();

  // --- members ---------------------------------------------------------------
  zelvan::fennic::RestMsgQueue* queue_;  // null after Shutdown, which clears it after the join
  std::atomic<bool> running_{true};
  bool workerExited_ = false;  // GUARDED_BY(stopMutex_)
  bool released_ = false;      // GUARDED_BY(stopMutex_); Shutdown has released the queue
  int drains_ = 0;             // GUARDED_BY(stopMutex_); drains under way, which the release waits for
  std::mutex drainMutex_;      // one drain at a time; a second one returns at once
  std::mutex shutdownMutex_;   // one Shutdown at a time
  // A drain ran out of time with the worker still busy: Shutdown keeps the
  // queued reports once it has joined the worker.
  std::atomic<bool> keepAtRelease_{false};
  std::atomic<std::thread::id> workerId_{};
  std::shared_ptr<zelvan::fennic::ILogManager> logger_;
  std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration_;

  std::mutex stateLock_;
  std::string lastSeenOfServer_;                       // GUARDED_BY(stateLock_)
  std::map<std::string, std::string> tenantDetails_;  // GUARDED_BY(stateLock_)
  // "URL" and "TenantID" both non-empty in tenantDetails_, kept by its two
  // setters so the worker's guard need not look them up for every message.
  bool tenantKnown_ = false;  // GUARDED_BY(stateLock_)
  std::wstring token_;                                 // GUARDED_BY(stateLock_)
  std::wstring deviceInfoUrl_;                         // GUARDED_BY(stateLock_)

  std::atomic<zelvan::fennic::IRestEventListener*> listener_{nullptr};
  std::condition_variable stopCondition_;
  std::mutex stopMutex_;
  std::mutex keptAcksLock_;  // "PendingAcks.dat": read, changed and written as one step
  std::atomic<bool> getAllUpdatesSent_{false};
  std::shared_ptr<zelvan::fennic::IQLResponse> responseProcessor_;
  bool registrationUnsaved_ = false;  // worker only: the token is to be stored again
  bool resyncSinceHeartBeat_ = false;  // worker only: a full list was asked for by a store
  std::atomic<bool> hasADQuery_{false};
  std::atomic<bool> hasUpdates_{false};
  std::atomic<bool> hasCancelUpdates_{false};
  const std::vector<std::string> tenantSettingKeys_;
  std::atomic<int> clientState_{0};
  web::json::value m_aADUpdatesList;  // worker only
  std::atomic<bool> failureAlertSent_{false};
  std::shared_ptr<zelvan::fennic::IRestClient> restClient_;

  // The worker starts last, once every member above is initialised.
  std::thread worker_;
};
