#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Sha256.h"

namespace zelvan::fennic {

// Where a download's body goes. Each chunk is written straight to the
// partial file and into the running checksum before the next is read, so
// memory stays constant whatever the package size. The first chunk decides
// what the body is: the rest of the partial file (206 with a Content-Range
// that starts where the file ends), the whole package again (200), or an
// error page to drop. Used by one download on one thread.
class DownloadSink {
 public:
  enum class Mode { Waiting, Append, Restart, Discard };

  // `fd` is owned by the caller and holds `existing` bytes, whose checksum
  // `primed` carries (null when no checksum is wanted). `limit` (0 for
  // none) is the whole package's announced size.
  DownloadSink(int fd, uint64_t existing, uint64_t limit, std::unique_ptr<Sha256> primed);

  // Takes one chunk; false (with Failure() set) stops the transfer.
  bool Take(int status, const std::string& contentRange, const char* data, size_t size);
  Mode Kind() const { return mode_; }
  // Bytes of the package now in the file.
  uint64_t Total() const { return base_ + written_; }
  const std::string& Failure() const { return failure_; }
  // Called after each chunk with Total(); set before the transfer.
  void OnProgress(std::function<void(uint64_t)> progress) { progress_ = std::move(progress); }
  // The running checksum; null when none is wanted. Call after the body.
  Sha256* Hash() { return sha_.get(); }

 private:
  bool Open(int status, const std::string& contentRange);

  const int fd_;
  const uint64_t existing_;
  const uint64_t limit_;
  std::unique_ptr<Sha256> sha_;
  Mode mode_ = Mode::Waiting;
  uint64_t base_ = 0;
  uint64_t written_ = 0;
  std::string failure_;
  std::function<void(uint64_t)> progress_;
};

}  // namespace zelvan::fennic
