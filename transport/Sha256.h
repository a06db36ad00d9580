#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zelvan::fennic {

// An incremental digest over OpenSSL's digest interface. One instance per
// stream; not shared between threads.
class EvpDigest {
 public:
  enum class Kind { Sha256, Blake2b512 };
  explicit EvpDigest(Kind kind);
  virtual ~EvpDigest();
  EvpDigest(const EvpDigest&) = delete;
  EvpDigest& operator=(const EvpDigest&) = delete;

  void Update(const void* data, size_t size);
  // The digest's bytes; the instance is finished afterwards.
  std::string Bytes();
  // Lower-case hex of Bytes(); the instance is finished afterwards.
  std::string HexDigest();

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
};

class Sha256 : public EvpDigest {
 public:
  Sha256() : EvpDigest(Kind::Sha256) {}
  // Digest of a whole file, read in chunks; throws std::runtime_error when
  // the file cannot be read.
  static std::string OfFile(const std::string& path);
  // Initialises the digest library on the calling thread. Owners call it
  // from their constructor so the one-time set-up state belongs to a
  // long-lived thread, not to a pool thread that happens to hash first.
  static void Prepare();
};

// The prehash a package signature covers.
class Blake2b512 : public EvpDigest {
 public:
  Blake2b512() : EvpDigest(Kind::Blake2b512) {}
};

// The digests one download computes over its bytes in a single pass: the
// SHA-256 its details announce and the BLAKE2b-512 its signature covers.
// Either may be absent when nothing will check it.
struct PackageDigests {
  std::unique_ptr<Sha256> sha256;
  std::unique_ptr<Blake2b512> blake2b;

  PackageDigests(bool withSha256, bool withBlake2b);
  bool Any() const { return sha256 || blake2b; }
  void Update(const void* data, size_t size);
  // Empty digests of the same kinds, for a package that starts over.
  std::unique_ptr<PackageDigests> Fresh() const;
};

}  // namespace zelvan::fennic
