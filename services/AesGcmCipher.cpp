#include "AesGcmCipher.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "AgentException.h"
#include "AtomicFile.h"
#include "LocalStateError.h"

namespace zelvan::fennic::services {

namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext NewContext() {
  CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx) throw AgentException("Cipher: cannot allocate a cipher context");
  return ctx;
}

std::string Base64(const std::vector<unsigned char>& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), bytes.data(),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::vector<unsigned char> FromBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) throw AgentException("Cipher text refused: not base64");
  std::vector<unsigned char> out(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) throw AgentException("Cipher text refused: not base64");
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(n);
  if (text[text.size() - 1] == '=') --size;
  if (text[text.size() - 2] == '=') --size;
  out.resize(size);
  return out;
}

}  // namespace

AesGcmCipher::AesGcmCipher(std::string keyFile) : keyFile_(std::move(keyFile)) {}

const std::array<unsigned char, AesGcmCipher::kKeySize>& AesGcmCipher::Key() {
  OpenKey(true);
  return key_;
}

void AesGcmCipher::OpenKey(bool createWhenMissing) {
  std::lock_guard<std::mutex> hold(keyLock_);
  if (loaded_) return;
  auto refuse = [this](const std::string& what) { throw LocalStateError("key file " + keyFile_ + " " + what); };
  struct stat info {};
  if (::stat(keyFile_.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) refuse("is a folder");
  std::optional<std::string> stored;
  try {
    stored = AtomicFile::Read(keyFile_);
    if (!stored && createWhenMissing) {
      std::string fresh(kKeySize, '\0');
      if (RAND_bytes(reinterpret_cast<unsigned char*>(&fresh[0]), static_cast<int>(kKeySize)) != 1)
        throw AgentException("Cipher: no random bytes for a new key");
      // Another process may have created it meanwhile; its key wins.
      if (!AtomicFile::CreateExclusive(keyFile_, fresh, 0600)) stored = AtomicFile::Read(keyFile_);
      else stored = fresh;
    }
  } catch (const std::system_error& e) {
    refuse(std::string("cannot be read: ") + e.code().message());
  }
  if (!stored) refuse("is missing, and the sealed data files need the key they were written with");
  if (stored->empty()) refuse("is empty");
  if (stored->size() != kKeySize)
    refuse("holds " + std::to_string(stored->size()) + " bytes, not a " + std::to_string(kKeySize) + "-byte key");
  std::copy(stored->begin(), stored->end(), key_.begin());
  loaded_ = true;
}

std::string AesGcmCipher::Encrypt(const std::string& plain) {
  const auto& key = Key();
  std::vector<unsigned char> out(kNonceSize + plain.size() + kTagSize);
  if (RAND_bytes(out.data(), static_cast<int>(kNonceSize)) != 1) throw AgentException("Cipher: no random nonce");
  CipherContext ctx = NewContext();
  int len = 0;
  int total = 0;
  if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), out.data()) != 1)
    throw AgentException("Cipher: cannot start encryption");
  if (!plain.empty() &&
      EVP_EncryptUpdate(ctx.get(), out.data() + kNonceSize, &len, reinterpret_cast<const unsigned char*>(plain.data()),
                        static_cast<int>(plain.size())) != 1)
    throw AgentException("Cipher: encryption failed");
  total = len;
  if (EVP_EncryptFinal_ex(ctx.get(), out.data() + kNonceSize + total, &len) != 1)
    throw AgentException("Cipher: encryption failed");
  total += len;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                          out.data() + kNonceSize + total) != 1)
    throw AgentException("Cipher: cannot read the tag");
  out.resize(kNonceSize + static_cast<std::size_t>(total) + kTagSize);
  return Base64(out);
}

std::string AesGcmCipher::Decrypt(const std::string& cipher) {
  const auto& key = Key();
  const std::vector<unsigned char> in = FromBase64(cipher);
  if (in.size() < kNonceSize + kTagSize) throw AgentException("Cipher text refused: too short");
  const std::size_t bodySize = in.size() - kNonceSize - kTagSize;
  std::string plain(bodySize, '\0');
  CipherContext ctx = NewContext();
  int len = 0;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), in.data()) != 1)
    throw AgentException("Cipher: cannot start decryption");
  if (bodySize > 0 &&
      EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&plain[0]), &len, in.data() + kNonceSize,
                        static_cast<int>(bodySize)) != 1)
    throw AgentException("Cipher text refused: decryption failed");
  std::vector<unsigned char> tag(in.end() - kTagSize, in.end());
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag.data()) != 1)
    throw AgentException("Cipher: cannot set the tag");
  int finalLen = 0;
  unsigned char scratch[16];
  if (EVP_DecryptFinal_ex(ctx.get(), scratch, &finalLen) != 1) {
    // Wipe what was produced: a refused text must leave nothing readable.
    OPENSSL_cleanse(&plain[0], plain.size());
    throw AgentException("Cipher text refused: authentication failed (tampered, or sealed with another key)");
  }
  return plain;
}

}  // namespace zelvan::fennic::services
