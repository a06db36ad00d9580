#include "RecordReport.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace zelvan::fennic {

using web::json::value;

namespace {

int IntOr(const value& v, const char* key, int fallback) {
  return v.has_field(key) && v.at(key).is_integer() ? v.at(key).as_integer() : fallback;
}

std::string TextOr(const value& v, const char* key) {
  return v.has_string_field(key) ? v.at(key).as_string() : std::string();
}

std::string FaultNote(const value& r) {
  const std::string fault = TextOr(r, "fault");
  return fault.empty() ? std::string() : " [fault injected: " + fault + "]";
}

}  // namespace

std::string Summarize(const std::vector<value>& records) {
  bool registered = false;
  int heartbeats = 0, downloads = 0, signatures = 0, acks = 0, failures = 0;
  // The host's own requests, by type; bad bodies of any type.
  std::map<std::string, int> host;
  int badBodies = 0;
  std::set<int> updates, configs;
  for (const auto& r : records) {
    const std::string type = r.at("type").as_string();
    const std::string fault = r.has_string_field("fault") ? r.at("fault").as_string() : "";
    const std::string outcome = r.has_string_field("outcome") ? r.at("outcome").as_string() : "";
    const value body = r.has_field("body") ? r.at("body") : value::null();
    if (r.has_string_field("shape") && r.at("shape").as_string() != "ok") ++badBodies;
    if (type == "7" && TextOr(body, "Updatestatus") != "Success") ++host["7f"];
    ++host[type];
    if (type == "2") {
      if (outcome == "accepted" && fault.empty()) registered = true;
      if (outcome == "refused") ++failures;
    } else if (type == "3") {
      ++heartbeats;
    } else if (type == "9" || type == "24") {
      // Counted from what the agent acknowledged below; nothing to add here.
    } else if (type == "package") {
      const int status = r.at("status").as_integer();
      const std::string path = TextOr(r, "path");
      const bool signature = path.size() > 8 && path.compare(path.size() - 8, 8, ".minisig") == 0;
      if (fault.empty() && (status == 200 || status == 206)) ++(signature ? signatures : downloads);
    } else if (type == "11" && body.is_array()) {
      for (const auto& e : body.as_array()) {
        updates.insert(IntOr(e, "UpdateSchedulerId", -1));
        if (e.has_string_field("Status") && e.at("Status").as_string() == "Success") ++acks;
        else ++failures;
      }
    } else if (type == "22" && body.has_array_field("ConfigData")) {
      for (const auto& e : body.at("ConfigData").as_array())
        if (e.has_boolean_field("Status") && e.at("Status").as_bool()) configs.insert(IntOr(e, "UpdateSchedularID", -1));
    }
  }
  std::ostringstream out;
  out << "demo: registered=" << (registered ? "yes" : "no") << " heartbeats=" << heartbeats
      << " updates=" << updates.size() << " configs=" << configs.size() << " downloads=" << downloads
      << " acks=" << acks << " failures=" << failures << " directory=" << host["6"] << " plugs=" << host["4"]
      << " unplugs=" << host["5"] << " inventories=" << host["8"] << " installs=" << host["7"]
      << " installfailures=" << host["7f"] << " calls=" << host["20"] << " softphones=" << host["19"]
      << " userdetails=" << host["21"] << " voiceprompts=" << host["23"] << " badbodies=" << badBodies
      << " signatures=" << signatures;
  return out.str();
}

namespace {

// The line of an exchange of the agent's own protocol; false for the
// requests that carry the host's reports.
bool NarrateExchange(std::ostringstream& line, const std::string& type, const value& r, const value& body,
                     const std::string& outcome, const std::string& fault) {
  if (type == "2") {
    line << "registration of tenant " << (body.has_string_field("TenantID") ? body.at("TenantID").as_string() : "?")
         << ": " << (outcome.empty() ? "answered" : outcome) << fault;
  } else if (type == "3") {
    line << "heart beat" << (outcome == "unauthorised" ? ": token unknown, register again" : "") << fault;
  } else if (type == "9" || type == "24") {
    line << (type == "9" ? "updates requested" : "all updates requested") << fault;
  } else if (type == "13") {
    line << "cancellations requested" << fault;
  } else if (type == "12") {
    line << "download details for " << TextOr(body, "DownloadUrl") << fault;
  } else if (type == "package") {
    line << "package " << TextOr(r, "path") << ": HTTP " << IntOr(r, "status", 0) << ", "
         << (r.has_field("bytes") ? r.at("bytes").as_number().to_int64() : 0) << " bytes"
         << (r.has_field("range") ? " from " + TextOr(r, "range") : "") << fault;
  } else if (type == "11" && body.is_array()) {
    for (const auto& e : body.as_array()) {
      line << "download acknowledged: update " << IntOr(e, "UpdateSchedulerId", -1) << " " << TextOr(e, "Status");
      if (!TextOr(e, "Reason").empty()) line << " (" << TextOr(e, "Reason") << ")";
    }
    line << fault;
  } else if (type == "22") {
    line << "configuration acknowledged (" << TextOr(body, "RequestType") << "):";
    if (body.has_array_field("ConfigData"))
      for (const auto& e : body.at("ConfigData").as_array())
        line << " " << IntOr(e, "UpdateSchedularID", -1)
             << (e.has_boolean_field("Status") && e.at("Status").as_bool() ? " applied" : " not applied");
    line << fault;
  } else if (type == "14") {
    line << "cancellation acknowledged" << fault;
  } else if (type == "10") {
    line << "directory queries requested" << fault;
  } else if (type == "6") {
    line << "directory results:";
    if (body.has_array_field("ADUpdates"))
      for (const auto& e : body.at("ADUpdates").as_array())
        line << " " << TextOr(e, "ADSelectQuery") << "=" << TextOr(e, "UserStatus");
    line << " (" << outcome << ")" << fault;
  } else {
    return false;
  }
  return true;
}

// The line of a request that carries one of the host's reports.
void NarrateReport(std::ostringstream& line, const std::string& type, const value& r, const value& body,
                   const std::string& fault) {
  if (type == "4" || type == "5") {
    line << "device " << (type == "4" ? "plugged" : "unplugged") << ": " << TextOr(body, "VendorID") << ":"
         << TextOr(body, "ProductID") << " serial " << TextOr(body, "SerialNumber") << fault;
  } else if (type == "8") {
    line << "device inventory: " << (body.has_array_field("Devices") ? body.at("Devices").size() : 0)
         << " device(s)" << fault;
  } else if (type == "7") {
    line << "device update status: device " << TextOr(body, "DeviceID") << " " << TextOr(body, "Updatestatus");
    if (!TextOr(body, "Reason").empty()) line << " (" << TextOr(body, "Reason") << ")";
    line << fault;
  } else if (type == "20") {
    line << "call durations: " << (body.has_array_field("Calls") ? body.at("Calls").size() : 0) << " call(s)"
         << fault;
  } else if (type == "19") {
    line << "softphone list: " << (body.has_array_field("Softphones") ? body.at("Softphones").size() : 0)
         << " softphone(s)" << fault;
  } else if (type == "21") {
    line << "user details of " << TextOr(body, "UserName") << fault;
  } else if (type == "23") {
    line << "voice-prompt version asked for " << TextOr(body, "DeviceName") << " " << TextOr(body, "DeviceVersion")
         << fault;
  } else {
    line << (type == "28" ? std::string("transport query") : "request type " + type + " " + TextOr(r, "path")) << fault;
  }
}

}  // namespace

std::vector<std::string> Narrate(const std::vector<value>& records) {
  std::vector<std::string> lines;
  for (const auto& r : records) {
    const std::string type = TextOr(r, "type");
    const value body = r.has_field("body") ? r.at("body") : value::null();
    const std::string fault = FaultNote(r);
    const std::string outcome = TextOr(r, "outcome");
    std::ostringstream line;
    if (!NarrateExchange(line, type, r, body, outcome, fault)) NarrateReport(line, type, r, body, fault);
    if (outcome == "refused" && type != "2") line << " [refused]";
    const std::string shape = TextOr(r, "shape");
    if (!shape.empty()) line << (shape == "ok" ? "; body ok" : "; body wrong: " + shape);
    lines.push_back(line.str());
  }
  return lines;
}

std::vector<value> ReadRecordFile(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error("record file " + file + ": cannot be read");
  std::vector<value> records;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    try {
      records.push_back(value::parse(line));
    } catch (const web::json::json_exception& e) {
      throw std::runtime_error("record file " + file + ": bad line: " + e.what());
    }
  }
  return records;
}

}  // namespace zelvan::fennic
