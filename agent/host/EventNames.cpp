#include "EventNames.h"

namespace zelvan::fennic::agent {

std::string EventMeaning(int code) {
  switch (code) {
    case 0: return "registration failed";
    case 1: return "registration completed, token stored";
    case 2: return "server asks for a new registration";
    case 3: return "client state after registration";
    case 4: return "update check finished";
    case 5: return "no update work pending";
    case 6: return "heart beat accepted";
    case 7: return "heart beat failed";
    case 8: return "cancellations processed";
    case 9: return "update check failed";
    case 10: return "download answer received";
    case 11: return "tenant settings stored";
    case 12: return "heart-beat settings applied";
    case 13: return "user details accepted";
    case 14: return "directory queries pending";
    case 16: return "server unreachable";
    case 17: return "server contact confirmed";
    case 18: return "server asks for the agent's logs";
    case 19: return "transport query answered";
    default: return "unknown event";
  }
}

std::string EventLine(const std::string& time, int code, const std::string& text, const std::string& payload) {
  std::string line = time + " event " + std::to_string(code) + ": " + EventMeaning(code);
  if (!text.empty()) line += " (" + text + ")";
  if (!payload.empty()) line += " " + payload;
  return line;
}

}  // namespace zelvan::fennic::agent
