#include "JournalLog.h"

#include <iostream>

namespace zelvan::fennic::agent {

JournalLog::JournalLog(std::shared_ptr<services::SpdlogLogManager> file, int minimumSeverity)
    : file_(std::move(file)), minimumSeverity_(minimumSeverity) {}

int JournalLog::PriorityOf(int severity) {
  switch (severity) {
    case 0:
    case 1:
      return 7;
    case 2:
      return 6;
    case 3:
      return 4;
    default:
      return 3;
  }
}

void JournalLog::Log(int level, const std::string& where, const std::string& text) {
  const int severity = services::SpdlogLogManager::SeverityOf(level);
  if (severity >= minimumSeverity_) {
    // One write per line, so lines from several threads never interleave.
    const std::string line = "<" + std::to_string(PriorityOf(severity)) + ">" + where + ": " + text + "\n";
    std::lock_guard<std::mutex> hold(lock_);
    std::cerr << line << std::flush;
  }
  file_->Log(level, where, text);
}

}  // namespace zelvan::fennic::agent
