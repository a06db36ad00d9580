#include "SpdlogLogManager.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <stdexcept>
#include <vector>

namespace zelvan::fennic::services {

SpdlogLogManager::SpdlogLogManager(const LogOptions& options) {
  std::vector<spdlog::sink_ptr> sinks;
  if (options.console) sinks.push_back(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
  if (!options.file.empty()) {
    try {
      sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(options.file, options.maxFileBytes,
                                                                             options.maxFiles));
    } catch (const spdlog::spdlog_ex& e) {
      throw std::runtime_error("cannot open log file " + options.file + ": " + e.what());
    }
  }
  // Not registered globally: several managers (tests, a host) may coexist.
  logger_ = std::make_shared<spdlog::logger>("fennic", sinks.begin(), sinks.end());
  logger_->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] [%t] %v");
  const int severity = options.minimumSeverity < 0 ? 0 : options.minimumSeverity > 6 ? 6 : options.minimumSeverity;
  logger_->set_level(static_cast<spdlog::level::level_enum>(severity));
  logger_->flush_on(spdlog::level::warn);
}

SpdlogLogManager::~SpdlogLogManager() {
  if (logger_) logger_->flush();
}

int SpdlogLogManager::SeverityOf(int level) {
  switch (level) {
    case 0:
    case 6:
      return spdlog::level::info;
    case 3:
    case 4:
      return spdlog::level::warn;
    case 5:
      return spdlog::level::err;
    default:
      return spdlog::level::debug;
  }
}

void SpdlogLogManager::Log(int level, const std::string& where, const std::string& text) {
  const auto severity = static_cast<spdlog::level::level_enum>(SeverityOf(level));
  if (!logger_->should_log(severity)) return;
  // Plain append, not a format string: the texts come from the server.
  std::string line;
  line.reserve(where.size() + text.size() + 2);
  line.append(where).append(": ").append(text);
  logger_->log(severity, spdlog::string_view_t(line));
}

void SpdlogLogManager::Flush() { logger_->flush(); }

}  // namespace zelvan::fennic::services
