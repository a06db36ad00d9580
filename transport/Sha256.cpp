#include "Sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace zelvan::fennic {

struct EvpDigest::Context {
  EVP_MD_CTX* md = nullptr;
  const char* name = "";
  ~Context() { EVP_MD_CTX_free(md); }
};

EvpDigest::EvpDigest(Kind kind) : ctx_(std::make_unique<Context>()) {
  const bool sha = kind == Kind::Sha256;
  ctx_->name = sha ? "SHA-256" : "BLAKE2b-512";
  ctx_->md = EVP_MD_CTX_new();
  if (ctx_->md == nullptr || EVP_DigestInit_ex(ctx_->md, sha ? EVP_sha256() : EVP_blake2b512(), nullptr) != 1)
    throw std::runtime_error(std::string(ctx_->name) + " is not available");
}

EvpDigest::~EvpDigest() = default;

void EvpDigest::Update(const void* data, size_t size) {
  if (size > 0 && EVP_DigestUpdate(ctx_->md, data, size) != 1)
    throw std::runtime_error(std::string(ctx_->name) + " update failed");
}

std::string EvpDigest::Bytes() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx_->md, digest, &length) != 1)
    throw std::runtime_error(std::string(ctx_->name) + " final failed");
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string EvpDigest::HexDigest() {
  static const char* hex = "0123456789abcdef";
  const std::string digest = Bytes();
  std::string out;
  out.reserve(digest.size() * 2);
  for (unsigned char c : digest) {
    out.push_back(hex[c >> 4]);
    out.push_back(hex[c & 0xf]);
  }
  return out;
}

void Sha256::Prepare() { OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr); }

std::string Sha256::OfFile(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) throw std::runtime_error("cannot read " + path);
  Sha256 sha;
  std::vector<unsigned char> chunk(1 << 16);
  size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0) sha.Update(chunk.data(), got);
  if (std::ferror(file.get())) throw std::runtime_error("cannot read " + path);
  return sha.HexDigest();
}

PackageDigests::PackageDigests(bool withSha256, bool withBlake2b)
    : sha256(withSha256 ? std::make_unique<Sha256>() : nullptr),
      blake2b(withBlake2b ? std::make_unique<Blake2b512>() : nullptr) {}

void PackageDigests::Update(const void* data, size_t size) {
  if (sha256) sha256->Update(data, size);
  if (blake2b) blake2b->Update(data, size);
}

std::unique_ptr<PackageDigests> PackageDigests::Fresh() const {
  return std::make_unique<PackageDigests>(sha256 != nullptr, blake2b != nullptr);
}

}  // namespace zelvan::fennic
