#include "Scenario.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zelvan::fennic {

namespace fs = std::filesystem;
using web::json::value;

namespace {

std::vector<value> ArrayOf(const value& doc, const char* key) {
  std::vector<value> out;
  if (!doc.has_field(key)) return out;
  if (!doc.at(key).is_array()) throw std::runtime_error(std::string("\"") + key + "\" must be an array");
  for (const auto& e : doc.at(key).as_array()) out.push_back(e);
  return out;
}

std::string TextOr(const value& doc, const char* key, const std::string& fallback) {
  return doc.has_string_field(key) ? doc.at(key).as_string() : fallback;
}

bool KnownAction(const std::string& action) {
  static const char* actions[] = {"refuse",   "delay", "status500", "status503",
                                  "empty",    "statusFalse", "truncate", "malformed", "tokenNotFound"};
  for (const char* a : actions)
    if (action == a) return true;
  return false;
}

RandomFaults RandomFaultsOf(const value& r) {
  RandomFaults out;
  if (!r.is_object()) throw std::runtime_error("\"randomFaults\" must be an object");
  if (r.has_field("seed")) out.seed = static_cast<unsigned>(r.at("seed").as_integer());
  if (r.has_field("percent")) out.percent = r.at("percent").as_integer();
  if (r.has_field("seconds")) out.seconds = r.at("seconds").as_integer();
  if (r.has_field("actions")) {
    out.actions.clear();
    for (const auto& a : ArrayOf(r, "actions")) {
      if (!a.is_string() || !KnownAction(a.as_string()) || a.as_string() == "delay")
        throw std::runtime_error("\"randomFaults\": unknown action in \"actions\"");
      out.actions.push_back(a.as_string());
    }
  }
  if (out.percent < 0 || out.percent > 100 || out.actions.empty())
    throw std::runtime_error("\"randomFaults\" needs \"percent\" from 0 to 100 and some \"actions\"");
  return out;
}

void Default(value& obj, const char* key, value v) {
  if (!obj.has_field(key)) obj[key] = std::move(v);
}

void RequireId(const value& obj, const char* key, const char* what) {
  if (!obj.has_field(key) || !obj.at(key).is_integer())
    throw std::runtime_error(std::string(what) + " without an integer \"" + key + "\"");
}

ScenarioTenant TenantOf(const value& t) {
  ScenarioTenant tenant;
  tenant.id = TextOr(t, "id", "");
  if (tenant.id.empty()) throw std::runtime_error("tenant without \"id\"");
  tenant.name = TextOr(t, "name", tenant.id);
  tenant.token = TextOr(t, "token", "token-" + tenant.id);
  tenant.registration = TextOr(t, "registration", "accept");
  if (tenant.registration != "accept" && tenant.registration != "refuse")
    throw std::runtime_error("tenant " + tenant.id + ": \"registration\" must be accept or refuse");
  tenant.errorMessage = TextOr(t, "errorMessage", tenant.errorMessage);
  return tenant;
}

// The n-th update, with plain defaults for what it leaves out.
value UpdateOf(value u, int n) {
  RequireId(u, "UpdateSchedulerId", "update");
  RequireId(u, "UploadID", "update");
  Default(u, "Action", value::string("ScheduleUpdate"));
  Default(u, "IProduct", value::string("P100"));
  Default(u, "Version", value::string("1.0." + std::to_string(n)));
  Default(u, "Type", value::string("Firmware"));
  Default(u, "ScheduledTime", value::string("2026-01-01T00:00:00Z"));
  Default(u, "updateDeployedTime", value::string("2026-01-01T00:00:00Z"));
  Default(u, "ForceUpdate", value::string("False"));
  Default(u, "checksum", value::string("good"));
  if (!u.has_string_field("package")) throw std::runtime_error("update without \"package\"");
  return u;
}

value ConfigurationOf(value c) {
  RequireId(c, "UpdateSchedulerId", "configuration");
  RequireId(c, "UploadID", "configuration");
  Default(c, "IProduct", value::string("P100"));
  Default(c, "configSettings", value::object());
  return c;
}

Fault FaultOf(const value& f) {
  Fault fault;
  fault.target = TextOr(f, "target", "");
  fault.action = TextOr(f, "action", "");
  if (fault.target.empty() || !KnownAction(fault.action)) throw std::runtime_error("fault needs \"target\" and a known \"action\"");
  if (f.has_field("skip")) fault.skip = f.at("skip").as_integer();
  if (f.has_field("times")) fault.times = f.at("times").as_integer();
  if (f.has_field("delayMs")) fault.delayMs = f.at("delayMs").as_integer();
  if (f.has_field("bytes")) fault.bytes = f.at("bytes").as_number().to_int64();
  if (f.has_field("retryAfterSeconds")) fault.retryAfterSeconds = f.at("retryAfterSeconds").as_integer();
  return fault;
}

}  // namespace

Scenario Scenario::FromJson(const value& doc, const std::string& baseFolder) {
  if (!doc.is_object()) throw std::runtime_error("scenario is not a JSON object");
  Scenario s;
  for (const auto& t : ArrayOf(doc, "tenants")) s.tenants.push_back(TenantOf(t));
  if (doc.has_object_field("heartbeat")) s.heartbeat = doc.at("heartbeat");
  int n = 0;
  for (const auto& u : ArrayOf(doc, "updates")) s.updates.push_back(UpdateOf(u, ++n));
  for (const auto& c : ArrayOf(doc, "configurations")) s.configurations.push_back(ConfigurationOf(c));
  if (doc.has_object_field("cancellations")) {
    s.cancelledUpdates = ArrayOf(doc.at("cancellations"), "updates");
    s.cancelledConfigs = ArrayOf(doc.at("cancellations"), "configs");
  }
  s.directoryQueries = ArrayOf(doc, "directoryQueries");
  // "expect" is the verdict the server wants back; the agent never sees it.
  for (auto& query : s.directoryQueries) {
    if (!query.is_object() || !query.has_string_field("ADSelectQuery"))
      throw std::runtime_error("scenario: each of \"directoryQueries\" needs \"ADSelectQuery\"");
    s.directoryExpect.push_back(query.has_string_field("expect") ? query.at("expect").as_string() : "");
    if (query.has_field("expect")) query.erase("expect");
  }
  for (const auto& type : ArrayOf(doc, "refuse")) {
    if (!type.is_string()) throw std::runtime_error("scenario: \"refuse\" holds request types as strings");
    s.refused.insert(type.as_string());
  }
  for (const auto& f : ArrayOf(doc, "faults")) s.faults.push_back(FaultOf(f));
  if (doc.has_field("randomFaults")) s.randomFaults = RandomFaultsOf(doc.at("randomFaults"));
  s.voicePromptVersion = TextOr(doc, "voicePromptVersion", s.voicePromptVersion);
  std::string folder = TextOr(doc, "packagesFolder", "");
  if (!folder.empty() && fs::path(folder).is_relative() && !baseFolder.empty())
    folder = (fs::path(baseFolder) / folder).lexically_normal().string();
  s.packagesFolder = folder;
  return s;
}

Scenario Scenario::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("scenario " + path + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  value doc;
  try {
    doc = value::parse(text.str());
  } catch (const web::json::json_exception& e) {
    throw std::runtime_error("scenario " + path + ": not JSON: " + e.what());
  }
  try {
    return FromJson(doc, fs::absolute(path).parent_path().string());
  } catch (const std::exception& e) {
    throw std::runtime_error("scenario " + path + ": " + e.what());
  }
}

}  // namespace zelvan::fennic
