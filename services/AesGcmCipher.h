#pragma once

#include <array>
#include <mutex>
#include <string>

#include "IEncryptDecrypt.h"

namespace zelvan::fennic::services {

// AES-256-GCM with a fresh random nonce per message. The stored text is
// base64 of nonce | cipher text | tag, so it can live in any text file.
// The key lives in a key file of its own (mode 0600), created with random
// bytes on first use; all processes sharing the file share the key.
class AesGcmCipher : public IEncryptDecrypt {
 public:
  // The key file is opened or created lazily, on the first Encrypt/Decrypt,
  // unless OpenKey came first.
  explicit AesGcmCipher(std::string keyFile);

  // Reads the key now; creates a fresh one when the file is missing and
  // `createWhenMissing`. Throws LocalStateError naming the key file and
  // what is wrong: missing, unreadable, a folder, empty, or of the wrong
  // length. Any thread.
  void OpenKey(bool createWhenMissing);

  // Throws LocalStateError for a key problem, AgentException when OpenSSL
  // fails.
  std::string Encrypt(const std::string& plain) override;
  // Throws AgentException for anything that is not a cipher text of this
  // key: bad base64, too short, or failed authentication. Never returns a
  // partly decrypted text.
  std::string Decrypt(const std::string& cipher) override;

  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;

 private:
  const std::array<unsigned char, kKeySize>& Key();

  const std::string keyFile_;
  std::mutex keyLock_;
  bool loaded_ = false;  // GUARDED_BY(keyLock_)
  std::array<unsigned char, kKeySize> key_{};
};

}  // namespace zelvan::fennic::services
