#include "SilentUpdateStatus.h"

#include <gtest/gtest.h>

#include "support/ExecutorHarness.h"

using zelvan::fennic::SilentUpdateStatus;

namespace {

struct ConvertCase {
  const char* text;
  const char* converted;  // ToJsonString of the result
  bool logged;            // a level-5 line under ConvertJsonString
};

TEST(SilentUpdateStatusTest, ConvertsWireTextBothWays) {
  const std::vector<ConvertCase> cases = {
      // Absent and null members keep their defaults.
      {R"({"DeviceID":"dev-1","UploadID":null})",
       R"({"DeviceID":"dev-1","Updatestatus":"","Reason":"","UploadID":0,"UpdateSchedularID":0})", false},
      {"{\"DeviceID\":\"\xC3\xA9t\xC3\xA9\",\"Reason\":\"\xE2\x82\xAC\"}",
       "{\"DeviceID\":\"\xC3\xA9t\xC3\xA9\",\"Updatestatus\":\"\",\"Reason\":\"\xE2\x82\xAC\",\"UploadID\":0,"
       "\"UpdateSchedularID\":0}",
       false},
      {"not json", R"({"DeviceID":"","Updatestatus":"","Reason":"","UploadID":0,"UpdateSchedularID":0})", true},
      // A member of the wrong type ends the reading; what came before stays.
      {R"({"DeviceID":"d","Updatestatus":7,"UploadID":3})",
       R"({"DeviceID":"d","Updatestatus":"","Reason":"","UploadID":0,"UpdateSchedularID":0})", true},
      // Ids are read as integers are: a fraction is truncated, a larger number wraps.
      {R"({"DeviceID":"d","UploadID":7.9,"UpdateSchedularID":4294967297})",
       R"({"DeviceID":"d","Updatestatus":"","Reason":"","UploadID":7,"UpdateSchedularID":1})", false},
  };
  fennic_test::ServicesScope services;
  for (const auto& c : cases) {
    services.logger->Clear();
    const SilentUpdateStatus status = SilentUpdateStatus::ConvertJsonString(c.text);
    EXPECT_EQ(SilentUpdateStatus::ToJsonString(status), c.converted) << c.text;
    bool logged = false;
    for (const auto& line : services.logger->Lines())
      logged |= line.level == 5 && line.where == "zelvan::fennic::SilentUpdateStatus::ConvertJsonString";
    EXPECT_EQ(logged, c.logged) << c.text;
  }
}

}  // namespace
