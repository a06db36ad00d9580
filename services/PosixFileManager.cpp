#include "PosixFileManager.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <limits>

namespace zelvan::fennic::services {

uint32_t PosixFileManager::GetFreeDiskSpaceMB(const std::string& folder) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0) return 0;
  const unsigned long long megabytes =
      static_cast<unsigned long long>(info.f_bavail) * info.f_frsize / (1024ULL * 1024ULL);
  if (megabytes > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(megabytes);
}

bool PosixFileManager::HasWritePermission(const std::string& folder) {
  return !folder.empty() && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace zelvan::fennic::services
