#pragma once

#include <string>
#include <string_view>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// String helpers of the agent utility library. All are pure functions and
// safe on any thread.
class FENNIC_EXPORT StringUtil {
 public:
  // UTC time stamp "YYYY-MM-DDTHH:MM:SSZ", stored as the last server contact.
  static std::string setLastSeenOfServer();
  // UTC time with microseconds "YYYY-MM-DDTHH:MM:SS.uuuuuuZ"; two processes
  // started apart get different texts.
  static std::string getSystemTime();
  // Removes one leading and one trailing double quote when both are present;
  // any other text comes back unchanged.
  static std::wstring stripQuotes(const std::wstring& text);
  // True when `expected` occurs in the server's error message, compared
  // without regard to ASCII case and surrounding quotes.
  static bool CheckResponseErrorMessage(const std::wstring& errorMessage, const std::string& expected);
  // Replaces every character of `chars` in `name` by `replacement`.
  static std::string changeHSNametoUSBuserfriendlyname(const std::string& name, std::string_view chars,
                                                       char replacement);
};

}  // namespace zelvan::fennic
