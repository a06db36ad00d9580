#include "TextConversion.h"

#include <gtest/gtest.h>

using namespace zelvan::fennic;

namespace {

TEST(TextConversionTest, RoundTripsNonAsciiText) {
  const std::string samples[] = {
      "",
      "plain ascii",
      "Ren\xC3\xA9" "e M\xC3\xBC" "ller",                      // accents
      "\xE5\xBC\xA0\xE4\xBC\x9F",                        // CJK
      "\xF0\x9F\x98\x80 emoji outside the BMP",          // 4-byte sequence
      std::string("nul\0inside", 10),
  };
  for (const std::string& utf8 : samples) EXPECT_EQ(ToUtf8(ToWide(utf8)), utf8) << utf8;
  EXPECT_EQ(ToWide("\xE5\xBC\xA0"), std::wstring(1, static_cast<wchar_t>(0x5F20)));
  EXPECT_EQ(ToWide("\xF0\x9F\x98\x80").size(), 1u) << "one code point per wide character";
}

TEST(TextConversionTest, MalformedInputBecomesReplacementCharacters) {
  const std::wstring fffd(1, static_cast<wchar_t>(0xFFFD));
  EXPECT_EQ(ToWide("\xFF"), fffd);
  EXPECT_EQ(ToWide("a\xC3"), L"a" + fffd) << "truncated sequence at the end";
  EXPECT_EQ(ToWide("\xC0\xAF"), fffd) << "overlong encodings are refused";
  EXPECT_EQ(ToWide("\xED\xA0\x80"), fffd) << "surrogates are refused";
  EXPECT_EQ(ToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
}

}  // namespace
