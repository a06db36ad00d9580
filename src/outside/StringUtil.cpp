#include "StringUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "TextConversion.h"

namespace zelvan::fennic {

namespace {
std::string formatUtc(bool withMicros) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  std::size_t used = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::string out(text, used);
  if (withMicros) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    char frac[16];
    std::snprintf(frac, sizeof frac, ".%06lld", static_cast<long long>(micros));
    out += frac;
  }
  return out + "Z";
}

std::string lowerAscii(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  return s;
}
}  // namespace

std::string StringUtil::setLastSeenOfServer() { return formatUtc(false); }

std::string StringUtil::getSystemTime() { return formatUtc(true); }

std::wstring StringUtil::stripQuotes(const std::wstring& text) {
  if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') return text.substr(1, text.size() - 2);
  return text;
}

bool StringUtil::CheckResponseErrorMessage(const std::wstring& errorMessage, const std::string& expected) {
  if (expected.empty()) return false;
  const std::string message = lowerAscii(ToUtf8(stripQuotes(errorMessage)));
  return message.find(lowerAscii(expected)) != std::string::npos;
}

std::string StringUtil::changeHSNametoUSBuserfriendlyname(const std::string& name, std::string_view chars,
                                                          char replacement) {
  std::string out = name;
  for (char& c : out)
    if (chars.find(c) != std::string_view::npos) c = replacement;
  return out;
}

}  // namespace zelvan::fennic
