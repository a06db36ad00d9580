#pragma once

#include <memory>
#include <string>

#include "ILogManager.h"

namespace spdlog {
class logger;
}

namespace zelvan::fennic::services {

struct LogOptions {
  // Lowest severity written, on the sink scale: 0 trace, 1 debug, 2 info,
  // 3 warning, 4 error, 6 nothing.
  int minimumSeverity = 2;
  bool console = true;         // to standard error
  std::string file;            // rotating log file; empty: none
  std::size_t maxFileBytes = 5 * 1024 * 1024;
  std::size_t maxFiles = 3;
};

// The process-wide logger over a console and a rotating file sink. Every
// line carries the time, severity, thread and the caller's where text.
class SpdlogLogManager : public ILogManager {
 public:
  // Throws std::runtime_error (naming the file) when the log file cannot be
  // opened.
  explicit SpdlogLogManager(const LogOptions& options);
  ~SpdlogLogManager() override;

  void Log(int level, const std::string& where, const std::string& text) override;
  void Flush();

  // The sink severity of a library level: 0 info, 1-2 debug, 3-4 warning,
  // 5 error, 6 info (the registration success line), anything else debug.
  static int SeverityOf(int level);

 private:
  std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace zelvan::fennic::services
