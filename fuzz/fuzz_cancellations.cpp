// Fuzzes the cancel-update handler with arbitrary server answers.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fennic_fuzz::Harness().Run(data, size, 13, "", L"", "");
  return 0;
}
