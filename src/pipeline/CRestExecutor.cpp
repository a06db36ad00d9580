#include "CRestExecutor.h"

#include <cpprest/http_msg.h>

#include <system_error>
#include <utility>
#include <vector>

#include "AgentException.h"
#include "IAgentUtils.h"
#include "QueueGate.h"
#include "RestRequestType.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {
const std::string kLoopWhere = "CRestExecutor::ExecuteRestCall";
const std::string kSendWhere = "CRestExecutor::SendRestMessage";
const std::string kFailedWhere = "CRestExecutor::CheckForUpdateFailedEvent";

// The line the worker writes after every message, made once per request
// type rather than once per message; null for a type beyond the table.
const std::string* LeavingLine(int type) {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> made;
    for (int known = 0; known < 64; ++known) made.push_back("Leaving request type : " + std::to_string(known));
    return made;
  }();
  return type >= 0 && type < static_cast<int>(lines.size()) ? &lines[static_cast<std::size_t>(type)] : nullptr;
}
}  // namespace

CRestExecutor::CRestExecutor(std::shared_ptr<IConfigurationManager> configuration,
                             std::shared_ptr<IQLResponse> responseProcessor, std::shared_ptr<IRestClient> restClient)
    : queue_(RestMsgQueue::getInstance()),
      logger_(IAgentUtils::getLogManager()),
      configuration_(std::move(configuration)),
      responseProcessor_(std::move(responseProcessor)),
      tenantSettingKeys_{"TenantName",       "TimeInterval",     "UpdateFromFile",       "AllowDownGrade",
                         "CollectData",      "CollectSoftPhoneStats", "CollectCallStats", "BackendEndPoint",
                         "DeviceInfoUrl",    "UpgradeSupportMessage", "NotSupportMessage"},
      m_aADUpdatesList(web::json::value::string("[]")),
      restClient_(std::move(restClient)),
      worker_(&CRestExecutor::ExecuteRestCall, this) {
  QueueGate::Open();
}

CRestExecutor::~CRestExecutor() {
  // A host that forgot Shutdown must not leave a thread running on a dead
  // object; joining here is the only safe choice.
  if (worker_.joinable()) {
    if (running_.load()) StopWorker();
    worker_.join();
  }
}

// ---------------------------------------------------------------------------
// Worker loop

void CRestExecutor::ExecuteRestCall() {
  workerId_.store(std::this_thread::get_id());
  while (running_.load()) AtWorkerEdge([this] { HandleNextMessage(); });
  AtWorkerEdge([this] { Log(2, kLoopWhere, "Rest call thread Exited"); });
  // A later thread may be given the same id.
  workerId_.store(std::thread::id());
  {
    std::lock_guard<std::mutex> hold(stopMutex_);
    workerExited_ = true;
  }
  stopCondition_.notify_all();
}

void CRestExecutor::HandleNextMessage() {
  RestMessage message = queue_->getNextRestMsg();
  const int type = message.getType();
  if (!GuardAllows(type)) {
    AfterGuardDrop(message);
    return;
  }
  try {
    Dispatch(message);
    if (const std::string* line = LeavingLine(type)) Log(2, kLoopWhere, *line);
    else Log(2, kLoopWhere, "Leaving request type : " + std::to_string(type));
  } catch (const web::http::http_exception& e) {
    EndFailedRequest(e, type, true);
  } catch (const AgentException& e) {
    EndFailedRequest(e, type, false);
  } catch (const std::bad_exception& e) {
    EndFailedRequest(e, type, false);
  } catch (const web::json::json_exception& e) {
    EndFailedRequest(e, type, false);
  } catch (const std::system_error& e) {
    Log(5, kLoopWhere, e.what());
    // Only an update check is ended: anything else stays as it was.
    if (IsUpdateCheckType(type)) EndFailedRequest(type, false);
  } catch (const std::exception& e) {
    // Not one of the system's kinds; still never let it end the worker.
    EndFailedRequest(e, type, false);
  } catch (...) {
    // Thrown by host code (a transport, say) that is not an exception class.
    Log(5, kLoopWhere, "Unknown exception");
    EndFailedRequest(type, false);
  }
}

bool CRestExecutor::IsUpdateCheckType(int type) {
  return type == HEART_BEAT_REQ || type == GET_UPDATES_REQ || type == CANCEL_UPDATE_REQ ||
         type == GET_ALL_UPDATES_REQ || type == DOWNLOAD_FILES;
}

void CRestExecutor::EndFailedRequest(const std::exception& e, int type, bool networkError) {
  Log(5, kLoopWhere, e.what());
  EndFailedRequest(type, networkError);
}

// A full-list request that failed is no longer outstanding; were the flag
// left set, FinishUpdateCheck would do nothing for the rest of the process
// and every later full-list request carrying data would be dropped.
//
// Only a request of the update check ends it: a failed report ending the
// check would end a host's pass before its downloads ran.
void CRestExecutor::EndFailedRequest(int type, bool networkError) {
  if (type == GET_ALL_UPDATES_REQ) getAllUpdatesSent_.store(false);
  if (type == HEART_BEAT_REQ) {
    // Event 7 is the heart beat's own outcome: a host waiting for it must
    // not take another request's end of the check (4) for it.
    CheckForUpdateFailedEvent(networkError, type);
    return RaiseEvent(7);
  }
  if (type == DOWNLOAD_FILES && responseProcessor_ && responseProcessor_->GetPendingDownloadCount() > 0) {
    // The check's other downloads are still to run; the last one ends it.
    Log(3, kFailedWhere, "A download failed; the update check goes on with the others");
    if (networkError) AlertServerUnreachable();
    return;
  }
  if (IsUpdateCheckType(type) || type == AGENT_REGISTRATION_REQ || type == GET_AD_QUERY_REQ)
    return CheckForUpdateFailedEvent(networkError, type);
  Log(3, kFailedWhere, "Request type " + std::to_string(type) + " failed; the update check goes on");
  if (networkError) AlertServerUnreachable();
}

// Only registration runs without a token; nothing runs without the tenant's
// address and identifier. The log text is built only for a dropped message.
bool CRestExecutor::GuardAllows(int type) {
  std::string url;
  std::wstring token;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    if (tenantKnown_ && (type == AGENT_REGISTRATION_REQ || !token_.empty())) return true;
    const auto urlIt = tenantDetails_.find("URL");
    if (urlIt != tenantDetails_.end()) url = urlIt->second;
    token = token_;
  }
  // The token is a secret: a held one shows as *** (the line is written when
  // the tenant is what is missing).
  Log(2, kLoopWhere,
      std::string("Rest Message is not proceeded, Since token is empty : ") + (token.empty() ? "" : "***") +
          " or Tenant URL or ID is empty : " + url);
  return false;
}

// Each group answers whether the type is its own; a type no group knows is logged.
void CRestExecutor::Dispatch(const RestMessage& message) {
  if (DispatchUpdateWork(message) || DispatchHostReport(message) || DispatchWorkerControl(message)) return;
  Log(3, kLoopWhere, "Unknown request type " + std::to_string(message.getType()));
}

// Registration, the heart beat, the update check and the downloads it starts.
bool CRestExecutor::DispatchUpdateWork(const RestMessage& message) {
  switch (message.getType()) {
    case AGENT_REGISTRATION_REQ:
      ManageAgentRegistration(message);
      return true;
    case HEART_BEAT_REQ:
      ManageHeartBeat();
      return true;
    case DEVICE_UPDATE_STATUS_REQ:
      ManageDeviceUpdtStatus(message);
      return true;
    case GET_UPDATES_REQ:
      ManageGetUpdates();
      return true;
    case CANCEL_UPDATE_REQ:
      ManageCancelUpdate();
      return true;
    case CC_CONFIG_REQ:
      ManageCCConfigReq(message);
      return true;
    case GET_ALL_UPDATES_REQ:
      // Once-only: a request carrying data runs only while no full list is
      // outstanding; one without data (a resynchronisation) runs too.
      if (!message.getData().empty()) {
        if (!getAllUpdatesSent_.exchange(true)) ManageGetAllUpdates();
      } else if (getAllUpdatesSent_.load() || !std::exchange(resyncSinceHeartBeat_, true)) {
        ManageGetAllUpdates();
      } else {
        // A store that keeps failing asks again at every full list: one
        // resynchronisation per heart beat, or the requests would never stop.
        Log(3, kLoopWhere, "Full list asked for again before the next heart beat; not sent");
      }
      return true;
    case DOWNLOAD_STATUS_REQ:
      ManageDownloadStatus(message);
      return true;
    case DOWNLOAD_FILES:
      ManageDownloadFiles(message);
      return true;
    default:
      return false;
  }
}

// What the host reports: devices, sessions, calls, users, directory groups,
// and the acknowledgements it forwards as they are.
bool CRestExecutor::DispatchHostReport(const RestMessage& message) {
  const int type = message.getType();
  switch (type) {
    case CANCEL_RECEIVED_ACK_REQ:
    case CLIENT_FORWARD_REQ:
    case CONFIG_ACK_REQ:
      Execute(type, message.data());
      return true;
    case DEVICE_PLUGIN_REQ:
    case DEVICE_UNPLUG_REQ:
      ManageDeviceConnectionEvent(message, type == DEVICE_PLUGIN_REQ);
      return true;
    case DEVICE_SYNC_REQ:
      ManageDeviceSync(message);
      return true;
    case SOFTPHONE_DETAILS_REQ:
      ManageSoftPhoneDetails(message);
      return true;
    case CALL_DURATION_REQ:
      ManageCallDurationUpdate(message);
      return true;
    case USER_DETAILS_REQ:
      ManageUpdateUserDetails(message);
      return true;
    case GET_AD_QUERY_REQ:
      ManageGetADQuery();
      return true;
    case IN_GROUP_RESULT_REQ:
      HandleInGroupResult(message.getData());
      return true;
    case USER_SESSION_TERMINATED_REQ:
      HandleUserSessionTerminated();
      return true;
    default:
      return false;
  }
}

// The worker's own stop message and the transport's commands.
bool CRestExecutor::DispatchWorkerControl(const RestMessage& message) {
  switch (message.getType()) {
    case STOP_WORKER_REQ:
      // One second, cut short when a stop is under way: this message is
      // what wakes a worker that is being stopped.
      WaitFor(std::chrono::seconds(1));
      return true;
    case TRANSPORT_COMMAND_REQ:
      restClient_->RunTransportCommand();
      return true;
    case TRANSPORT_QUERY_REQ:
      if (!Execute(TRANSPORT_QUERY_REQ, std::string()).empty()) RaiseEvent(19);
      return true;
    default:
      return false;
  }
}

std::string CRestExecutor::Execute(int requestType, const std::string& body) {
  return restClient_->ExecuteRequest(requestType, body);
}

// ---------------------------------------------------------------------------
// Queuing and the update check

void CRestExecutor::SendRestMessage(int type) {
  try {
    const bool hasToken = !Token().empty();
    if (!hasToken && type != STOP_WORKER_REQ) throw AgentException("Token is Empty");
    if (hasToken && type == GET_ALL_UPDATES_REQ && getAllUpdatesSent_.exchange(true)) return;
    RestMessage message;
    message.setType(type);
    queue_->pushMsg(message);
  } catch (const AgentException& e) {
    Log(5, kSendWhere, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, kSendWhere, e.what());
  }
}

void CRestExecutor::FinishUpdateCheck() {
  if (getAllUpdatesSent_.load()) return;
  // Downloads still listed (a host's, or an earlier answer's) end the check
  // when the last is done: ended now, a host would take it for over.
  if (responseProcessor_ && responseProcessor_->GetPendingDownloadCount() > 0) return;
  EndUpdateCheck();
}

void CRestExecutor::EndUpdateCheck() {
  clientState_.store(0);
  RaiseEvent(4);
}

void CRestExecutor::CheckForUpdateFailedEvent(bool networkError, int requestType) {
  const int state = clientState_.load();
  Log(3, kFailedWhere, "Rest Executor HBState is: " + std::to_string(state));
  const bool hostsCheck = state == 1 && (requestType == HEART_BEAT_REQ || requestType == GET_UPDATES_REQ ||
                                         requestType == CANCEL_UPDATE_REQ || requestType == GET_ALL_UPDATES_REQ);
  if (hostsCheck) {
    Log(3, kFailedWhere, "CheckForUpdate is failed: ");
    RaiseEvent(9);
  }
  // The host's check that failed ends now, downloads or not. Any other ends
  // as a good one does, once no download is listed: its 4 alone would tell a
  // host that the downloads it handed over were done.
  if (!hostsCheck) FinishUpdateCheck();
  else if (!getAllUpdatesSent_.load()) EndUpdateCheck();
  if (networkError) AlertServerUnreachable();
}

// Event 16 once, until the host rearms it.
void CRestExecutor::AlertServerUnreachable() {
  if (!failureAlertSent_.exchange(true)) RaiseEvent(16);
}

// ---------------------------------------------------------------------------
// Stop protocol

void CRestExecutor::StopWorker() {
  // A listener that stops the worker cannot wait for itself to leave.
  if (OnWorkerThread()) return RequestStop();
  {
    std::lock_guard<std::mutex> hold(stopMutex_);
    if (released_) return;  // shut down: nothing left to stop
  }
  RequestStop();
  WaitForWorkerExit(std::chrono::steady_clock::time_point::max());
}

void CRestExecutor::Shutdown() {
  // On the worker (a listener) it can only ask; the host's own Shutdown or
  // the destructor joins.
  if (OnWorkerThread()) return RequestStop();
  std::lock_guard<std::mutex> once(shutdownMutex_);
  if (running_.load()) StopWorker();
  if (worker_.joinable()) worker_.join();
  {
    std::unique_lock<std::mutex> hold(stopMutex_);
    // A drain under way ends within its bound; the queue is not released under it.
    stopCondition_.wait(hold, [this] { return drains_ == 0; });
    if (released_) return;
    released_ = true;
  }
  ReleaseQueueAfterJoin();
}

// ---------------------------------------------------------------------------
// Host-facing operations

bool CRestExecutor::SetEventListener(IRestEventListener* listener) {
  bool accepted = false;
  const bool open = WithProcessor([&](IQLResponse& processor) {
    listener_.store(listener);
    accepted = processor.SetEventListener(listener);
  });
  return open && accepted;
}

std::string CRestExecutor::GetLastSeenOfServer() {
  std::lock_guard<std::mutex> hold(stateLock_);
  return lastSeenOfServer_;
}

std::wstring CRestExecutor::GetToken() { return Token(); }

// Reached from the host's thread: only a refusal, never an exception, goes back.
void CRestExecutor::ConstructDownloads(const std::string& jsonText, int fromGetAllUpdates) {
  static const std::string kWhere = "CRestExecutor::ConstructDownloads";
  const bool open = WithProcessor([&](IQLResponse& processor) {
    try {
      processor.ConstructDownloads(web::json::value::parse(jsonText), fromGetAllUpdates != 0);
    } catch (const web::json::json_exception& e) {
      Log(3, kWhere, std::string("Not a list of update descriptions, nothing queued: ") + e.what());
    } catch (const std::exception& e) {
      Log(5, kWhere, e.what());
    } catch (...) {
      Log(5, kWhere, "Unknown exception");
    }
  });
  if (!open) Log(3, kWhere, "The executor is shut down, nothing queued");
}

void CRestExecutor::SetClientState(int value) { clientState_.store(value); }

bool CRestExecutor::IsRequestFailed(const std::wstring& requestName) {
  bool failed = false;
  WithProcessor([&](IQLResponse& processor) { failed = processor.IsRequestFailed(requestName); });
  return failed;
}

void CRestExecutor::RearmFailureAlert(int value) {
  restClient_->SetTransportOption(value);
  failureAlertSent_.store(false);
}
