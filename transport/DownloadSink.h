#pragma once

#include <cpprest/astreambuf.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Sha256.h"

namespace zelvan::fennic {

// The stream buffer a download's response body is written into. Each chunk
// goes straight to the open file and into the running checksum before the
// HTTP client reads the next one, so memory stays constant whatever the
// package size. Write-only; used by one download at a time.
//
// The body may start to arrive before the caller has seen the status line,
// so the first write waits (bounded) until the caller opens the sink and
// says what the body is: the rest of a partial file, the whole package, or
// an error text to drop.
class DownloadSink : public concurrency::streams::details::streambuf_state_manager<uint8_t> {
 public:
  enum class Mode { Waiting, Append, Restart, Discard };

  // `fd` is owned by the caller and stays open for the sink's lifetime.
  // `primed` holds the checksum of the bytes already in the file, or null
  // when no checksum is wanted.
  DownloadSink(int fd, std::unique_ptr<Sha256> primed);

  // `limit` (0 for none) is the most body bytes accepted; more fails.
  void Open(Mode mode, uint64_t limit);
  uint64_t Written() const;
  std::string Failure() const;
  // Called after each chunk with the body bytes written so far; set before
  // the request starts.
  void OnProgress(std::function<void(uint64_t)> progress) { progress_ = std::move(progress); }
  // The running checksum; null when none is wanted. Call after the body.
  Sha256* Hash() { return sha_.get(); }

  bool can_seek() const override { return false; }
  bool has_size() const override { return false; }
  size_t buffer_size(std::ios_base::openmode) const override { return 0; }
  void set_buffer_size(size_t, std::ios_base::openmode) override {}
  size_t in_avail() const override { return 0; }
  pos_type getpos(std::ios_base::openmode) const override { return static_cast<pos_type>(written_); }
  pos_type seekpos(pos_type, std::ios_base::openmode) override { return static_cast<pos_type>(traits::eof()); }
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
    return static_cast<pos_type>(traits::eof());
  }
  bool acquire(uint8_t*&, size_t&) override { return false; }
  void release(uint8_t*, size_t) override {}

 protected:
  pplx::task<int_type> _putc(uint8_t ch) override;
  pplx::task<size_t> _putn(const uint8_t* ptr, size_t count) override;
  pplx::task<int_type> _bumpc() override { return pplx::task_from_result<int_type>(traits::eof()); }
  int_type _sbumpc() override { return traits::eof(); }
  pplx::task<int_type> _getc() override { return pplx::task_from_result<int_type>(traits::eof()); }
  int_type _sgetc() override { return traits::eof(); }
  pplx::task<int_type> _nextc() override { return pplx::task_from_result<int_type>(traits::eof()); }
  pplx::task<int_type> _ungetc() override { return pplx::task_from_result<int_type>(traits::eof()); }
  pplx::task<size_t> _getn(uint8_t*, size_t) override { return pplx::task_from_result<size_t>(0); }
  size_t _scopy(uint8_t*, size_t) override { return 0; }
  pplx::task<bool> _sync() override { return pplx::task_from_result(true); }
  uint8_t* _alloc(size_t) override { return nullptr; }
  void _commit(size_t) override {}

 private:
  bool WriteAll(const uint8_t* ptr, size_t count);

  const int fd_;
  std::unique_ptr<Sha256> sha_;
  mutable std::mutex lock_;
  std::condition_variable opened_;
  Mode mode_ = Mode::Waiting;
  uint64_t limit_ = 0;
  uint64_t written_ = 0;
  std::string failure_;
  std::function<void(uint64_t)> progress_;
};

}  // namespace zelvan::fennic
