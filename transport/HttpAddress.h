#pragma once

#include <string>

namespace zelvan::fennic {

// An absolute http(s) address taken apart. `origin` is "scheme://host:port"
// with the port always spelled out, so two spellings of one server compare
// equal; `target` is the path and query ("/" at least).
struct HttpAddress {
  std::string scheme;
  std::string host;  // lower case, IPv6 without brackets
  int port = 0;
  std::string origin;
  std::string target;
  std::string Url() const { return origin + target; }
};

// Loopback: an address in 127.0.0.0/8 or ::1, parsed as an address, or
// exactly the name "localhost". Names that merely start like an address
// ("127.0.0.1.example.invalid") are not loopback.
bool IsLoopbackHost(const std::string& host);

// Parses `text`; throws web::http::http_exception for anything but an
// absolute http or https address with a host, and for plain HTTP beyond
// loopback unless `allowPlainHttp`.
HttpAddress ParseHttpAddress(const std::string& text, bool allowPlainHttp);

// The rules every redirect hop passes again: the new address must parse
// under the same plain-HTTP rule, and a hop never goes from https to http.
// Throws web::http::http_exception naming the refused hop.
HttpAddress CheckRedirectHop(const HttpAddress& from, const std::string& location, bool allowPlainHttp);

// `base` with `path` below its path; the query of `base` is dropped.
HttpAddress Below(HttpAddress base, const std::string& path);

}  // namespace zelvan::fennic
