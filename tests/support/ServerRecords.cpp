#include "ServerRecords.h"

#include <algorithm>

namespace fennic_test {

using web::json::value;

std::string TextOf(const value& entry, const char* key) {
  return entry.has_string_field(key) ? entry.at(key).as_string() : "";
}

int IdOf(const value& entry, const char* key) { return entry.has_integer_field(key) ? entry.at(key).as_integer() : 0; }

std::vector<value> AcksIn(const std::vector<value>& records) {
  std::vector<value> out;
  for (const auto& r : records)
    if (r.at("type").as_string() == "11" && r.at("body").is_array())
      for (const auto& e : r.at("body").as_array()) out.push_back(e);
  return out;
}

bool AckedAs(const std::vector<value>& records, int id, const std::string& status) {
  const auto acks = AcksIn(records);
  return std::any_of(acks.begin(), acks.end(),
                     [&](const value& e) { return IdOf(e, "UpdateSchedulerId") == id && TextOf(e, "Status") == status; });
}

std::string FirstBadAcknowledgement(const std::vector<value>& records, std::map<int, int>& successes,
                                    const std::map<int, int>& uploadOf) {
  for (const auto& ack : AcksIn(records)) {
    const std::string text = ack.serialize();
    const int id = IdOf(ack, "UpdateSchedulerId"), upload = IdOf(ack, "UploadID");
    const bool offered = uploadOf.empty() ? id != 0 && upload != 0 : uploadOf.count(id) && uploadOf.at(id) == upload;
    if (!offered) return "invariant 6: an acknowledgement without its offer's ids: " + text;
    const bool success = TextOf(ack, "Status") == "Success";
    if (success && ++successes[id] > 1) return "invariant 6: an update acknowledged \"Success\" twice: " + text;
    const std::string reason = TextOf(ack, "Reason");
    if (!success && (reason.empty() || reason.find_first_of("\r\n") != std::string::npos))
      return "invariant 12: a failed acknowledgement without a one-line reason: " + text;
  }
  return "";
}

}  // namespace fennic_test
