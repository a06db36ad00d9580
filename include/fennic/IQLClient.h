#pragma once

#include <string>

#include <fennic/FennicExport.h>
#include <fennic/IRestEventListener.h>

namespace zelvan::fennic {

// The client facade through which the host submits requests. Every
// operation may be called from any host thread, several at once, and in any
// state: after Shutdown (the facade's or the executor's) each one does
// nothing and says so in its result, as noted below.
class FENNIC_EXPORT IQLClient {
 public:
  virtual ~IQLClient() = default;
  // Passes the listener on to the executor. False after Shutdown.
  virtual bool SetEventListener(IRestEventListener* listener) = 0;
  // Shuts the executor down and releases it. A second call does nothing.
  virtual void Shutdown() = 0;
  // Queues the request of a client request code. Returns 0 when queued with a
  // token held, 2 when queued without a token, 1 when nothing was queued (an
  // unknown code, codes 5 and 16, and every code after Shutdown).
  // Code 5 hands a JSON array of update descriptions to the executor at once;
  // a text that is not JSON is refused with a level-3 line, never thrown.
  // Code 16 throws std::invalid_argument ("invalid stoi argument") or
  // std::out_of_range ("stoi argument out of range") for a bad number; no
  // other exception leaves this call.
  virtual int SendRequest(int code, const std::string& data) = 0;
  // Empty after Shutdown.
  virtual std::string GetLastSeenOfServer() = 0;
  // Stops the executor's worker and waits for it to leave the request it is
  // in. Does nothing after Shutdown.
  virtual void StopWorker() = 0;
  // Does nothing after Shutdown.
  virtual void LoadTenantConfiguration() = 0;
  // False after Shutdown.
  virtual bool IsRequestFailed(const std::wstring& requestName) = 0;
  // Does nothing after the facade's Shutdown.
  virtual void RearmFailureAlert(int value) = 0;
  // Asks the server on the calling thread; empty when there is no version.
  // Needs only the transport, so it works in every state.
  virtual std::string RequestVoicePromptVersion(const std::wstring& requiredVP, const std::string& deviceName,
                                                const std::string& deviceVersion) = 0;
  // Downloads one voice-prompt file on the calling thread, in every state.
  virtual void DownloadVPfile(const std::string& address) = 0;
  // Empty without a transport.
  virtual std::wstring QueryTransportValue(int argument) = 0;
};

}  // namespace zelvan::fennic
