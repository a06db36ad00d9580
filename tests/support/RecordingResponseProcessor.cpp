#include "support/RecordingResponseProcessor.h"

#include "RestMsgQueue.h"
#include "TextConversion.h"

namespace fennic_test {

void RecordingResponseProcessor::ReleaseQueue() {
  Record("ReleaseQueue");
  zelvan::fennic::RestMsgQueue::releaseInstance();
}

void RecordingResponseProcessor::HandleDownloadResponse(const std::string& response, const std::wstring& url,
                                                        const std::string& downloadKey, const std::string& origin) {
  Record("HandleDownloadResponse:" + response + "|" + zelvan::fennic::ToUtf8(url) + "|" + downloadKey + "|" + origin);
}

bool RecordingResponseProcessor::IsRequestFailed(const std::wstring& requestName) {
  Record("IsRequestFailed:" + zelvan::fennic::ToUtf8(requestName));
  return requestFailed;
}

}  // namespace fennic_test
