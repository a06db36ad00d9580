#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "AgentConfig.h"
#include "EventLoop.h"
#include "ModeHost.h"
#include <fennic/IQLClient.h>
#include <fennic/IRestEventListener.h>
#include <fennic/IRestExecutor.h>
#include "SignalSource.h"
#include "SpdlogLogManager.h"

namespace zelvan::fennic::agent {

// Prints every listener event as one line (on the library's worker thread,
// so lines keep the library's order), hands each one on, and lets a blocking
// caller wait for an event.
class EventLog : public IRestEventListener {
 public:
  using Forward = std::function<void(int code, std::string text, std::string payload)>;

  explicit EventLog(std::ostream& out) : out_(out) {}
  // Set before the library may raise events.
  void SetForward(Forward forward) { forward_ = std::move(forward); }
  void OnRestEvent(int eventCode, const std::string& text, const char* payload) override;

  // Forgets every event seen so far.
  void Clear();
  // True when an event of `wanted` came since the last Clear, within the timeout.
  bool WaitFor(const std::set<int>& wanted, std::chrono::milliseconds timeout);

 private:
  std::ostream& out_;
  Forward forward_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<int> seen_;
};

// The agent: installs the outside services, loads the library through its
// exports and runs everything else on one event loop on the calling thread:
// signals, listener events (posted over from the worker), heart-beat timers
// and whatever sources other parts of the host attach.
class AgentHost : public ModeHost {
 public:
  explicit AgentHost(AgentConfig config, std::ostream& out);
  ~AgentHost() override;

  // Blocks the stop and reload signals first (call it on the main thread
  // before any other thread exists). Throws std::runtime_error when a
  // service or the library cannot be set up.
  void Start();

  // Hooks for other event sources: the loop, a handler called on the loop
  // thread for every listener event, and hooks run on the loop thread before
  // the first step of a run. Add them after Start, before RunOnce/RunForever.
  EventLoop& Loop() { return loop_; }
  void AddEventHandler(EventHandler handler) { handlers_.push_back(std::move(handler)); }
  void AddStartHook(std::function<void()> hook) { startHooks_.push_back(std::move(hook)); }

  // --once: registration if needed, one heart beat and its update check.
  // Returns 0 on success; otherwise writes one line to `error` and returns 1.
  int RunOnce(std::ostream& error);
  // Heart beats on loop timers until a stop; returns 0.
  int RunForever(std::ostream& error);
  // Ends the run with `result` (loop thread).
  void Finish(int result) override;
  // Safe from any thread: the running mode decides how to end.
  void RequestStop();

  // Waits within `bound` until what is queued has been handled; false when
  // the bound passed first.
  bool DrainBeforeStop(std::chrono::milliseconds bound);
  // Drains for "stopDrainSeconds", aborting at that bound what the transport
  // still has in flight (a partial download stays for the next start), then
  // stops the library; bounded: false when the worker did not stop within
  // `bound` more.
  bool Stop(std::chrono::milliseconds bound);
  // Writes out buffered log lines (before the process leaves).
  void FlushLog();

  IQLClient& Client() { return *client_; }
  IRestExecutor& Executor() { return *executor_; }
  const AgentConfig& Config() const { return config_; }
  // Applies the members that take effect while running (logLevel,
  // heartBeatSeconds); returns the names of changed members that need a restart.
  std::vector<std::string> Reconfigure(const AgentConfig& fresh);
  std::string LastFailure() override;
  // The server's stated reason for refusing the most recent request, or empty.
  std::string LastRefusal();
  // The server's refusal, else the failed exchange, else the library's cause.
  std::string RegistrationFailure(const std::string& eventText) override;
  std::chrono::seconds RetryAfter() override;
  std::chrono::seconds HeartBeatInterval() override;
  std::chrono::milliseconds StepBound() const override;
  // The running trust anchors: one line at start (a notice when off) and
  // after each reload.
  void AnnouncePackageTrust(bool reloaded);
  // Number of entries in the stored update list not yet downloaded.
  int PendingDownloads();
  void SetMode(Mode mode) override { mode_ = std::move(mode); }
  // The running modes' view: timers on the loop, the library's requests.
  std::uint64_t AddTimer(std::chrono::milliseconds delay, Callback callback) override;
  void CancelTimer(std::uint64_t id) override { loop_.CancelTimer(id); }
  bool HasToken() override;
  void Send(int code, const std::string& data) override;
  void Warn(const std::string& line) override;
  Pacing Paced() const override;
  // A heart beat now (loop thread), through the running mode's schedule.
  void BeatNow();

 private:
  int Run(const std::function<void()>& begin);
  void Dispatch(int code, const std::string& text, const std::string& payload);
  void OnSignal(int signal);

  AgentConfig config_;
  std::ostream& out_;
  EventLog events_;
  EventLoop loop_;
  std::unique_ptr<SignalSource> signals_;
  std::vector<EventHandler> handlers_;
  std::vector<std::function<void()>> startHooks_;
  Mode mode_;
  int result_ = 0;
  bool finished_ = false;
  std::shared_ptr<services::SpdlogLogManager> logger_;
  std::shared_ptr<IConfigurationManager> configuration_;
  std::shared_ptr<IQLClient> client_;
  std::shared_ptr<IRestExecutor> executor_;
  std::shared_ptr<HttpRestClient> transport_;
};

}  // namespace zelvan::fennic::agent
