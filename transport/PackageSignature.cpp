#include "PackageSignature.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zelvan::fennic {

namespace {

constexpr const char* kUntrustedPrefix = "untrusted comment: ";
constexpr const char* kTrustedPrefix = "trusted comment: ";
constexpr size_t kKeyIdBytes = 8;
constexpr size_t kPublicKeyBytes = 32;
constexpr size_t kSignatureBytes = 64;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Strict base64: the standard alphabet, padded, nothing else; false when
// `text` is not exactly that.
bool DecodeBase64(const std::string& text, std::string& bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t padding = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (c == '=' && i + 2 >= text.size()) {
      ++padding;
    } else if (!alphabet || padding > 0) {
      return false;
    }
  }
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0 || static_cast<size_t>(n) != out.size()) return false;
  out.resize(out.size() - padding);
  bytes = std::move(out);
  return true;
}

// The lines of a small text file; a final line break is optional and
// Windows line ends are accepted.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool VerifyEd25519(const std::string& key, const std::string& signature, const std::string& message) {
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                               reinterpret_cast<const unsigned char*>(key.data()), key.size());
  if (pkey == nullptr) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
                  EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                   reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  return ok;
}

std::string IdTextOf(const std::string& id) {
  std::string out;
  char digit[3];
  for (auto it = id.rbegin(); it != id.rend(); ++it) {
    std::snprintf(digit, sizeof digit, "%02X", static_cast<unsigned char>(*it));
    out += digit;
  }
  return out;
}

// The file name a trusted comment was made for: its tab-separated
// "file:NAME" field; false when it has none.
bool SignedFileName(const std::string& comment, std::string& name) {
  std::istringstream fields(comment);
  for (std::string field; std::getline(fields, field, '\t');) {
    if (!StartsWith(field, "file:")) continue;
    name = field.substr(5);
    return true;
  }
  return false;
}

}  // namespace

bool ParseSignaturePolicy(const std::string& text, SignaturePolicy& policy) {
  for (auto p : {SignaturePolicy::Off, SignaturePolicy::VerifyIfPresent, SignaturePolicy::Require}) {
    if (text == SignaturePolicyName(p)) {
      policy = p;
      return true;
    }
  }
  return false;
}

const char* SignaturePolicyName(SignaturePolicy policy) {
  switch (policy) {
    case SignaturePolicy::VerifyIfPresent:
      return "verify-if-present";
    case SignaturePolicy::Require:
      return "require";
    case SignaturePolicy::Off:
      break;
  }
  return "off";
}

std::string MinisignKey::IdText() const { return IdTextOf(id); }

MinisignKey ParseMinisignKey(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  if (lines.size() != 2 || !StartsWith(lines[0], kUntrustedPrefix))
    throw std::runtime_error("not a minisign public key (an \"untrusted comment:\" line, then the key)");
  std::string bytes;
  if (!DecodeBase64(lines[1], bytes) || bytes.size() != 2 + kKeyIdBytes + kPublicKeyBytes)
    throw std::runtime_error("the key line is not a base64 minisign public key");
  if (bytes.compare(0, 2, "Ed") != 0) throw std::runtime_error("the key is not an Ed25519 minisign key");
  return MinisignKey{bytes.substr(2, kKeyIdBytes), bytes.substr(2 + kKeyIdBytes)};
}

MinisignKey ReadMinisignKeyFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("public key " + path + " cannot be read");
  std::string text(4096, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  try {
    return ParseMinisignKey(text);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("public key " + path + ": " + e.what());
  }
}

std::string PackageSignature::KeyIdText() const { return IdTextOf(keyId_); }

std::unique_ptr<PackageSignature> PackageSignature::Parse(const std::string& text, std::string& reason) {
  const std::vector<std::string> lines = Lines(text);
  const auto malformed = [&reason](const std::string& why) {
    reason = "malformed signature file: " + why;
    return nullptr;
  };
  if (text.empty()) return malformed("empty");
  if (lines.size() != 4) return malformed("expected 4 lines, found " + std::to_string(lines.size()));
  if (!StartsWith(lines[0], kUntrustedPrefix)) return malformed("no \"untrusted comment:\" line");
  if (!StartsWith(lines[2], kTrustedPrefix)) return malformed("no \"trusted comment:\" line");
  std::string bytes, global;
  if (!DecodeBase64(lines[1], bytes) || bytes.size() != 2 + kKeyIdBytes + kSignatureBytes)
    return malformed("the signature line is not base64 of a minisign signature");
  if (!DecodeBase64(lines[3], global) || global.size() != kSignatureBytes)
    return malformed("the trusted comment's signature is not base64 of 64 bytes");
  if (bytes.compare(0, 2, "Ed") == 0)
    return malformed("legacy signature (not prehashed) refused; sign with a current minisign");
  if (bytes.compare(0, 2, "ED") != 0) return malformed("unknown signature algorithm");
  auto signature = std::unique_ptr<PackageSignature>(new PackageSignature());
  signature->keyId_ = bytes.substr(2, kKeyIdBytes);
  signature->signature_ = bytes.substr(2 + kKeyIdBytes);
  signature->trustedComment_ = lines[2].substr(std::char_traits<char>::length(kTrustedPrefix));
  signature->globalSignature_ = std::move(global);
  return signature;
}

std::string PackageSignature::CheckHeader(const std::vector<MinisignKey>& keys, const std::string& fileName) {
  const MinisignKey* signer = nullptr;
  for (const auto& key : keys)
    if (key.id == keyId_) signer = &key;
  if (signer == nullptr) return "signature by unknown key id " + KeyIdText();
  if (!VerifyEd25519(signer->key, globalSignature_, signature_ + trustedComment_))
    return "bad signature: the trusted comment was not signed by key " + KeyIdText();
  std::string named;
  if (!SignedFileName(trustedComment_, named)) return "signed for another name: the trusted comment names no file";
  if (named != fileName) return "signed for another name: \"" + named + "\", not \"" + fileName + "\"";
  signer_ = *signer;
  return {};
}

std::string PackageSignature::CheckPrehash(const std::string& prehash) const {
  if (signer_.key.empty()) return "bad signature: not checked against a trusted key";
  if (!VerifyEd25519(signer_.key, signature_, prehash))
    return "bad signature: the package does not match the signature by key " + KeyIdText();
  return {};
}

}  // namespace zelvan::fennic
