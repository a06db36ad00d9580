#pragma once

#include <string>

namespace zelvan::fennic::agent {

// One log line from a host source, through the process's log manager
// (levels as the library uses them: 2 progress, 3 failures, 5 errors).
void SourceLog(int level, const std::string& where, const std::string& text);

// Reads a regular file that is not a link, at most `limit` bytes; false
// when it is missing, a link, not regular, unreadable or larger.
bool ReadPlainFile(const std::string& path, std::size_t limit, std::string& text);

}  // namespace zelvan::fennic::agent
