#pragma once

#include <cpprest/json.h>

#include <string>

#include <fennic/FennicExport.h>
#include <fennic/IRestEventListener.h>

namespace zelvan::fennic {

// The response processor: turns update, configuration and cancellation
// answers into stored lists, applied configurations and download work.
// Called on the worker thread.
class FENNIC_EXPORT IQLResponse {
 public:
  virtual ~IQLResponse() = default;
  virtual bool SetEventListener(IRestEventListener* listener) = 0;
  // Releases the process-wide request queue; called once at shutdown.
  virtual void ReleaseQueue() = 0;
  virtual bool ProcessGetUpdtResponse(const std::string& response, bool allUpdates) = 0;
  virtual int GetPendingDownloadCount() = 0;
  virtual void ProcessGetCancelResponse(const std::string& response) = 0;
  virtual void HandleDownloadResponse(const std::string& response, const std::wstring& url,
                                      const std::string& downloadKey, const std::string& origin) = 0;
  virtual void ConstructDownloads(web::json::value updates, bool fromGetAllUpdates) = 0;
  virtual void UpdateFailedRequest(const bool& failed) = 0;
  virtual bool IsRequestFailed(const std::wstring& requestName) = 0;
};

}  // namespace zelvan::fennic
