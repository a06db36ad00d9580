#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <fennic/IQLResponse.h>

namespace fennic_test {

// Response processor that records what the executor hands it. ReleaseQueue
// releases the real queue, as the real processor does.
class RecordingResponseProcessor : public zelvan::fennic::IQLResponse {
 public:
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

  std::vector<std::string> Calls();

  // Settable answers.
  bool updateResult = true;
  int pendingDownloads = 0;
  bool requestFailed = false;

 private:
  void Record(const std::string& call);
  std::mutex lock_;
  std::vector<std::string> calls_;
};

}  // namespace fennic_test
