#include "support/RecordingResponseProcessor.h"

#include "RestMsgQueue.h"
#include "TextConversion.h"

namespace fennic_test {

void RecordingResponseProcessor::Record(const std::string& call) {
  std::lock_guard<std::mutex> hold(lock_);
  calls_.push_back(call);
}

std::vector<std::string> RecordingResponseProcessor::Calls() {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_;
}

bool RecordingResponseProcessor::SetEventListener(zelvan::fennic::IRestEventListener* listener) {
  Record("SetEventListener");
  return listener != nullptr;
}

void RecordingResponseProcessor::ReleaseQueue() {
  Record("ReleaseQueue");
  zelvan::fennic::RestMsgQueue::releaseInstance();
}

bool RecordingResponseProcessor::ProcessGetUpdtResponse(const std::string& response, bool allUpdates) {
  Record(std::string("ProcessGetUpdtResponse:") + (allUpdates ? "all:" : "some:") + response);
  return updateResult;
}

int RecordingResponseProcessor::GetPendingDownloadCount() {
  Record("GetPendingDownloadCount");
  return pendingDownloads;
}

void RecordingResponseProcessor::ProcessGetCancelResponse(const std::string& response) {
  Record("ProcessGetCancelResponse:" + response);
}

void RecordingResponseProcessor::HandleDownloadResponse(const std::string& response, const std::wstring& url,
                                                        const std::string& downloadKey, const std::string& origin) {
  Record("HandleDownloadResponse:" + response + "|" + zelvan::fennic::ToUtf8(url) + "|" + downloadKey + "|" + origin);
}

void RecordingResponseProcessor::ConstructDownloads(web::json::value updates, bool fromGetAllUpdates) {
  Record(std::string("ConstructDownloads:") + (fromGetAllUpdates ? "all:" : "some:") + updates.serialize());
}

void RecordingResponseProcessor::UpdateFailedRequest(const bool& failed) {
  Record(std::string("UpdateFailedRequest:") + (failed ? "1" : "0"));
}

bool RecordingResponseProcessor::IsRequestFailed(const std::wstring& requestName) {
  Record("IsRequestFailed:" + zelvan::fennic::ToUtf8(requestName));
  return requestFailed;
}

}  // namespace fennic_test
