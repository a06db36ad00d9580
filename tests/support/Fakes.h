#pragma once

#include <atomic>
#include <string>

#include "AgentException.h"
#include "IEncryptDecrypt.h"
#include "IFileManager.h"
#include "ITenantConfig.h"

namespace fennic_test {

// File services with settable answers.
class FakeFileManager : public zelvan::fennic::IFileManager {
 public:
  std::atomic<uint32_t> freeMB{100000};
  std::atomic<bool> writable{true};
  uint32_t GetFreeDiskSpaceMB(const std::string&) override { return freeMB.load(); }
  bool HasWritePermission(const std::string&) override { return writable.load(); }
};

// A visible, reversible "cipher", so tests can read the stored files.
class FakeCipher : public zelvan::fennic::IEncryptDecrypt {
 public:
  std::string Encrypt(const std::string& plain) override { return "ENC(" + plain + ")"; }
  std::string Decrypt(const std::string& cipher) override {
    if (cipher.size() < 5 || cipher.compare(0, 4, "ENC(") != 0 || cipher.back() != ')') return std::string();
    return cipher.substr(4, cipher.size() - 5);
  }
};

class CountingTenantConfig : public zelvan::fennic::ITenantConfig {
 public:
  int failWithCode = -1;  // >= 0: every reload raises AgentException with this code
  int reloads = 0;
  void ReloadTenantConfig() override {
    ++reloads;
    if (failWithCode >= 0) throw zelvan::fennic::AgentException("tenant reload failed", failWithCode);
  }
};

}  // namespace fennic_test
