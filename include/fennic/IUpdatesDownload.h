#pragma once

#include <cpprest/json.h>

#include <map>
#include <string>

#include <fennic/FennicExport.h>
#include <fennic/IRestEventListener.h>
#include <fennic/UpdateRecord.h>

namespace zelvan::fennic {

// The download list. Called on the worker thread by the response processor
// and the download handler; the host may reach it through the exported
// getUpdatesDownload, but only between requests.
class FENNIC_EXPORT IUpdatesDownload {
 public:
  virtual ~IUpdatesDownload() = default;
  // Merges update descriptions into the download list and queues one
  // download request per entry; returns the list after the merge.
  virtual std::map<std::string, UpdateRecord> ConstructDownloadObject(web::json::value updates,
                                                                      bool fromGetAllUpdates) = 0;
  virtual std::map<std::string, UpdateRecord> ConstructMapFromJSON(web::json::value updates) = 0;
  virtual bool ProcessDownloadFile(const std::string& answer, const std::string& localPath,
                                   const std::wstring& target, const std::string& downloadKey,
                                   const std::string& origin) = 0;
  virtual bool SetEventListener(IRestEventListener* listener) = 0;
  virtual void CheckforVoicePromptsDownload(web::json::value& urlSource, int updateSchedulerId,
                                            const std::string& origin) = 0;
  virtual int GetPendingDownloadCount() = 0;
};

}  // namespace zelvan::fennic
