#include "EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zelvan::fennic::agent {

EventLoop::EventLoop() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

EventLoop::~EventLoop() { ::close(wake_); }

void EventLoop::Watch(int fd, Callback onReadable) { watched_[fd] = std::move(onReadable); }

void EventLoop::Unwatch(int fd) { watched_.erase(fd); }

std::uint64_t EventLoop::AddTimer(Clock::time_point due, Callback callback) {
  const std::uint64_t id = nextTimer_++;
  timers_.emplace(due, std::make_pair(id, std::move(callback)));
  return id;
}

void EventLoop::CancelTimer(std::uint64_t id) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it)
    if (it->second.first == id) {
      timers_.erase(it);
      return;
    }
}

void EventLoop::Post(Callback callback) {
  {
    std::lock_guard<std::mutex> hold(postedLock_);
    posted_.push_back(std::move(callback));
  }
  Wake();
}

void EventLoop::Stop() {
  {
    std::lock_guard<std::mutex> hold(postedLock_);
    stopRequested_ = true;
  }
  Wake();
}

void EventLoop::Wake() {
  const std::uint64_t one = 1;
  // A full counter already means "wake up"; nothing is lost when this fails.
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

int EventLoop::NextTimeoutMs() const {
  if (timers_.empty()) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.begin()->first - Clock::now());
  // Round up so a timer is never polled for early and then spun on.
  return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

void EventLoop::RunDue() {
  while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
    Callback callback = std::move(timers_.begin()->second.second);
    timers_.erase(timers_.begin());
    callback();
  }
}

void EventLoop::Run() {
  for (;;) {
    std::vector<Callback> posted;
    {
      std::lock_guard<std::mutex> hold(postedLock_);
      if (stopRequested_) break;
      posted.swap(posted_);
    }
    for (auto& callback : posted) callback();
    RunDue();

    std::vector<pollfd> fds{{wake_, POLLIN, 0}};
    for (const auto& entry : watched_) fds.push_back({entry.first, POLLIN, 0});
    {
      std::lock_guard<std::mutex> hold(postedLock_);
      if (stopRequested_ || !posted_.empty()) continue;
    }
    const int ready = ::poll(fds.data(), fds.size(), NextTimeoutMs());
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (fds[0].revents) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      // A callback may have unwatched this or another descriptor.
      const auto it = watched_.find(fds[i].fd);
      if (it == watched_.end()) continue;
      Callback callback = it->second;
      callback();
    }
  }
}

}  // namespace zelvan::fennic::agent
