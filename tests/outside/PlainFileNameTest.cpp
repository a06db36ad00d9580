// The one rule for file names that come from a server.
#include <gtest/gtest.h>

#include "PlainFileName.h"

namespace {

struct NameCase {
  const char* name;
  std::string fileName;
  bool plain;
};

class PlainFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(PlainFileNameTest, AcceptsOnlyAPlainNameInsideTheFolder) {
  EXPECT_EQ(zelvan::fennic::IsPlainFileName(GetParam().fileName), GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PlainFileNameTest,
    ::testing::Values(NameCase{"Package", "fw-1.2.bin", true}, NameCase{"LeadingDot", ".hidden", true},
                      NameCase{"DotsInside", "a..b", true}, NameCase{"Utf8", "caf\xc3\xa9.bin", true},
                      NameCase{"LongestAllowed", std::string(255, 'n'), true},
                      NameCase{"TooLong", std::string(256, 'n'), false}, NameCase{"Empty", "", false},
                      NameCase{"Dot", ".", false}, NameCase{"DotDot", "..", false},
                      NameCase{"Slash", "a/b", false}, NameCase{"Climbing", "../etc", false},
                      NameCase{"Absolute", "/etc", false}, NameCase{"Backslash", "a\\b", false},
                      NameCase{"Nul", std::string("a\0b", 3), false}, NameCase{"NewLine", "a\nb", false},
                      NameCase{"Delete", "a\x7f", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
