#include "support/RecordingListener.h"

namespace fennic_test {

void RecordingListener::OnRestEvent(int eventCode, const std::string& text, const char* payload) {
  Event event{eventCode, text, payload ? payload : ""};
  std::function<void(const Event&)> reaction;
  {
    std::lock_guard<std::mutex> hold(lock_);
    events_.push_back(event);
    reaction = reaction_;
  }
  changed_.notify_all();
  if (reaction) reaction(event);
}

std::vector<Event> RecordingListener::Events() {
  std::lock_guard<std::mutex> hold(lock_);
  return events_;
}

std::vector<int> RecordingListener::Codes() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<int> out;
  for (const auto& e : events_) out.push_back(e.code);
  return out;
}

int RecordingListener::Count(int code) {
  std::lock_guard<std::mutex> hold(lock_);
  int n = 0;
  for (const auto& e : events_)
    if (e.code == code) ++n;
  return n;
}

void RecordingListener::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  events_.clear();
}

bool RecordingListener::WaitFor(int code, int times, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, [&] {
    int n = 0;
    for (const auto& e : events_)
      if (e.code == code) ++n;
    return n >= times;
  });
}

void RecordingListener::SetReaction(std::function<void(const Event&)> reaction) {
  std::lock_guard<std::mutex> hold(lock_);
  reaction_ = std::move(reaction);
}

}  // namespace fennic_test
