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

std::vector<int> RecordingListener::Codes() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<int> out;
  for (const auto& e : events_) out.push_back(e.code);
  return out;
}

bool RecordingListener::WaitFor(int code, int times, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, [&] {
    return std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.code == code; }) >= times;
  });
}

void RecordingListener::SetReaction(std::function<void(const Event&)> reaction) {
  std::lock_guard<std::mutex> hold(lock_);
  reaction_ = std::move(reaction);
}

std::string RecordingListener::CodeList() {
  std::string out;
  for (int code : Codes()) out += (out.empty() ? "" : ",") + std::to_string(code);
  return out;
}

}  // namespace fennic_test
