#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zelvan::fennic {

// Incremental SHA-256 over OpenSSL's digest interface. One instance per
// stream; not shared between threads.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // Lower-case hex digest; the instance is finished afterwards.
  std::string HexDigest();
  // Digest of a whole file, read in chunks; throws std::runtime_error when
  // the file cannot be read.
  static std::string OfFile(const std::string& path);
  // Initialises the digest library on the calling thread. Owners call it
  // from their constructor so the one-time set-up state belongs to a
  // long-lived thread, not to a pool thread that happens to hash first.
  static void Prepare();

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
};

}  // namespace zelvan::fennic
