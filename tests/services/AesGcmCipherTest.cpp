#include "AesGcmCipher.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include "AgentException.h"
#include "support/ScratchFolder.h"

using zelvan::fennic::AgentException;
using zelvan::fennic::services::AesGcmCipher;

TEST(AesGcmCipherTest, RoundTripsEveryKindOfTextWithAFreshNoncePerMessage) {
  ScratchFolder folder;
  AesGcmCipher cipher(folder / "agent.key");
  const std::string texts[] = {"", "x", "{\"URL\":\"http://127.0.0.1:1\",\"TimeInterval\":300}",
                               std::string("\0\x01\xff binary", 10), std::string(100000, 'z'),
                               "gr\xc3\xbc\xc3\x9f"};
  for (const std::string& plain : texts) {
    const std::string sealed = cipher.Encrypt(plain);
    EXPECT_EQ(sealed.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos)
        << "stored text must be base64";
    EXPECT_NE(sealed, cipher.Encrypt(plain)) << "same text sealed twice must differ";
    EXPECT_EQ(cipher.Decrypt(sealed), plain);
  }
}

TEST(AesGcmCipherTest, KeyFileIsPrivateAndSharedByLaterInstances) {
  ScratchFolder folder;
  const std::string sealed = AesGcmCipher(folder / "agent.key").Encrypt("settings");
  struct stat info {};
  ASSERT_EQ(::stat((folder / "agent.key").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_size, 32);
  EXPECT_EQ(AesGcmCipher(folder / "agent.key").Decrypt(sealed), "settings");
}

TEST(AesGcmCipherTest, RefusesTamperedForeignAndMalformedTexts) {
  ScratchFolder folder;
  AesGcmCipher cipher(folder / "agent.key");
  AesGcmCipher stranger(folder / "other.key");
  const std::string sealed = cipher.Encrypt("{\"Token\":\"secret\"}");

  std::vector<std::pair<std::string, std::string>> refused = {
      {"foreign key", stranger.Encrypt("{\"Token\":\"secret\"}")},
      {"empty", ""},
      {"not base64", "!!!!not-base64!!!!"},
      {"bad length", sealed.substr(1)},
      {"too short", "AAAA"},
      {"truncated", sealed.substr(0, sealed.size() - 8)},
  };
  // Change one byte at the nonce, the body and the tag.
  for (std::size_t at : {std::size_t{0}, sealed.size() / 2, sealed.size() - 4}) {
    std::string changed = sealed;
    changed[at] = changed[at] == 'A' ? 'B' : 'A';
    refused.emplace_back("byte " + std::to_string(at) + " changed", changed);
  }
  for (const auto& [name, text] : refused)
    EXPECT_THAT([&] { cipher.Decrypt(text); }, testing::ThrowsMessage<AgentException>(testing::HasSubstr("refused")))
        << name;
}
