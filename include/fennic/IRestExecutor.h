#pragma once

#include <chrono>
#include <string>

#include <fennic/FennicExport.h>
#include <fennic/IRestEventListener.h>

namespace zelvan::fennic {

// The request executor: owns the worker thread that runs every server
// request. All operations are called from the host's threads, in any state;
// the handlers behind them run on the worker. After Shutdown each operation
// does nothing and says so in its result, as noted below. Called from the
// host's listener (on the worker), StopWorker and Shutdown only ask the
// worker to stop, and DrainQueue returns false at once.
class FENNIC_EXPORT IRestExecutor {
 public:
  virtual ~IRestExecutor() = default;
  // Stores the listener (not owned) and passes it on to the response
  // processor and the downloader. True when the pointer is non-null; false,
  // storing nothing, after Shutdown.
  virtual bool SetEventListener(IRestEventListener* listener) = 0;
  // Stops and joins the worker and releases the request queue. Call before
  // dropping the executor; a second call does nothing.
  virtual void Shutdown() = 0;
  virtual std::string GetLastSeenOfServer() = 0;
  // Ends the worker loop and waits until the worker has left it. Returns at
  // once when it has already left; does nothing after Shutdown.
  virtual void StopWorker() = 0;
  virtual std::wstring GetToken() = 0;
  // Reloads token and tenant details from the configuration manager, and
  // queues again the acknowledgements an earlier stop kept; once the worker
  // is stopped they stay kept.
  virtual void LoadTenantConfiguration() = 0;
  // Turns a JSON array of update descriptions into downloads at once. Never
  // throws: a text that is not JSON gets a level-3 line, other failures a
  // level-5 line. Does nothing after Shutdown.
  virtual void ConstructDownloads(const std::string& jsonText, int fromGetAllUpdates) = 0;
  virtual void SetClientState(int value) = 0;
  // False after Shutdown.
  virtual bool IsRequestFailed(const std::wstring& requestName) = 0;
  virtual void RearmFailureAlert(int value) = 0;
  // Waits until every queued message has been handled (the queue empty and the worker idle) or
  // `bound` has passed. At the bound, the reports still queued are taken off the queue and kept:
  // device update-status reports in their existing store of failed reports, acknowledgements
  // (download status 11, cancel acknowledgement 14, configuration acknowledgements 22) in a small
  // store of their own; they are sent again after the next start. Returns true when drained.
  // At the bound the worker is stopped first and the queue is taken only once it has left its
  // request, waiting at most one second more; a worker still busy then (or another thread's stop
  // still waiting for it) leaves the keeping to Shutdown, after its join. So the call returns
  // within `bound` plus one second, whatever the worker does. Only Shutdown may follow a false
  // result. True after Shutdown (nothing is queued).
  virtual bool DrainQueue(std::chrono::milliseconds bound) = 0;
};

}  // namespace zelvan::fennic
