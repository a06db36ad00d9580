#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>

#include "AgentConfig.h"
#include "IQLClient.h"
#include "IRestEventListener.h"
#include "IRestExecutor.h"
#include "SpdlogLogManager.h"

namespace zelvan::fennic::agent {

// Prints every listener event as one line and lets the host wait for the
// events it cares about.
class EventLog : public IRestEventListener {
 public:
  explicit EventLog(std::ostream& out) : out_(out) {}
  void OnRestEvent(int eventCode, const std::string& text, const char* payload) override;

  // Forgets every event seen so far.
  void Clear();
  // The first event of `wanted` seen since the last Clear, or -1 when none
  // came within the timeout or `stop` became set.
  int WaitFor(const std::set<int>& wanted, std::chrono::milliseconds timeout, const std::atomic<bool>& stop);
  // Wakes every waiter (after a stop request).
  void Wake();

 private:
  std::ostream& out_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<int> seen_;
};

// The agent: installs the outside services, loads the library through its
// exports and drives registration and heart beats.
class AgentHost {
 public:
  explicit AgentHost(AgentConfig config, std::ostream& out);
  ~AgentHost();

  // Throws std::runtime_error when a service or the library cannot be set up.
  void Start();
  // --once: registration if needed, one heart beat and its update check.
  // Returns 0 on success; otherwise writes one line to `error` and returns 1.
  int RunOnce(std::ostream& error);
  // Heart beats on a timer until RequestStop.
  int RunForever(std::ostream& error);
  // Safe from any thread.
  void RequestStop();
  // Stops the library; bounded: returns false when the worker did not stop
  // within the time.
  bool Stop(std::chrono::milliseconds bound);
  // Writes out buffered log lines (before the process leaves).
  void FlushLog();

 private:
  bool Register(std::ostream& error);
  std::chrono::seconds HeartBeatInterval();
  std::chrono::milliseconds OnceBound() const;

  AgentConfig config_;
  EventLog events_;
  std::atomic<bool> stop_{false};
  std::shared_ptr<services::SpdlogLogManager> logger_;
  std::shared_ptr<IConfigurationManager> configuration_;
  std::shared_ptr<IQLClient> client_;
  std::shared_ptr<IRestExecutor> executor_;
};

}  // namespace zelvan::fennic::agent
