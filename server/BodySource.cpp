#include "BodySource.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zelvan::fennic {

BodySource::BodySource(Reader reader, uint64_t offset, uint64_t length, uint64_t breakAfter)
    : streambuf_state_manager<uint8_t>(std::ios_base::in),
      reader_(std::move(reader)),
      offset_(offset),
      length_(length),
      breakAfter_(breakAfter) {}

std::shared_ptr<BodySource> BodySource::OfText(std::string text, uint64_t breakAfter) {
  auto shared = std::make_shared<std::string>(std::move(text));
  const uint64_t size = shared->size();
  return std::make_shared<BodySource>(
      [shared](uint64_t offset, uint8_t* into, size_t count) {
        if (offset >= shared->size()) return size_t{0};
        const size_t n = std::min(count, shared->size() - static_cast<size_t>(offset));
        std::memcpy(into, shared->data() + offset, n);
        return n;
      },
      0, size, breakAfter);
}

std::shared_ptr<BodySource> BodySource::OfFile(int fd, uint64_t offset, uint64_t length, uint64_t breakAfter) {
  auto owned = std::shared_ptr<int>(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  return std::make_shared<BodySource>(
      [owned](uint64_t at, uint8_t* into, size_t count) {
        for (;;) {
          ssize_t n = ::pread(*owned, into, count, static_cast<off_t>(at));
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) throw std::runtime_error(std::string("package read failed: ") + std::strerror(errno));
          return static_cast<size_t>(n);
        }
      },
      offset, length, breakAfter);
}

long BodySource::Read(uint8_t* ptr, size_t count, bool advance) {
  if (served_ >= breakAfter_ && breakAfter_ < length_) return -1;
  uint64_t left = std::min(length_, breakAfter_) - served_;
  if (left == 0 || count == 0) return 0;
  size_t want = static_cast<size_t>(std::min<uint64_t>(left, count));
  size_t got = reader_(offset_ + served_, ptr, want);
  if (advance) served_ += got;
  return static_cast<long>(got);
}

pplx::task<size_t> BodySource::_getn(uint8_t* ptr, size_t count) {
  try {
    long n = Read(ptr, count, true);
    if (n < 0) return pplx::task_from_exception<size_t>(std::runtime_error("body broken off"));
    return pplx::task_from_result(static_cast<size_t>(n));
  } catch (const std::exception& e) {
    return pplx::task_from_exception<size_t>(std::runtime_error(e.what()));
  }
}

BodySource::int_type BodySource::_sbumpc() {
  uint8_t c = 0;
  return Read(&c, 1, true) == 1 ? static_cast<int_type>(c) : traits::eof();
}

pplx::task<BodySource::int_type> BodySource::_bumpc() { return pplx::task_from_result(_sbumpc()); }

BodySource::int_type BodySource::_sgetc() {
  uint8_t c = 0;
  return Read(&c, 1, false) == 1 ? static_cast<int_type>(c) : traits::eof();
}

pplx::task<BodySource::int_type> BodySource::_getc() { return pplx::task_from_result(_sgetc()); }

pplx::task<BodySource::int_type> BodySource::_nextc() {
  _sbumpc();
  return pplx::task_from_result(_sgetc());
}

}  // namespace zelvan::fennic
