#pragma once

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <string>

#include "Sha256.h"

namespace fennic_test {

// Makes minisign key pairs and detached signatures in the tests, so every
// tamper case is built from known parts. Header-only.
class MinisignSigner {
 public:
  // A fresh key pair; `keyId` (8 bytes) is random when empty.
  explicit MinisignSigner(std::string keyId = "") : id_(std::move(keyId)) {
    unsigned char seed[32];
    if (id_.empty()) {
      id_.resize(8);
      RAND_bytes(reinterpret_cast<unsigned char*>(id_.data()), 8);
    }
    RAND_bytes(seed, sizeof seed);
    key_ = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed);
    unsigned char pub[32];
    size_t length = sizeof pub;
    if (key_ == nullptr || EVP_PKEY_get_raw_public_key(key_, pub, &length) != 1)
      throw std::runtime_error("no Ed25519 key");
    public_.assign(reinterpret_cast<const char*>(pub), length);
  }
  ~MinisignSigner() { EVP_PKEY_free(key_); }
  MinisignSigner(const MinisignSigner&) = delete;
  MinisignSigner& operator=(const MinisignSigner&) = delete;

  const std::string& KeyId() const { return id_; }

  // The public key file's text.
  std::string PublicKeyText() const {
    return "untrusted comment: minisign public key\n" + Base64("Ed" + id_ + public_) + "\n";
  }

  // A signature file over `content` made for `fileName`, in the prehashed
  // form (or the legacy one), with the default trusted comment unless
  // `trusted` names another.
  std::string Sign(const std::string& content, const std::string& fileName, bool prehashed = true,
                   std::string trusted = "") const {
    if (trusted.empty()) trusted = "timestamp:1765000000\tfile:" + fileName + "\thashed";
    std::string message = content;
    if (prehashed) {
      zelvan::fennic::Blake2b512 prehash;
      prehash.Update(content.data(), content.size());
      message = prehash.Bytes();
    }
    const std::string signature = Raw(message);
    return "untrusted comment: signature from minisign secret key\n" +
           Base64(std::string(prehashed ? "ED" : "Ed") + id_ + signature) + "\ntrusted comment: " + trusted + "\n" +
           Base64(Raw(signature + trusted)) + "\n";
  }

  static std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
  }

 private:
  std::string Raw(const std::string& message) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char signature[64];
    size_t length = sizeof signature;
    const bool ok = ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key_) == 1 &&
                    EVP_DigestSign(ctx, signature, &length, reinterpret_cast<const unsigned char*>(message.data()),
                                   message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok) throw std::runtime_error("Ed25519 signing failed");
    return std::string(reinterpret_cast<const char*>(signature), length);
  }

  std::string id_;
  std::string public_;
  EVP_PKEY* key_ = nullptr;
};

}  // namespace fennic_test
