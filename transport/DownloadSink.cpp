#include "DownloadSink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelvan::fennic {

DownloadSink::DownloadSink(int fd, uint64_t existing, uint64_t limit, std::unique_ptr<Sha256> primed)
    : fd_(fd), existing_(existing), limit_(limit), sha_(std::move(primed)) {}

bool DownloadSink::Open(int status, const std::string& contentRange) {
  if (status == 206 && existing_ > 0) {
    // Only a range that starts exactly where the file ends continues it.
    if (contentRange.rfind("bytes " + std::to_string(existing_) + "-", 0) != 0) {
      failure_ = "server resumed the package at the wrong place (" + contentRange + ")";
      return false;
    }
    mode_ = Mode::Append;
    base_ = existing_;
    return true;
  }
  if (status == 200) {
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
      failure_ = std::string("cannot reset the partial package: ") + std::strerror(errno);
      return false;
    }
    if (sha_) sha_ = std::make_unique<Sha256>();
    mode_ = Mode::Restart;
    return true;
  }
  mode_ = Mode::Discard;
  return true;
}

bool DownloadSink::Take(int status, const std::string& contentRange, const char* data, size_t size) {
  if (mode_ == Mode::Waiting && !Open(status, contentRange)) return false;
  if (mode_ == Mode::Discard) return true;
  if (limit_ != 0 && Total() + size > limit_) {
    failure_ = "package is larger than the announced size";
    return false;
  }
  if (sha_) sha_->Update(data, size);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure_ = std::string("cannot write the package: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  written_ += size;
  if (progress_) progress_(Total());
  return true;
}

}  // namespace zelvan::fennic
