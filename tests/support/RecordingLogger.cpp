#include "support/RecordingLogger.h"

#include <algorithm>
#include <stdexcept>

namespace fennic_test {

void RecordingLogger::Log(int level, const std::string& where, const std::string& text) {
  bool fail = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back({level, where, text});
    fail = !throwOn_.empty() && text == throwOn_;
    if (fail) throwOn_.clear();
  }
  changed_.notify_all();
  if (fail) throw std::runtime_error("logger failed");
}

std::vector<LogLine> RecordingLogger::Lines() {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_;
}

int RecordingLogger::Count(const std::string& text, const std::string& where) {
  std::lock_guard<std::mutex> hold(lock_);
  int n = 0;
  for (const auto& line : lines_)
    if (line.text == text && (where.empty() || line.where == where)) ++n;
  return n;
}

LogLine RecordingLogger::FirstStartingWith(const std::string& prefix) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const auto& line : lines_)
    if (line.text.compare(0, prefix.size(), prefix) == 0) return line;
  return {-1, "", ""};
}

bool RecordingLogger::WaitFor(const std::string& text, int times, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, [&] {
    return std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) { return l.text == text; }) >= times;
  });
}

std::vector<std::string> RecordingLogger::Texts(const std::string& where) {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> out;
  for (const auto& line : lines_)
    if (where.empty() || line.where == where) out.push_back(line.text);
  return out;
}

}  // namespace fennic_test
