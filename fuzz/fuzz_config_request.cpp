// Fuzzes the configuration-request handler with arbitrary server answers.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fennic_fuzz::Harness().Run(data, size, 17, R"({"RequestType":"CC_CONFIG_REQUEST"})", L"", "");
  return 0;
}
