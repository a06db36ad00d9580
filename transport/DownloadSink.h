#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Sha256.h"

namespace zelvan::fennic {

// Where a download's body goes. Each chunk is written straight to the
// partial file and into the running checksum before the next is read, so
// memory stays constant whatever the package size. The first chunk decides
// what the body is: the rest of the partial file (206 with a Content-Range
// that starts where the file ends), the whole package again (200), or an
// error page to drop. Used by one download on one thread.
//
// The digests (the checksum, and the prehash a signature covers) are
// computed in one pass on a helper thread that reads back what was
// just written (from the page cache) while the next chunk arrives, so the
// check costs the transfer almost nothing; the thread lives only as long as
// the download. That thread also starts writeback to disk as the file
// grows, so the final flush does not wait for the whole package at once.
class DownloadSink {
 public:
  enum class Mode { Waiting, Append, Restart, Discard };

  // `fd` is owned by the caller and holds `existing` bytes, whose digests
  // `primed` carries (null when none is wanted). `limit` (0 for none) is
  // the whole package's announced size.
  DownloadSink(int fd, uint64_t existing, uint64_t limit, std::unique_ptr<PackageDigests> primed);
  ~DownloadSink();
  DownloadSink(const DownloadSink&) = delete;
  DownloadSink& operator=(const DownloadSink&) = delete;

  // Takes one chunk; false (with Failure() set) stops the transfer.
  bool Take(int status, const std::string& contentRange, const char* data, size_t size);
  // Writes out what is still held back; call once the body has ended or
  // broken off. False (with Failure() set) when the file refused it.
  bool Finish();
  Mode Kind() const { return mode_; }
  // Bytes of the package taken (in the file after Finish).
  uint64_t Total() const { return base_ + written_; }
  const std::string& Failure() const { return failure_; }
  // Called after each chunk with Total(); set before the transfer.
  void OnProgress(std::function<void(uint64_t)> progress) { progress_ = std::move(progress); }
  // The digests over the whole file, once the helper has caught up; null
  // when none is wanted. Call after the body; ends the helper thread.
  PackageDigests* Hash();
  // Whether the helper could not read back what was written; the digests
  // then do not describe the file.
  bool Unreadable() const { return unreadable_; }

 private:
  bool Open(int status, const std::string& contentRange);
  void HashFrom(uint64_t offset);
  void StopHasher();

  const int fd_;
  const uint64_t existing_;
  const uint64_t limit_;
  std::unique_ptr<PackageDigests> digests_;
  Mode mode_ = Mode::Waiting;
  uint64_t base_ = 0;
  uint64_t written_ = 0;
  std::string failure_;
  std::vector<char> pending_;
  std::function<void(uint64_t)> progress_;
  // Shared with the hasher thread under lock_.
  std::mutex lock_;
  std::condition_variable grown_;
  uint64_t published_ = 0;
  bool ended_ = false;
  bool unreadable_ = false;
  std::thread hasher_;
};

}  // namespace zelvan::fennic
