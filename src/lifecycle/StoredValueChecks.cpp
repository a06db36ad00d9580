#include "StoredValueChecks.h"

#include <cpprest/base_uri.h>

#include <algorithm>
#include <cctype>

namespace zelvan::fennic {

namespace {
constexpr std::size_t kMaxAddressBytes = 2048;
constexpr std::size_t kMaxTokenChars = 8 * 1024;

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(b)) == a; });
}
}  // namespace

std::string ServerAddressFault(const std::string& address) {
  if (address.empty()) return "empty";
  if (address.size() > kMaxAddressBytes) return "longer than " + std::to_string(kMaxAddressBytes) + " bytes";
  if (!StartsWithNoCase(address, "http://") && !StartsWithNoCase(address, "https://"))
    return "not an absolute http or https address";
  if (!web::uri::validate(address)) return "not a valid address";
  if (web::uri(address).host().empty()) return "no host";
  return "";
}

std::string TokenFault(const std::wstring& token) {
  if (token.size() > kMaxTokenChars) return "longer than " + std::to_string(kMaxTokenChars) + " characters";
  const bool headerSafe = std::all_of(token.begin(), token.end(), [](wchar_t c) { return c > 0x20 && c < 0x7f; });
  return headerSafe ? "" : "holds characters a request header cannot carry";
}

}  // namespace zelvan::fennic
