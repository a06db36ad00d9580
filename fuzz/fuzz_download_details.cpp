// Fuzzes the download-files handler with arbitrary server answers.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fennic_fuzz::Harness().Run(data, size, 12, "9", L"https://server.test/packages/fw-2.1.bin", "5");
  return 0;
}
