// Fuzzes the heart-beat handler with arbitrary server answers.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fennic_fuzz::Harness().Run(data, size, 3, "", L"", "");
  return 0;
}
