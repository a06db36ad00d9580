#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ILogManager.h"

namespace fennic_test {

struct LogLine {
  int level;
  std::string where;
  std::string text;
};

// Logger that keeps every line, for assertions on exact texts and order.
class RecordingLogger : public zelvan::fennic::ILogManager {
 public:
  void Log(int level, const std::string& where, const std::string& text) override;

  std::vector<LogLine> Lines();
  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    lines_.clear();
  }
  // Lines whose text equals `text` (and whose where equals `where` if given).
  int Count(const std::string& text, const std::string& where = std::string());
  bool Has(const std::string& text, const std::string& where = std::string()) { return Count(text, where) > 0; }
  // First line whose text starts with `prefix`; empty text when none.
  LogLine FirstStartingWith(const std::string& prefix);
  // Waits until a line with exactly `text` has been logged `times` times.
  bool WaitFor(const std::string& text, int times = 1,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Makes the next Log of this text throw std::runtime_error("logger failed"), once, after recording it.
  void ThrowOn(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    throwOn_ = text;
  }
  // Texts only, in order, for the lines of one where (all lines if empty).
  std::vector<std::string> Texts(const std::string& where = std::string());

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<LogLine> lines_;
  std::string throwOn_;
};

// Discards everything; for benchmarks.
class NullLogger : public zelvan::fennic::ILogManager {
 public:
  void Log(int, const std::string&, const std::string&) override {}
};

}  // namespace fennic_test
