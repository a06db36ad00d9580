#pragma once

#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// Process-wide logger. Levels: 0 download address, 2 progress and wire texts,
// 3 failures reported without an exception, 5 caught exceptions, 6 the
// registration success line. Called from any thread; implementations lock.
class FENNIC_EXPORT ILogManager {
 public:
  virtual ~ILogManager() = default;
  virtual void Log(int level, const std::string& where, const std::string& text) = 0;
};

}  // namespace zelvan::fennic
