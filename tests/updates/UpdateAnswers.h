#pragma once

#include <string>

namespace fennic_test {

// The envelope members of an accepted get-updates answer.
inline const char* const kAcceptedUpdateEnvelope =
    R"("ErrorMessage":"","ResposeCommand":0,"validateResponse":true,"validateResponseFromServer":true,"validateResponseStatus":true)";

// An accepted get-updates answer around `body`, the "ResponseBody" text.
inline std::string AcceptedUpdateAnswer(const std::string& body) {
  return std::string("{") + kAcceptedUpdateEnvelope + ",\"ResponseBody\":" + body + "}";
}

}  // namespace fennic_test
