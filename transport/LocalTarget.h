#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zelvan::fennic {

// Where a package lands: a plain file name directly inside the download
// folder.
struct LocalTarget {
  std::filesystem::path folder;
  std::string name;
};

// The library builds local paths as folder + "\" + name, the name coming
// from a server address. Backslashes count as separators; the result must
// name one plain file directly inside `downloadFolder` (or, when that is
// empty, inside the folder in front of the first backslash). Anything that
// would climb out or into a sub-folder gives nullopt.
std::optional<LocalTarget> ResolveLocalTarget(const std::string& localPath, const std::string& downloadFolder);

}  // namespace zelvan::fennic
