#pragma once

#include <chrono>
#include <condition_variable>
#include <cpprest/json.h>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "EventLoop.h"
#include "IQLClient.h"
#include "SourcesConfig.h"

namespace zelvan::fennic::agent {

class CallDurationSpool;
class InstallerRunner;
class SessionUserWatch;
class UsbDevices;
class UserReports;

// Every host job of the agent, fed from the workstation's own sources:
// directory verdicts from NSS for the session user (answering event 14 with
// code 15, code 18 when the user changes), USB devices through udev (codes
// 4, 2, 3), installers for stored packages (code 8, after event 4), the
// call-duration spool (code 14), the softphone list (12) and user details
// (7). All sources run on one event loop: the host's, or one on a thread of
// our own when no loop is given.
//
// Start, Settle and Stop are for the host's controlling thread; OnEvent may
// be called from any thread (the library raises events on its worker).
class HostSources {
 public:
  using StoredUpdates = std::function<web::json::value()>;
  HostSources(SourcesConfig config, IQLClient& client, StoredUpdates storedUpdates, EventLoop* loop = nullptr);
  ~HostSources();
  HostSources(const HostSources&) = delete;
  HostSources& operator=(const HostSources&) = delete;

  // Starts the sources; call once the agent holds a token, since the
  // library drops every request made without one.
  void Start();
  void OnEvent(int code, const std::string& text, const std::string& payload);
  // Waits until the work handed to the sources so far is done (installers
  // ended and reported); false when `bound` passed first.
  bool Settle(std::chrono::milliseconds bound);
  void Stop();

 private:
  void StartOnLoop();
  void Send(int code, const std::string& body);
  void SetBusy(bool busy);

  const SourcesConfig config_;
  IQLClient& client_;
  StoredUpdates storedUpdates_;
  std::unique_ptr<EventLoop> ownLoop_;
  EventLoop& loop_;
  std::thread loopThread_;
  bool started_ = false;

  // Loop thread only.
  std::unique_ptr<SessionUserWatch> session_;
  std::unique_ptr<UsbDevices> devices_;
  std::unique_ptr<CallDurationSpool> spool_;
  std::unique_ptr<UserReports> reports_;
  std::unique_ptr<InstallerRunner> installers_;

  std::mutex lock_;
  std::condition_variable idle_;
  bool busy_ = false;
};

}  // namespace zelvan::fennic::agent
