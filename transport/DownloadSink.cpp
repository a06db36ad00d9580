#include "DownloadSink.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace zelvan::fennic {

DownloadSink::DownloadSink(int fd, std::unique_ptr<Sha256> primed)
    : streambuf_state_manager<uint8_t>(std::ios_base::out), fd_(fd), sha_(std::move(primed)) {}

void DownloadSink::Open(Mode mode, uint64_t limit) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (mode_ != Mode::Waiting && mode != Mode::Discard) return;
    if (mode == Mode::Restart && sha_) sha_ = std::make_unique<Sha256>();
    mode_ = mode;
    limit_ = limit;
  }
  opened_.notify_all();
}

uint64_t DownloadSink::Written() const {
  std::lock_guard<std::mutex> hold(lock_);
  return written_;
}

std::string DownloadSink::Failure() const {
  std::lock_guard<std::mutex> hold(lock_);
  return failure_;
}

bool DownloadSink::WriteAll(const uint8_t* ptr, size_t count) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!opened_.wait_for(hold, std::chrono::seconds(30), [&] { return mode_ != Mode::Waiting; })) {
    failure_ = "package body arrived without a status";
    return false;
  }
  if (mode_ == Mode::Discard) return true;
  if (!failure_.empty()) return false;
  if (limit_ != 0 && written_ + count > limit_) {
    failure_ = "package is larger than the announced size";
    return false;
  }
  if (sha_) sha_->Update(ptr, count);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, ptr + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure_ = std::string("cannot write the package: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  written_ += count;
  return true;
}

pplx::task<DownloadSink::int_type> DownloadSink::_putc(uint8_t ch) {
  if (!WriteAll(&ch, 1)) return pplx::task_from_exception<int_type>(std::runtime_error(Failure()));
  return pplx::task_from_result<int_type>(ch);
}

pplx::task<size_t> DownloadSink::_putn(const uint8_t* ptr, size_t count) {
  if (!WriteAll(ptr, count)) return pplx::task_from_exception<size_t>(std::runtime_error(Failure()));
  if (progress_) progress_(Written());
  return pplx::task_from_result(count);
}

}  // namespace zelvan::fennic
