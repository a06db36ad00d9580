#pragma once

#include <string>

#include <fennic/FennicExport.h>
#include <fennic/IRestEventListener.h>

namespace zelvan::fennic {

// The client facade through which the host submits requests. Called from the
// host's threads; SendRequest may be called from several at once.
class FENNIC_EXPORT IQLClient {
 public:
  virtual ~IQLClient() = default;
  virtual bool SetEventListener(IRestEventListener* listener) = 0;
  virtual void Shutdown() = 0;
  // Queues the request of a client request code. Returns 0 when queued with a
  // token held, 2 when queued without a token, 1 when nothing was queued.
  // Code 16 throws std::invalid_argument / std::out_of_range for a bad number.
  virtual int SendRequest(int code, const std::string& data) = 0;
  virtual std::string GetLastSeenOfServer() = 0;
  virtual void StopWorker() = 0;
  virtual void LoadTenantConfiguration() = 0;
  virtual bool IsRequestFailed(const std::wstring& requestName) = 0;
  virtual void RearmFailureAlert(int value) = 0;
  // Asks the server on the calling thread; empty when there is no version.
  virtual std::string RequestVoicePromptVersion(const std::wstring& requiredVP, const std::string& deviceName,
                                                const std::string& deviceVersion) = 0;
  // Downloads one voice-prompt file on the calling thread.
  virtual void DownloadVPfile(const std::string& address) = 0;
  virtual std::wstring QueryTransportValue(int argument) = 0;
};

}  // namespace zelvan::fennic
