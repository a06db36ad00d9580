#pragma once

#include "IFileManager.h"

namespace zelvan::fennic::services {

// File services from the operating system.
class PosixFileManager : public IFileManager {
 public:
  // Space available to this (unprivileged) user; 0 when the folder cannot be
  // examined. Clamped to the 32-bit range.
  uint32_t GetFreeDiskSpaceMB(const std::string& folder) override;
  // Whether this process may create files in `folder`.
  bool HasWritePermission(const std::string& folder) override;
};

}  // namespace zelvan::fennic::services
