// Fuzzes the download-status handler with arbitrary server answers.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fennic_fuzz::Harness().Run(data, size, 11, R"([{"UploadID":1,"UpdateSchedulerId":5,"Status":"Success","Reason":""}])", L"", "");
  return 0;
}
