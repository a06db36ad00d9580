#pragma once

#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// Implemented by the host. The library calls OnRestEvent synchronously on
// the thread that raises the event, almost always the worker thread, so an
// implementation must not block for long and must lock its own state.
// `payload` is an empty string except for event 14 (pending directory
// queries as JSON text).
class FENNIC_EXPORT IRestEventListener {
 public:
  virtual ~IRestEventListener() = default;
  virtual void OnRestEvent(int eventCode, const std::string& text, const char* payload) = 0;
};

}  // namespace zelvan::fennic
