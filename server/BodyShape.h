#pragma once

#include <cpprest/json.h>

#include <string>

namespace zelvan::fennic {

// Whether a request body has the shape the protocol (or, for the bodies the
// host composes, the host's documentation) gives its type ("4", "21", ...).
// Returns "ok", or what is wrong ("member \"VendorID\" missing", ...).
// The record holds the body parsed, a string when it was not JSON, null when
// empty.
std::string BodyShape(const std::string& type, const web::json::value& body);

}  // namespace zelvan::fennic
