#pragma once

#include <cstdint>
#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// File services the download path checks before it writes a package.
// Called on the worker thread.
class FENNIC_EXPORT IFileManager {
 public:
  virtual ~IFileManager() = default;
  // Free space of the file system holding `folder`, in megabytes.
  virtual uint32_t GetFreeDiskSpaceMB(const std::string& folder) = 0;
  virtual bool HasWritePermission(const std::string& folder) = 0;
};

}  // namespace zelvan::fennic
