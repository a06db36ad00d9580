#pragma once

#include <chrono>
#include <cpprest/json.h>
#include <functional>
#include <memory>
#include <string>

#include "EventLoop.h"
#include <fennic/IQLClient.h>
#include "SourcesConfig.h"

namespace zelvan::fennic::agent {

class AgentHost;
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
// (7). All of it runs on the host's event loop thread.
class HostSources {
 public:
  using StoredUpdates = std::function<web::json::value()>;
  HostSources(SourcesConfig config, IQLClient& client, EventLoop& loop, StoredUpdates storedUpdates);
  ~HostSources();
  HostSources(const HostSources&) = delete;
  HostSources& operator=(const HostSources&) = delete;

  // Starts the sources; only once the agent holds a token, since the
  // library drops every request made without one.
  void Start();
  void OnEvent(int code, const std::string& text, const std::string& payload);
  // After the loop has ended (--once): waits for running installers and
  // sends their reports; false when `bound` passed first.
  bool Settle(std::chrono::milliseconds bound);

 private:
  void Send(int code, const std::string& body);

  const SourcesConfig config_;
  IQLClient& client_;
  EventLoop& loop_;
  StoredUpdates storedUpdates_;
  bool started_ = false;
  std::unique_ptr<SessionUserWatch> session_;
  std::unique_ptr<UsbDevices> devices_;
  std::unique_ptr<CallDurationSpool> spool_;
  std::unique_ptr<UserReports> reports_;
  std::unique_ptr<InstallerRunner> installers_;
};

// Gives the host its sources: they start as soon as the agent holds a token
// (at the start of a run, or when registration has been processed) and see
// every listener event. Call after host.Start(), before a run.
std::unique_ptr<HostSources> PlugHostSources(AgentHost& host);

}  // namespace zelvan::fennic::agent
