#include "ExchangeText.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace zelvan::fennic {

std::string RequestName(int requestType) {
  static const std::map<int, const char*> names = {
      {2, "registration"},          {3, "heart beat"},
      {4, "device plug-in event"},  {5, "device unplug event"},
      {6, "directory results"},     {7, "device update status"},
      {8, "device sync"},           {9, "update request"},
      {10, "directory query"},      {11, "download status"},
      {12, "download details"},     {13, "cancelled updates request"},
      {14, "cancel acknowledgement"}, {15, "forwarded client request"},
      {17, "configuration request"}, {19, "softphone details"},
      {20, "call duration"},        {21, "user details"},
      {22, "configuration acknowledgement"}, {23, "voice-prompt version request"},
      {24, "all-updates request"},  {25, "in-group result"},
      {27, "user session end"},     {28, "transport query"},
  };
  const auto it = names.find(requestType);
  return it != names.end() ? it->second : "request type " + std::to_string(requestType);
}

std::string RetryAfterSeconds(const std::string& header, std::time_t now) {
  if (header.empty()) return {};
  if (std::all_of(header.begin(), header.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    const std::string trimmed = header.substr(std::min(header.find_first_not_of('0'), header.size() - 1));
    return trimmed.size() > 9 ? std::string("999999999") : trimmed;
  }
  const std::time_t when = curl_getdate(header.c_str(), nullptr);
  if (when < 0) return {};
  return std::to_string(when > now ? when - now : 0);
}

}  // namespace zelvan::fennic
