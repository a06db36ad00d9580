#include "PackageStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "PlainFileName.h"

namespace zelvan::fennic {

namespace fs = std::filesystem;

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Opens (creating it private when missing) a folder below `parent`,
// refusing to enter it through a link.
int OpenFolderBelow(int parent, const std::string& name) {
  if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool CopyInto(const std::string& file, int folder, const std::string& name) {
  Fd in(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  Fd out(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (in.fd < 0 || out.fd < 0) return false;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    const ssize_t got = ::read(in.fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t n = ::write(out.fd, chunk.data() + done, static_cast<size_t>(got - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += n;
    }
  }
  return ::fsync(out.fd) == 0;
}

std::string Failed(const std::string& what) { return "package store: " + what + ": " + std::strerror(errno); }

}  // namespace

bool PackageStore::IsPlainName(const std::string& name) {
  // The shared rule for names from a server, and no hidden entries either.
  return IsPlainFileName(name) && name[0] != '.';
}

std::string PackageStore::NameFault(const std::string& product, const std::string& version, const std::string& name) {
  for (const auto& [what, text] : {std::pair<const char*, const std::string&>{"product", product},
                                   {"version", version},
                                   {"file", name}}) {
    if (!IsPlainName(text)) return std::string("package store refuses the ") + what + " name \"" + text + "\"";
  }
  return {};
}

std::string PackageStore::Keep(const std::string& file, const std::string& product, const std::string& version,
                               const std::string& name) const {
  if (std::string fault = NameFault(product, version, name); !fault.empty()) return fault;
  std::error_code ec;
  if (!fs::exists(folder_, ec)) {
    fs::create_directories(folder_, ec);
    if (ec || ::chmod(folder_.c_str(), 0700) != 0) return "package store: cannot create " + folder_;
  }
  Fd root(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (root.fd < 0) return Failed("cannot open " + folder_);
  Fd productFolder(OpenFolderBelow(root.fd, product));
  if (productFolder.fd < 0) return Failed("cannot open the folder of " + product);
  Fd versionFolder(OpenFolderBelow(productFolder.fd, version));
  if (versionFolder.fd < 0) return Failed("cannot open the folder of " + product + " " + version);

  const std::string temporary = "." + name + ".incoming";
  ::unlinkat(versionFolder.fd, temporary.c_str(), 0);
  // A hard link costs no space; across file systems a copy has to do.
  if (::linkat(AT_FDCWD, file.c_str(), versionFolder.fd, temporary.c_str(), 0) != 0 &&
      !CopyInto(file, versionFolder.fd, temporary)) {
    const std::string reason = Failed("cannot place " + name);
    ::unlinkat(versionFolder.fd, temporary.c_str(), 0);
    return reason;
  }
  if (::renameat(versionFolder.fd, temporary.c_str(), versionFolder.fd, name.c_str()) != 0) {
    const std::string reason = Failed("cannot place " + name);
    ::unlinkat(versionFolder.fd, temporary.c_str(), 0);
    return reason;
  }
  ::fsync(versionFolder.fd);
  ::futimens(versionFolder.fd, nullptr);  // the newest version is the one stored last
  DropOldVersions(productFolder.fd, product, version);
  return {};
}

void PackageStore::DropOldVersions(int productFd, const std::string& product, const std::string& current) const {
  DIR* listing = ::fdopendir(::dup(productFd));
  if (listing == nullptr) return;
  std::vector<std::pair<timespec, std::string>> others;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    struct stat info {};
    if (name == current || !IsPlainName(name) ||
        ::fstatat(productFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode))
      continue;
    others.emplace_back(info.st_mtim, name);
  }
  ::closedir(listing);
  std::sort(others.begin(), others.end(), [](const auto& a, const auto& b) {
    return a.first.tv_sec != b.first.tv_sec ? a.first.tv_sec > b.first.tv_sec : a.first.tv_nsec > b.first.tv_nsec;
  });
  for (size_t i = kKeptVersions - 1; i < others.size(); ++i) {
    // remove_all does not follow links inside the folder it removes.
    std::error_code ec;
    fs::remove_all(fs::path(folder_) / product / others[i].second, ec);
  }
}

}  // namespace zelvan::fennic
