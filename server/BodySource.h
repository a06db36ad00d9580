#pragma once

#include <cpprest/astreambuf.h>

#include <cstdint>
#include <functional>
#include <string>

namespace zelvan::fennic {

// A read-only stream buffer the server answers with. It reads a byte range
// on demand (from a package file or a text), so a large package is never
// held in memory, and it can be told to break off after some bytes: the
// reader then fails and the listener drops the connection mid-body, which
// is how a server dying in the middle of a transfer looks to the client.
class BodySource : public concurrency::streams::details::streambuf_state_manager<uint8_t> {
 public:
  // Fills up to `count` bytes at `offset`; returns how many it filled.
  using Reader = std::function<size_t(uint64_t offset, uint8_t* into, size_t count)>;

  // Serves `length` bytes from `offset`; breaks off after `breakAfter`
  // bytes when that is smaller than `length`.
  BodySource(Reader reader, uint64_t offset, uint64_t length, uint64_t breakAfter);
  static std::shared_ptr<BodySource> OfText(std::string text, uint64_t breakAfter);
  // Owns `fd` and closes it.
  static std::shared_ptr<BodySource> OfFile(int fd, uint64_t offset, uint64_t length, uint64_t breakAfter);

  bool can_seek() const override { return false; }
  bool has_size() const override { return false; }
  size_t buffer_size(std::ios_base::openmode) const override { return 0; }
  void set_buffer_size(size_t, std::ios_base::openmode) override {}
  size_t in_avail() const override { return 0; }
  pos_type getpos(std::ios_base::openmode) const override { return static_cast<pos_type>(served_); }
  pos_type seekpos(pos_type, std::ios_base::openmode) override { return static_cast<pos_type>(traits::eof()); }
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
    return static_cast<pos_type>(traits::eof());
  }
  bool acquire(uint8_t*&, size_t&) override { return false; }
  void release(uint8_t*, size_t) override {}

 protected:
  pplx::task<int_type> _putc(uint8_t) override { return pplx::task_from_result<int_type>(traits::eof()); }
  pplx::task<size_t> _putn(const uint8_t*, size_t) override { return pplx::task_from_result<size_t>(0); }
  pplx::task<int_type> _bumpc() override;
  int_type _sbumpc() override;
  pplx::task<int_type> _getc() override;
  int_type _sgetc() override;
  pplx::task<int_type> _nextc() override;
  pplx::task<int_type> _ungetc() override { return pplx::task_from_result<int_type>(traits::eof()); }
  pplx::task<size_t> _getn(uint8_t* ptr, size_t count) override;
  size_t _scopy(uint8_t*, size_t) override { return 0; }
  pplx::task<bool> _sync() override { return pplx::task_from_result(true); }
  uint8_t* _alloc(size_t) override { return nullptr; }
  void _commit(size_t) override {}

 private:
  // -1 on the break-off point, else bytes read (0 at the end).
  long Read(uint8_t* ptr, size_t count, bool advance);

  Reader reader_;
  uint64_t offset_;
  uint64_t length_;
  uint64_t breakAfter_;
  uint64_t served_ = 0;
};

}  // namespace zelvan::fennic
