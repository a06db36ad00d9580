#pragma once

#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// Cipher for the two agent data files. Encrypt is what the REST library calls;
// Decrypt lets a configuration manager read its own files back.
class FENNIC_EXPORT IEncryptDecrypt {
 public:
  virtual ~IEncryptDecrypt() = default;
  virtual std::string Encrypt(const std::string& plain) = 0;
  // Throws AgentException-like errors (std::runtime_error) on tampered input.
  virtual std::string Decrypt(const std::string& cipher) = 0;
};

}  // namespace zelvan::fennic
