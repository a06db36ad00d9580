#pragma once

#include <cpprest/json.h>

#include <string>

namespace zelvan::fennic {

// One update description as the download side reads it. The download list
// maps downloadKey (the decimal UpdateSchedulerId, plus "_n" for the n-th
// voice-prompt file) to one of these.
struct UpdateRecord {
  std::wstring IProduct;
  std::wstring URL;
  web::json::value URLSource;  // "UpdatesURLs" if present, else "UpdatesURL"
  std::wstring Version;
  std::wstring Type;
  std::wstring ScheduledTime;
  std::wstring Action;
  int UploadID = 0;
  int UpdateSchedulerId = 0;
  std::wstring updateDeployedTime;
  std::wstring ForceUpdate;
  bool downloadStatus = false;

  bool getDownloadStatus() const { return downloadStatus; }
  const web::json::value& getURLSource() const { return URLSource; }
};

}  // namespace zelvan::fennic
