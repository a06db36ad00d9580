#pragma once

#include <exception>
#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// The system's own failure: a message and a code (3 for everything the
// library raises; outside services may use other codes, 0 asking for a full
// resynchronisation of the update lists).
// Header-only and exported so one type identity is shared by the library and
// the outside services that throw it.
class FENNIC_EXPORT AgentException : public std::exception {
 public:
  explicit AgentException(const char* message, int code = 3) : message_(message ? message : ""), code_(code) {}
  explicit AgentException(const std::string& message, int code = 3) : message_(message), code_(code) {}
  const char* what() const noexcept override { return message_.c_str(); }
  int code() const noexcept { return code_; }

 private:
  std::string message_;
  int code_;
};

}  // namespace zelvan::fennic
