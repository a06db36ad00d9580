#include "Sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace zelvan::fennic {

struct Sha256::Context {
  EVP_MD_CTX* md = nullptr;
  ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Context>()) {
  ctx_->md = EVP_MD_CTX_new();
  if (ctx_->md == nullptr || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available");
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (size > 0 && EVP_DigestUpdate(ctx_->md, data, size) != 1) throw std::runtime_error("SHA-256 update failed");
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx_->md, digest, &length) != 1) throw std::runtime_error("SHA-256 final failed");
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 0xf]);
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

}  // namespace zelvan::fennic
