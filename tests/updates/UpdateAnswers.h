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

// One update description; `address` is its address member ("name":value)
// and `more` is appended to its members.
inline std::string UpdateDescription(int id, const std::string& address,
                                     const std::string& action = "ScheduleUpdate", const std::string& product = "P100",
                                     const std::string& more = "", const std::string& type = "Firmware") {
  return "{" + address + R"(,"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":)" +
         std::to_string(id + 1000) + R"(,"Action":")" + action + R"(","IProduct":")" + product +
         R"(","Version":"1.0","Type":")" + type +
         R"(","ScheduledTime":"t","updateDeployedTime":"t","ForceUpdate":"False")" + more + "}";
}

}  // namespace fennic_test
