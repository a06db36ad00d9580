#include <fennic/CommonUtils.h>

#include <gtest/gtest.h>

using zelvan::fennic::CommonUtils;

namespace {

TEST(CommonUtilsTest, TenantSummaryEscapesAndKeepsOtherKeys) {
  std::map<std::string, std::string> details = {{"URL", "https://s.test"}, {"TenantID", "t-1"},
                                                {"TenantName", "Ac\"me"}, {"CollectData", "Full"},
                                                {"TimeInterval", "300"}};
  EXPECT_EQ(CommonUtils::TenantDetailsMaptoJsonstring(details),
            R"({"TenantID":"t-1","TenantName":"Ac\"me","TenantURL":"https://s.test","TenantSetting":"Full"})");
  EXPECT_EQ(details.size(), 5u);
}

}  // namespace
