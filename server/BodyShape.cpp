#include "BodyShape.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

namespace zelvan::fennic {

namespace {

using web::json::value;
using Check = std::function<std::string(const value&)>;

enum class Kind { kText, kHex4, kInt, kObject, kArray, kAny };

struct Member {
  const char* name;
  Kind kind;
};

std::string Members(const value& v, std::initializer_list<Member> members, const std::string& where = "") {
  if (!v.is_object()) return (where.empty() ? "body" : where) + " is not a JSON object";
  for (const auto& m : members) {
    const std::string label = "member \"" + std::string(m.name) + "\"" + (where.empty() ? "" : " of " + where);
    if (!v.has_field(m.name)) return label + " missing";
    const value& x = v.at(m.name);
    const bool ok = m.kind == Kind::kAny || (m.kind == Kind::kText && x.is_string()) ||
                    (m.kind == Kind::kInt && x.is_integer()) || (m.kind == Kind::kObject && x.is_object()) ||
                    (m.kind == Kind::kArray && x.is_array()) ||
                    (m.kind == Kind::kHex4 && x.is_string() && x.as_string().size() == 4 &&
                     std::all_of(x.as_string().begin(), x.as_string().end(),
                                 [](unsigned char c) { return std::isxdigit(c) && !std::isupper(c); }));
    if (!ok) {
      static const char* names[] = {"a string", "four lower-case hex digits", "an integer", "an object", "an array",
                                    "any value"};
      return label + " is not " + names[static_cast<int>(m.kind)];
    }
  }
  return "";
}

std::string Each(const value& v, const char* array, const Check& check, std::initializer_list<Member> outer = {}) {
  std::string problem = Members(v, outer);
  if (!problem.empty()) return problem;
  if (!v.has_array_field(array)) return "member \"" + std::string(array) + "\" missing or not an array";
  size_t i = 0;
  for (const auto& e : v.at(array).as_array()) {
    problem = check(e);
    if (!problem.empty()) return std::string(array) + "[" + std::to_string(i) + "]: " + problem;
    ++i;
  }
  return "";
}

std::string Device(const value& d) {
  return Members(d, {{"VendorID", Kind::kHex4}, {"ProductID", Kind::kHex4}, {"VendorName", Kind::kText},
                     {"ProductName", Kind::kText}, {"SerialNumber", Kind::kText}, {"FirmwareVersion", Kind::kText},
                     {"BusPath", Kind::kText}});
}

std::string Empty(const value& v) { return v.is_null() ? "" : "body is not empty"; }

std::string DirectoryResults(const value& v) {
  return Each(v, "ADUpdates", [](const value& e) {
    std::string p = Members(e, {{"ADSelectQuery", Kind::kText}, {"UserStatus", Kind::kText}});
    if (!p.empty()) return p;
    const std::string s = e.at("UserStatus").as_string();
    return s == "Valid" || s == "InValid" || s == "NA" ? std::string() : "\"UserStatus\" is " + s;
  });
}

std::string DeviceUpdateStatus(const value& v) {
  std::string p = Members(v, {{"DeviceID", Kind::kText}, {"Updatestatus", Kind::kText}, {"Reason", Kind::kText},
                              {"UploadID", Kind::kInt}, {"UpdateSchedularID", Kind::kInt}});
  if (p.empty() && v.at("DeviceID").as_string().empty()) p = "\"DeviceID\" is empty";
  return p;
}

std::string DownloadStatuses(const value& v) {
  if (!v.is_array()) return std::string("body is not a JSON array");
  for (const auto& e : v.as_array()) {
    std::string p = Members(e, {{"UpdateSchedulerId", Kind::kInt}, {"Status", Kind::kText}});
    if (!p.empty()) return p;
  }
  return std::string();
}

std::string UserDetails(const value& v) {
  std::string p = Members(v, {{"UserName", Kind::kText}, {"FullName", Kind::kText}, {"Office", Kind::kText},
                              {"WorkPhone", Kind::kText}, {"HomePhone", Kind::kText}});
  if (p.empty() && v.at("UserName").as_string().empty()) p = "\"UserName\" is empty";
  return p;
}

const std::map<std::string, Check>& Checks() {
  static const std::map<std::string, Check> checks = {
      {"2", [](const value& v) { return Members(v, {{"TenantID", Kind::kText}}); }},
      {"3", [](const value& v) { return Members(v, {{"AgentDetails", Kind::kAny}}); }},
      {"4", Device},
      {"5", Device},
      {"6", DirectoryResults},
      {"7", DeviceUpdateStatus},
      {"8", [](const value& v) { return Each(v, "Devices", Device); }},
      {"9", Empty},
      {"10", Empty},
      {"11", DownloadStatuses},
      {"12", [](const value& v) { return Members(v, {{"DownloadUrl", Kind::kText}}); }},
      {"13", Empty},
      {"19", [](const value& v) {
         return Each(v, "Softphones",
                     [](const value& e) { return Members(e, {{"Name", Kind::kText}, {"Version", Kind::kText}}); });
       }},
      {"20", [](const value& v) {
         return Each(v, "Calls", [](const value& e) { return Members(e, {{"DurationSeconds", Kind::kInt}}); });
       }},
      {"21", UserDetails},
      {"22", [](const value& v) { return Members(v, {{"RequestType", Kind::kText}}); }},
      {"23", [](const value& v) {
         return Members(v, {{"DeviceName", Kind::kText}, {"DeviceVersion", Kind::kText}, {"RequiredVP", Kind::kText}});
       }},
      {"24", [](const value&) { return std::string(); }},
      {"28", Empty},
  };
  return checks;
}

}  // namespace

std::string BodyShape(const std::string& type, const value& body) {
  const auto it = Checks().find(type);
  if (it == Checks().end()) return "ok";
  const std::string problem = it->second(body);
  return problem.empty() ? "ok" : problem;
}

}  // namespace zelvan::fennic
