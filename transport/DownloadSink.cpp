#include "DownloadSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>
#include <algorithm>

namespace zelvan::fennic {

namespace {
constexpr uint64_t kWritebackStep = 8 << 20;
constexpr size_t kHashChunk = 1 << 20;
constexpr size_t kWriteChunk = 1 << 20;
}  // namespace

DownloadSink::DownloadSink(int fd, uint64_t existing, uint64_t limit, std::unique_ptr<PackageDigests> primed)
    : fd_(fd), existing_(existing), limit_(limit), digests_(std::move(primed)) {}

DownloadSink::~DownloadSink() { StopHasher(); }

void DownloadSink::StopHasher() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
  }
  grown_.notify_all();
  if (hasher_.joinable()) hasher_.join();
}

PackageDigests* DownloadSink::Hash() {
  StopHasher();
  // Digests that could not read everything back must not match.
  if (unreadable_ && digests_) digests_->Update("\0", 1);
  return digests_.get();
}

void DownloadSink::HashFrom(uint64_t offset) {
  std::vector<unsigned char> chunk(kHashChunk);
  uint64_t flushed = offset;
  for (;;) {
    uint64_t until = 0;
    {
      std::unique_lock<std::mutex> hold(lock_);
      grown_.wait(hold, [&] { return published_ > offset || ended_; });
      if (published_ <= offset) return;
      until = published_;
    }
    while (offset < until) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(until - offset, chunk.size()));
      const ssize_t got = ::pread(fd_, chunk.data(), want, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        std::lock_guard<std::mutex> hold(lock_);
        unreadable_ = true;
        return;
      }
      digests_->Update(chunk.data(), static_cast<size_t>(got));
      offset += static_cast<uint64_t>(got);
      if (offset - flushed >= kWritebackStep) {
        // Writeback starts here, off the receiving thread, which may then never wait for the disk.
        ::sync_file_range(fd_, static_cast<off_t>(flushed), static_cast<off_t>(offset - flushed),
                          SYNC_FILE_RANGE_WRITE);
        flushed = offset;
      }
    }
  }
}

bool DownloadSink::Open(int status, const std::string& contentRange) {
  if (status == 206 && existing_ > 0) {
    // Only a range that starts exactly where the file ends continues it.
    if (contentRange.rfind("bytes " + std::to_string(existing_) + "-", 0) != 0) {
      failure_ = "server resumed the package at the wrong place (" + contentRange + ")";
      return false;
    }
    mode_ = Mode::Append;
    base_ = existing_;
    published_ = base_;
    if (digests_) hasher_ = std::thread(&DownloadSink::HashFrom, this, base_);
    return true;
  }
  if (status == 200) {
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
      failure_ = std::string("cannot reset the partial package: ") + std::strerror(errno);
      return false;
    }
    mode_ = Mode::Restart;
    if (digests_) {
      digests_ = digests_->Fresh();
      hasher_ = std::thread(&DownloadSink::HashFrom, this, 0);
    }
    return true;
  }
  mode_ = Mode::Discard;
  return true;
}

bool DownloadSink::Finish() {
  size_t done = 0;
  while (done < pending_.size()) {
    const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure_ = std::string("cannot write the package: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  pending_.clear();
  if (hasher_.joinable()) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      published_ = Total();
    }
    grown_.notify_one();
  }
  return true;
}

bool DownloadSink::Take(int status, const std::string& contentRange, const char* data, size_t size) {
  if (mode_ == Mode::Waiting && !Open(status, contentRange)) return false;
  if (mode_ == Mode::Discard) return true;
  if (limit_ != 0 && Total() + size > limit_) {
    failure_ = "package is larger than the announced size";
    return false;
  }
  // Chunks arrive small; they reach the file (and the checksum thread) in large writes.
  pending_.insert(pending_.end(), data, data + size);
  written_ += size;
  if (pending_.size() >= kWriteChunk && !Finish()) return false;
  if (progress_) progress_(Total());
  return true;
}

}  // namespace zelvan::fennic
