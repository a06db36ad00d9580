#include "AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace zelvan::fennic::services {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path);
}

void WriteAll(int fd, const std::string& data, const std::string& path) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write", path);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open folder", folder);
  const int rc = ::fsync(fd);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  if (rc != 0) Fail("cannot sync folder", folder);
}

// Writes and syncs a fresh temporary file beside `path`; returns its name.
std::string WriteTemporary(const std::string& path, const std::string& data, mode_t mode) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) Fail("cannot create", temp);
  try {
    WriteAll(fd, data, temp);
    if (::fsync(fd) != 0) Fail("cannot sync", temp);
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    Fail("cannot close", temp);
  }
  return temp;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void AtomicFile::Write(const std::string& path, const std::string& data, mode_t mode) {
  const std::string temp = WriteTemporary(path, data, mode);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    Fail("cannot replace", path);
  }
  SyncFolder(FolderOf(path));
}

bool AtomicFile::CreateExclusive(const std::string& path, const std::string& data, mode_t mode) {
  const std::string temp = WriteTemporary(path, data, mode);
  // link() refuses an existing target, so two processes racing to create
  // the same file agree on one content.
  const int rc = ::link(temp.c_str(), path.c_str());
  const int saved = errno;
  ::unlink(temp.c_str());
  if (rc != 0) {
    if (saved == EEXIST) return false;
    errno = saved;
    Fail("cannot create", path);
  }
  SyncFolder(FolderOf(path));
  return true;
}

std::optional<std::string> AtomicFile::Read(const std::string& path) {
  // A link is never read through: it could lead anywhere outside the folder.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    Fail("cannot open", path);
  }
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      errno = saved;
      Fail("cannot read", path);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

}  // namespace zelvan::fennic::services
