#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace zelvan::fennic::agent {

// The host's one event loop: it polls the file descriptors that the host's
// sources register (signals, control socket, device monitor, spool folder)
// and runs one-shot timers, all on the thread that calls Run. An idle loop
// sleeps in one poll until its next timer or event.
//
// Watch, Unwatch, AddTimer and CancelTimer are for the loop's own thread
// (from callbacks, or before Run). Post and Stop may be called from any
// thread; they wake the loop through an eventfd.
class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Callback = std::function<void()>;

  // Throws std::system_error when the wake-up descriptor cannot be made.
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Calls `onReadable` whenever `fd` is readable (or hung up); one callback per descriptor.
  void Watch(int fd, Callback onReadable);
  void Unwatch(int fd);

  // Runs `callback` once at `due`; returns an id for CancelTimer.
  std::uint64_t AddTimer(Clock::time_point due, Callback callback);
  void CancelTimer(std::uint64_t id);

  // Runs `callback` on the loop's thread at its next turn.
  void Post(Callback callback);

  // Runs until Stop; callbacks run one at a time on this thread.
  void Run();
  void Stop();

 private:
  void Wake();
  void RunDue();
  int NextTimeoutMs() const;

  int wake_ = -1;
  std::map<int, Callback> watched_;
  std::multimap<Clock::time_point, std::pair<std::uint64_t, Callback>> timers_;
  std::uint64_t nextTimer_ = 1;

  std::mutex postedLock_;
  std::vector<Callback> posted_;
  bool stopRequested_ = false;
};

}  // namespace zelvan::fennic::agent
