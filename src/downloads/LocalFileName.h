#pragma once

#include <string>

namespace zelvan::fennic {

// True when a file name taken from a server answer names a plain file
// directly inside the download folder: not empty, not "." or "..", and
// free of separators (either slash) and NUL.
inline bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace zelvan::fennic
