#pragma once

#include <string>

namespace zelvan::fennic {

// One device update-status report: what the host reports after it applied
// (or failed to apply) an update to a device. A plain value; the two
// conversions are pure and safe on any thread.
class SilentUpdateStatus {
 public:
  std::wstring DeviceID;
  std::wstring Updatestatus;
  std::wstring Reason;
  int UploadID = 0;
  int UpdateSchedularID = 0;

  // Reads the five members from UTF-8 JSON text; an absent or null member
  // keeps its default. A text that is not JSON, or a member of the wrong
  // type, is logged and ends the reading with the fields read so far.
  static SilentUpdateStatus ConvertJsonString(const std::string& text);
  // The UTF-8 JSON object with exactly the five members.
  static std::string ToJsonString(const SilentUpdateStatus& status);
};

}  // namespace zelvan::fennic
