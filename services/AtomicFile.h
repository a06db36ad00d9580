#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace zelvan::fennic::services {

// Whole-file writes that survive a crash at any instant: the data goes to a
// temporary file in the same folder, is synced, and replaces the target by
// rename, after which the folder itself is synced. A reader therefore sees
// either the old or the new content, never a mix.
class AtomicFile {
 public:
  // Throws std::system_error naming the path on any failure; the target is
  // then unchanged and no temporary file is left behind.
  static void Write(const std::string& path, const std::string& data, mode_t mode = 0600);
  // Like Write, but never replaces an existing file: false when `path`
  // already existed (its content is left as it was).
  static bool CreateExclusive(const std::string& path, const std::string& data, mode_t mode = 0600);
  // The whole content, or nothing when the file does not exist. Throws
  // std::system_error for any other read failure; a symbolic link is not
  // followed (error ELOOP).
  static std::optional<std::string> Read(const std::string& path);
};

// The folder part of a path ("." when there is none).
std::string FolderOf(const std::string& path);

}  // namespace zelvan::fennic::services
