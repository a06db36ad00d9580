#include "HttpAddress.h"

#include <arpa/inet.h>
// libcurl's header comes before cpprest's: cpprest defines "dllimport" as
// nothing, which breaks curl.h's attribute test under clang.
#include <curl/curl.h>
#include <cpprest/http_msg.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace zelvan::fennic {

namespace {

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

std::string Part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) return {};
  std::string out(text);
  curl_free(text);
  return out;
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

HttpAddress ParseHttpAddress(const std::string& text, bool allowPlainHttp) {
  UrlHandle url(curl_url(), &curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
    throw web::http::http_exception("invalid server address " + text);
  HttpAddress out;
  out.scheme = Part(url.get(), CURLUPART_SCHEME);
  std::transform(out.scheme.begin(), out.scheme.end(), out.scheme.begin(), ::tolower);
  if (out.scheme != "http" && out.scheme != "https")
    throw web::http::http_exception("unsupported address scheme in " + text);
  out.host = Part(url.get(), CURLUPART_HOST);
  if (out.host.size() > 1 && out.host.front() == '[' && out.host.back() == ']')
    out.host = out.host.substr(1, out.host.size() - 2);
  std::transform(out.host.begin(), out.host.end(), out.host.begin(), ::tolower);
  if (out.host.empty()) throw web::http::http_exception("server address without host: " + text);
  if (out.scheme == "http" && !allowPlainHttp && !IsLoopbackHost(out.host))
    throw web::http::http_exception("plain HTTP refused for non-loopback host " + out.host);
  out.port = std::atoi(Part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT).c_str());
  const bool v6 = out.host.find(':') != std::string::npos;
  out.origin = out.scheme + "://" + (v6 ? "[" + out.host + "]" : out.host) + ":" + std::to_string(out.port);
  out.target = Part(url.get(), CURLUPART_PATH);
  if (out.target.empty()) out.target = "/";
  const std::string query = Part(url.get(), CURLUPART_QUERY);
  if (!query.empty()) out.target += "?" + query;
  return out;
}

HttpAddress CheckRedirectHop(const HttpAddress& from, const std::string& location, bool allowPlainHttp) {
  HttpAddress to;
  try {
    to = ParseHttpAddress(location, allowPlainHttp);
  } catch (const web::http::http_exception& e) {
    throw web::http::http_exception("redirect from " + from.origin + " refused: " + e.what());
  }
  if (from.scheme == "https" && to.scheme == "http")
    throw web::http::http_exception("redirect from " + from.origin + " to plain HTTP refused");
  return to;
}

HttpAddress Below(HttpAddress base, const std::string& path) {
  std::string prefix = base.target.substr(0, base.target.find('?'));
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  base.target = prefix + path;
  return base;
}

}  // namespace zelvan::fennic
