#pragma once

#include <memory>
#include <mutex>

#include "ILogManager.h"
#include "SpdlogLogManager.h"

namespace zelvan::fennic::agent {

// Under the service manager standard error goes to the journal: each line
// then starts with its syslog priority ("<4>" a warning, "<3>" an error) so
// the journal keeps the levels. The log file, when configured, still gets
// every line through `file`.
class JournalLog : public ILogManager {
 public:
  JournalLog(std::shared_ptr<services::SpdlogLogManager> file, int minimumSeverity);
  void Log(int level, const std::string& where, const std::string& text) override;

  // The syslog priority of a sink severity (0 trace ... 4 error).
  static int PriorityOf(int severity);

 private:
  const std::shared_ptr<services::SpdlogLogManager> file_;
  const int minimumSeverity_;
  std::mutex lock_;
};

}  // namespace zelvan::fennic::agent
