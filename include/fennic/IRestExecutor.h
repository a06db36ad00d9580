#pragma once

#include <chrono>
#include <string>

#include <fennic/FennicExport.h>
#include <fennic/IRestEventListener.h>

namespace zelvan::fennic {

// The request executor: owns the worker thread that runs every server
// request. All operations are called from the host's threads; the handlers
// behind them run on the worker.
class FENNIC_EXPORT IRestExecutor {
 public:
  virtual ~IRestExecutor() = default;
  // Stores the listener (not owned) and passes it on to the response
  // processor and the downloader. True when the pointer is non-null.
  virtual bool SetEventListener(IRestEventListener* listener) = 0;
  // Stops and joins the worker and releases the request queue. Call once,
  // before dropping the executor.
  virtual void Shutdown() = 0;
  virtual std::string GetLastSeenOfServer() = 0;
  // Ends the worker loop and waits until the worker has left it.
  virtual void StopWorker() = 0;
  virtual std::wstring GetToken() = 0;
  // Reloads token and tenant details from the configuration manager.
  virtual void LoadTenantConfiguration() = 0;
  // Turns a JSON array of update descriptions into downloads at once.
  virtual void ConstructDownloads(const std::string& jsonText, int fromGetAllUpdates) = 0;
  virtual void SetClientState(int value) = 0;
  virtual bool IsRequestFailed(const std::wstring& requestName) = 0;
  virtual void RearmFailureAlert(int value) = 0;
  // Waits until every queued message has been handled (the queue empty and the worker idle) or
  // `bound` has passed. At the bound, the reports still queued are taken off the queue and kept:
  // device update-status reports in their existing store of failed reports, acknowledgements
  // (download status 11, cancel acknowledgement 14, configuration acknowledgements 22) in a small
  // store of their own; they are sent again after the next start. Returns true when drained.
  // At the bound the worker is stopped first (it finishes the request it is in), so nothing is
  // taken or queued behind the drain's back; only Shutdown may follow then.
  virtual bool DrainQueue(std::chrono::milliseconds bound) = 0;
};

}  // namespace zelvan::fennic
