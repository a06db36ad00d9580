#pragma once

#include <cpprest/json.h>

#include <map>
#include <string>
#include <vector>

namespace zelvan::fennic {

// Why the download side cannot read an update description whole (a missing
// or mistyped member, an id that is not a 32-bit integer); empty when it can.
// Descriptions with a fault are neither stored nor handed to the downloader,
// and a stored one is skipped, so one bad entry never spoils the others.
std::string UpdateDescriptionFault(const web::json::value& update);

// The "UpdateSchedulerId" of a description without a fault.
int UpdateIdOf(const web::json::value& update);

// Whether `entry` holds a 32-bit integer under `name`: what an id must be to
// be stored and matched (a configuration's, a cancellation's).
bool IsIdMember(const web::json::value& entry, const std::string& name);

// Warnings of one pass over a list, each distinct text written once with
// its count, so a list of many alike entries gives one line, not one each.
class RepeatedLines {
 public:
  void Add(const std::string& text) {
    auto [at, fresh] = counts_.try_emplace(text, 0);
    if (fresh) order_.push_back(text);
    ++at->second;
  }
  // Calls write(text, line) for each distinct text in first-seen order, the
  // line carrying the count when the text came more than once; then forgets them.
  template <typename Write>
  void Flush(Write write) {
    for (const std::string& text : order_) {
      const int n = counts_[text];
      write(text, n == 1 ? text : text + " (" + std::to_string(n) + " times)");
    }
    order_.clear();
    counts_.clear();
  }

 private:
  std::map<std::string, int> counts_;
  std::vector<std::string> order_;
};

}  // namespace zelvan::fennic
