#pragma once

#include <cpprest/http_msg.h>
#include <cpprest/json.h>

#include <cstdint>
#include <string>

#include "ManagementServer.h"

// What the server's routing, its scenario answers, its fault matrix and its
// record share: the answer a request gets and the envelope of JSON answers.
namespace zelvan::fennic {

struct ManagementServer::Answer {
  int status = 200;
  std::string text;            // JSON answers
  std::string file;            // or a package file
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t fileSize = 0;
  bool partial = false;
  int retryAfterSeconds = -1;  // a Retry-After header when >= 0
};

inline web::json::value Envelope(bool ok) {
  using web::json::value;
  value v = value::object();
  v["validateResponseStatus"] = value::boolean(true);
  v["ResposeCommand"] = value::number(0);
  v["validateResponse"] = value::boolean(ok);
  v["validateResponseFromServer"] = value::boolean(ok);
  v["ErrorMessage"] = value::string(ok ? "" : "Request failed");
  return v;
}

inline web::json::value Refusal(const std::string& message) {
  web::json::value v = Envelope(false);
  v["ErrorMessage"] = web::json::value::string(message);
  return v;
}

inline std::string HeaderOf(const web::http::http_request& r, const std::string& name) {
  auto it = r.headers().find(name);
  return it == r.headers().end() ? std::string() : it->second;
}

}  // namespace zelvan::fennic
