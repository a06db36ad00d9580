#pragma once

#include <string>

namespace zelvan::fennic {

// Verified packages kept for the installer, laid out as
//   <folder>/<product>/<version>/<file name>
// Folders are created private (0700) and never entered through a link;
// each package arrives atomically (hard link or copy to a hidden temporary
// name, then rename). Only the newest kKeptVersions versions of a product
// stay. Called from one download at a time.
class PackageStore {
 public:
  static constexpr int kKeptVersions = 2;

  explicit PackageStore(std::string folder) : folder_(std::move(folder)) {}

  // A plain file name (the one rule for names from a server) that is not
  // hidden either.
  static bool IsPlainName(const std::string& name);

  // Why Keep would refuse these names, or "" when it would not: checked
  // before a package is fetched at all.
  static std::string NameFault(const std::string& product, const std::string& version, const std::string& name);

  // Puts `file` into place. Returns "" on success, else a one-line reason;
  // a refused name writes nothing.
  std::string Keep(const std::string& file, const std::string& product, const std::string& version,
                   const std::string& name) const;

 private:
  void DropOldVersions(int productFd, const std::string& product, const std::string& current) const;

  const std::string folder_;
};

}  // namespace zelvan::fennic
