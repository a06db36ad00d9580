// The server's verdict on request bodies: each wrong shape is named.
#include <gtest/gtest.h>

#include "BodyShape.h"

using zelvan::fennic::BodyShape;
using web::json::value;

namespace {

struct ShapeCase {
  const char* name;
  const char* type;
  const char* body;  // JSON; "" for an empty body
  const char* verdict;
};

class BodyShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(BodyShapes, NameWhatIsWrong) {
  const value body = *GetParam().body ? value::parse(GetParam().body) : value::null();
  EXPECT_EQ(BodyShape(GetParam().type, body), GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BodyShapes,
    ::testing::Values(
        ShapeCase{"PlugUpperCaseVendor", "4", R"({"VendorID":"12AB"})", "member \"VendorID\" is not four lower-case hex digits"},
        ShapeCase{"UnplugMissingBusPath", "5",
                  R"({"VendorID":"1209","ProductID":"00a1","VendorName":"","ProductName":"","SerialNumber":"","FirmwareVersion":""})",
                  "member \"BusPath\" missing"},
        ShapeCase{"SyncNotAList", "8", R"({"Devices":{}})", "member \"Devices\" missing or not an array"},
        ShapeCase{"SyncBadDevice", "8", R"({"Devices":[{"VendorID":1}]})",
                  "Devices[0]: member \"VendorID\" is not four lower-case hex digits"},
        ShapeCase{"DirectoryUnknownVerdict", "6", R"({"ADUpdates":[{"ADSelectQuery":"q","UserStatus":"Maybe"}]})",
                  "ADUpdates[0]: \"UserStatus\" is Maybe"},
        ShapeCase{"StatusIdAsText", "7",
                  R"({"DeviceID":"D","Updatestatus":"Failed","Reason":"x","UploadID":"1","UpdateSchedularID":2})",
                  "member \"UploadID\" is not an integer"},
        ShapeCase{"StatusEmptyDevice", "7",
                  R"({"DeviceID":"","Updatestatus":"Success","Reason":"","UploadID":1,"UpdateSchedularID":2})",
                  "\"DeviceID\" is empty"},
        ShapeCase{"CallsWithoutDuration", "20", R"({"Calls":[{"Device":"x"}]})",
                  "Calls[0]: member \"DurationSeconds\" missing"},
        ShapeCase{"SoftphonesNotAnObject", "19", "[]", "body is not a JSON object"},
        ShapeCase{"UserDetailsNoName", "21",
                  R"({"UserName":"","FullName":"","Office":"","WorkPhone":"","HomePhone":""})", "\"UserName\" is empty"},
        ShapeCase{"VoicePromptMissingVersion", "23", R"({"DeviceName":"a","RequiredVP":"b"})",
                  "member \"DeviceVersion\" missing"},
        ShapeCase{"QueryFetchWithBody", "10", "{}", "body is not empty"},
        ShapeCase{"UncheckedType", "15", "[1]", "ok"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
