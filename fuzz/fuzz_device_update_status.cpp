// Fuzzes the device update-status handler with arbitrary server answers.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fennic_fuzz::Harness().Run(data, size, 7, R"({"DeviceID":"d1","Updatestatus":"Success","Reason":"","UploadID":1,"UpdateSchedularID":5})", L"", "");
  return 0;
}
