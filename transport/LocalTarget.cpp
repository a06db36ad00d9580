#include "LocalTarget.h"

#include <algorithm>

#include "PlainFileName.h"

namespace zelvan::fennic {

namespace fs = std::filesystem;

namespace {
fs::path Normal(const std::string& text) {
  fs::path p = fs::path(text).lexically_normal();
  if (p.has_relative_path() && p.filename().empty()) p = p.parent_path();
  return p;
}
}  // namespace

std::optional<LocalTarget> ResolveLocalTarget(const std::string& localPath, const std::string& downloadFolder) {
  if (localPath.empty() || localPath.find('\0') != std::string::npos) return std::nullopt;
  std::string folderText = downloadFolder;
  if (folderText.empty()) {
    const auto cut = localPath.find('\\');
    folderText = cut != std::string::npos ? localPath.substr(0, cut) : fs::path(localPath).parent_path().string();
    if (folderText.empty()) return std::nullopt;
  }
  std::string unified = localPath;
  std::replace(unified.begin(), unified.end(), '\\', '/');
  const fs::path full = Normal(unified);
  const fs::path folder = Normal(folderText);
  const fs::path relative = full.lexically_relative(folder);
  if (relative.empty()) return std::nullopt;
  auto first = relative.begin();
  if (std::next(first) != relative.end()) return std::nullopt;  // a sub-folder, or climbing out
  const std::string name = first->string();
  if (!IsPlainFileName(name)) return std::nullopt;
  return LocalTarget{folder, name};
}

}  // namespace zelvan::fennic
