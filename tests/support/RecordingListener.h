#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <fennic/IRestEventListener.h>

namespace fennic_test {

struct Event {
  int code;
  std::string text;
  std::string payload;
};

// Host listener that records events in order. An optional reaction runs on
// the raising thread, so a test can act as the host (answer a query, ...).
class RecordingListener : public zelvan::fennic::IRestEventListener {
 public:
  void OnRestEvent(int eventCode, const std::string& text, const char* payload) override;

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
  }
  std::vector<int> Codes();
  std::string CodeList();  // "4,16": the codes in order, for table columns
  int Count(int code) {
    const std::vector<int> codes = Codes();
    return static_cast<int>(std::count(codes.begin(), codes.end(), code));
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    events_.clear();
  }
  bool WaitFor(int code, int times = 1, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  void SetReaction(std::function<void(const Event&)> reaction);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::function<void(const Event&)> reaction_;
};

}  // namespace fennic_test
