// Fuzzes the registration handler with arbitrary server answers.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fennic_fuzz::Harness().Run(data, size, 2, R"({"TenantID":"tenant","AgentDetails":{},"MachineDetails":{},"UserDetails":{}})", L"", "");
  return 0;
}
