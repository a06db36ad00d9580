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
  bool SetEventListener(zelvan::fennic::IRestEventListener* listener) override {
    Record("SetEventListener");
    return listener != nullptr;
  }
  void ReleaseQueue() override;
  bool ProcessGetUpdtResponse(const std::string& response, bool allUpdates) override {
    Record(std::string("ProcessGetUpdtResponse:") + (allUpdates ? "all:" : "some:") + response);
    return true;
  }
  int GetPendingDownloadCount() override { return Record("GetPendingDownloadCount"), pendingDownloads; }
  void ProcessGetCancelResponse(const std::string& response) override { Record("ProcessGetCancelResponse:" + response); }
  void HandleDownloadResponse(const std::string& response, const std::wstring& url, const std::string& downloadKey,
                              const std::string& origin) override;
  void ConstructDownloads(web::json::value updates, bool fromGetAllUpdates) override {
    Record(std::string("ConstructDownloads:") + (fromGetAllUpdates ? "all:" : "some:") + updates.serialize());
  }
  void UpdateFailedRequest(const bool& failed) override {
    Record(std::string("UpdateFailedRequest:") + (failed ? "1" : "0"));
  }
  bool IsRequestFailed(const std::wstring& requestName) override;

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
  }

  // Settable answers.
  int pendingDownloads = 0;
  bool requestFailed = false;

 private:
  void Record(const std::string& call) {
    std::lock_guard<std::mutex> hold(lock_);
    calls_.push_back(call);
  }
  std::mutex lock_;
  std::vector<std::string> calls_;
};

}  // namespace fennic_test
