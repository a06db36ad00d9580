#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zelvan::fennic {

// Whether packages must carry a publisher's signature.
enum class SignaturePolicy {
  Off,              // nothing is checked
  VerifyIfPresent,  // a signature that is there must hold; a missing one is accepted with a warning
  Require,          // every package needs a valid signature by a trusted key
};

// "off", "verify-if-present", "require"; false for anything else.
bool ParseSignaturePolicy(const std::string& text, SignaturePolicy& policy);
const char* SignaturePolicyName(SignaturePolicy policy);

// An Ed25519 public key in minisign's format: the key id and the key.
struct MinisignKey {
  std::string id;   // 8 bytes, as the key and signature files carry it
  std::string key;  // 32 bytes
  // The id as minisign prints it (upper-case hex of the little-endian number).
  std::string IdText() const;
};

// The trust anchors of one running configuration. Read once, shared by
// reference, never changed afterwards (a reload makes a new one).
struct PackageTrust {
  SignaturePolicy policy = SignaturePolicy::Off;
  std::vector<MinisignKey> keys;
};

// Reads a minisign public key file (an "untrusted comment:" line, then the
// base64 key line). Throws std::runtime_error naming the file and the cause.
MinisignKey ReadMinisignKeyFile(const std::string& path);
// The same from the file's text; throws std::runtime_error naming the cause.
MinisignKey ParseMinisignKey(const std::string& text);

// One detached minisign signature file, checked in two steps: what needs
// only the file (format, key id, trusted comment, the name it was made
// for) before the package is fetched, then the signature over the
// package's BLAKE2b-512 once every byte has arrived. Each failure is one
// line naming its cause; an empty text means it holds.
class PackageSignature {
 public:
  // Legacy (not prehashed) signatures are refused: they would need the
  // whole package in memory at once.
  static std::unique_ptr<PackageSignature> Parse(const std::string& text, std::string& reason);

  // The key that made it must be one of `keys`, the trusted comment must
  // be the one it signed, and that comment must name `fileName`.
  std::string CheckHeader(const std::vector<MinisignKey>& keys, const std::string& fileName);
  // After CheckHeader: whether the signature covers a file whose
  // BLAKE2b-512 is `prehash` (64 bytes).
  std::string CheckPrehash(const std::string& prehash) const;

  // The id of the key that made it, as minisign prints it.
  std::string KeyIdText() const;
  // Tells this signature from any other (its bytes, not its text).
  std::string Fingerprint() const { return keyId_ + signature_ + globalSignature_; }

 private:
  std::string keyId_;
  std::string signature_;        // 64 bytes over the prehash
  std::string trustedComment_;   // without its "trusted comment: " prefix
  std::string globalSignature_;  // 64 bytes over signature_ + trustedComment_
  MinisignKey signer_;  // set by CheckHeader
};

// The largest signature file fetched; a real one is well under 1 KiB.
constexpr size_t kMaxSignatureBytes = 4096;

}  // namespace zelvan::fennic
