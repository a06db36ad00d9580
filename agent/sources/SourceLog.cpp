#include "SourceLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "IAgentUtils.h"
#include "ILogManager.h"

namespace zelvan::fennic::agent {

void SourceLog(int level, const std::string& where, const std::string& text) {
  if (auto log = IAgentUtils::getLogManager()) log->Log(level, where, text);
}

bool ReadPlainFile(const std::string& path, std::size_t limit, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= limit;
  text.clear();
  char chunk[8192];
  while (ok) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
    ok = text.size() <= limit;
  }
  ::close(fd);
  return ok;
}

}  // namespace zelvan::fennic::agent
