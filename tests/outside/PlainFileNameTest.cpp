// The one rule for file names that come from a server.
#include <gtest/gtest.h>

#include "PlainFileName.h"

using NameCase = std::tuple<const char*, std::string, bool>;
class PlainFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(PlainFileNameTest, AcceptsOnlyAPlainNameInsideTheFolder) {
  EXPECT_EQ(zelvan::fennic::IsPlainFileName(std::get<1>(GetParam())), std::get<2>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Names, PlainFileNameTest,
    ::testing::Values(NameCase{"Package", "fw-1.2.bin", true}, NameCase{"LeadingDot", ".hidden", true},
                      NameCase{"DotsInside", "a..b", true}, NameCase{"Utf8", "caf\xc3\xa9", true},
                      NameCase{"LongestAllowed", std::string(255, 'n'), true}, NameCase{"TooLong", std::string(256, 'n'), false},
                      NameCase{"Empty", "", false}, NameCase{"Dot", ".", false}, NameCase{"DotDot", "..", false},
                      NameCase{"Slash", "a/b", false}, NameCase{"Climbing", "../etc", false}, NameCase{"Absolute", "/etc", false},
                      NameCase{"Backslash", "a\\b", false}, NameCase{"Nul", std::string("a\0b", 3), false},
                      NameCase{"NewLine", "a\nb", false}, NameCase{"Delete", "a\x7f", false}),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });
