#include "ManagementServer.h"

#include <cstdio>
#include <filesystem>

#include "PlainFileName.h"
#include "ServerAnswer.h"
#include "Sha256.h"

// The scenario's answers: what the server says to each request type, and the
// acknowledgements that change what it says next.
namespace zelvan::fennic {

namespace http = web::http;
namespace fs = std::filesystem;
using web::json::value;

namespace {

std::string LastSegment(const std::string& text) {
  auto cut = text.find_last_of('/');
  return cut == std::string::npos ? text : text.substr(cut + 1);
}

int IntOr(const value& v, const char* key, int fallback) {
  return v.has_field(key) && v.at(key).is_integer() ? v.at(key).as_integer() : fallback;
}

// A refusal that only a new signature can change; a signature that could
// not be fetched ("signature not fetched") may come next time.
bool IsSignatureRefusal(const std::string& reason) {
  for (const char* cause : {"no signature", "signature by unknown key id", "bad signature", "signed for another name",
                            "malformed signature file"})
    if (reason.rfind(cause, 0) == 0) return true;
  return false;
}

}  // namespace

std::string ManagementServer::PackagePath(const std::string& name) const {
  if (!IsPlainFileName(name)) return {};
  return (fs::path(scenario_.packagesFolder) / name).string();
}

bool ManagementServer::HasPendingUpdates() const {
  for (const auto& u : scenario_.updates)
    if (!acked_.count(u.at("UpdateSchedulerId").as_integer())) return true;
  for (const auto& c : scenario_.configurations)
    if (!ackedConfigs_.count(c.at("UpdateSchedulerId").as_integer())) return true;
  return false;
}

value ManagementServer::Describe(const value& update) const {
  value d = update;
  const std::string package = d.at("package").as_string();
  d.erase("package");
  d.erase("checksum");
  if (!d.has_field("UpdatesURL") && !d.has_field("UpdatesURLs"))
    d["UpdatesURL"] = value::string(BaseUrl() + "/packages/" + package);
  return d;
}

ManagementServer::Answer ManagementServer::Answered(int type, const std::string& body, value& note) {
  Answer a;
  value v = Envelope(true);
  switch (type) {
    case 2:
      return Registration(body, note);
    case 3:
      return HeartBeat();
    case 9:
      return Updates(false);
    case 24:
      return Updates(true);
    case 13:
      return Cancellations();
    case 12:
      return DownloadDetails(body, note);
    case 11:
      DownloadStatus(body, note);
      break;
    case 14:
      CancelAck(body);
      break;
    case 22:
      ConfigAck(body);
      break;
    case 10: {
      std::lock_guard<std::mutex> hold(lock_);
      v["ADUpdates"] = PendingDirectoryQueries();
      break;
    }
    case 6:
      DirectoryResults(note);
      break;
    case 23:
      v["VPVersion"] = value::string(scenario_.voicePromptVersion);
      break;
    default:
      break;  // device events, reports, forwarded requests: accepted as they are
  }
  a.text = v.serialize();
  return a;
}

ManagementServer::Answer ManagementServer::PackageFile(const std::string& path, const http::http_request& request) {
  Answer a;
  const std::string file = PackagePath(path.substr(std::string("/packages/").size()));
  std::error_code ec;
  if (file.empty() || !fs::is_regular_file(file, ec)) {
    a.status = 404;
    a.text = Refusal("No such package").serialize();
    return a;
  }
  a.file = file;
  a.fileSize = fs::file_size(file, ec);
  a.length = a.fileSize;
  if (request.headers().has("Range")) {
    const std::string range = HeaderOf(request, "Range");
    unsigned long long from = 0;
    if (std::sscanf(range.c_str(), "bytes=%llu-", &from) == 1 && from < a.fileSize) {
      a.status = 206;
      a.partial = true;
      a.offset = from;
      a.length = a.fileSize - from;
    } else if (from >= a.fileSize) {
      a.file.clear();
      a.status = 416;
      a.text = Refusal("Range not satisfiable").serialize();
    }
  }
  return a;
}

// REQUIRES: lock_ held.
value ManagementServer::PendingDirectoryQueries() const {
  value list = value::array();
  if (!queriesAnswered_)
    for (size_t i = 0; i < scenario_.directoryQueries.size(); ++i) list[i] = scenario_.directoryQueries[i];
  return list;
}

void ManagementServer::DirectoryResults(value& note) {
  note["outcome"] = value::string(DirectoryOutcome(note.at("body")));
  std::lock_guard<std::mutex> hold(lock_);
  queriesAnswered_ = true;
}

ManagementServer::Answer ManagementServer::Registration(const std::string& body, value& note) {
  Answer a;
  std::string tenantId;
  try {
    auto doc = value::parse(body);
    if (doc.has_string_field("TenantID")) tenantId = doc.at("TenantID").as_string();
  } catch (const web::json::json_exception&) {
  }
  const ScenarioTenant* tenant = nullptr;
  for (const auto& t : scenario_.tenants)
    if (t.id == tenantId) tenant = &t;
  if (tenant == nullptr || tenant->registration == "refuse") {
    value v = Refusal(tenant ? tenant->errorMessage : "Unknown tenant");
    v["DataSettings"] = value::string("True");
    a.text = v.serialize();
    note["outcome"] = value::string("refused");
    return a;
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    tokens_.insert(tenant->token);
  }
  value v = Envelope(true);
  v["Token"] = value::string(tenant->token);
  v["DeviceInfoURL"] = value::string(BaseUrl() + "/deviceinfo");
  value rb = value::object();
  rb["TenantName"] = value::string(tenant->name);
  rb["AgentID"] = value::string("agent-" + tenant->id);
  rb["SupportEmail"] = value::string("support@" + tenant->id + ".invalid");
  v["ResponseBody"] = rb;
  a.text = v.serialize();
  note["outcome"] = value::string("accepted");
  return a;
}

ManagementServer::Answer ManagementServer::HeartBeat() {
  Answer a;
  value v = Envelope(true);
  value rb = value::object();
  {
    std::lock_guard<std::mutex> hold(lock_);
    rb["HasUpdates"] = value::boolean(HasPendingUpdates());
    const bool cancels = (!cancelsAcked_ && !scenario_.cancelledUpdates.empty()) ||
                         (!configCancelsAcked_ && !scenario_.cancelledConfigs.empty());
    rb["HasCancelUpdates"] = value::boolean(cancels);
    rb["HasADQuery"] = value::boolean(!queriesAnswered_ && !scenario_.directoryQueries.empty());
  }
  rb["TimeInterval"] = value::number(300);
  for (const auto& extra : scenario_.heartbeat.as_object()) rb[extra.first] = extra.second;
  v["ResponseBody"] = rb;
  a.text = v.serialize();
  return a;
}

ManagementServer::Answer ManagementServer::Updates(bool all) {
  Answer a;
  value updates = value::array();
  value configs = value::array();
  {
    std::lock_guard<std::mutex> hold(lock_);
    size_t n = 0;
    for (const auto& u : scenario_.updates) {
      const int id = u.at("UpdateSchedulerId").as_integer();
      bool cancelled = false;
      if (cancelsAcked_)
        for (const auto& c : scenario_.cancelledUpdates) cancelled = cancelled || IntOr(c, "UpdateSchedulerId", -1) == id;
      if (cancelled || (!all && acked_.count(id))) continue;
      updates[n++] = Describe(u);
    }
    n = 0;
    for (const auto& c : scenario_.configurations) {
      if (!all && ackedConfigs_.count(c.at("UpdateSchedulerId").as_integer())) continue;
      configs[n++] = c;
    }
  }
  value v = Envelope(true);
  value rb = value::object();
  rb["Updates"] = updates;
  rb["ConfigurationUpdates"] = configs;
  v["ResponseBody"] = rb;
  a.text = v.serialize();
  return a;
}

ManagementServer::Answer ManagementServer::Cancellations() {
  Answer a;
  value rb = value::object();
  value ups = value::array();
  value cfgs = value::array();
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!cancelsAcked_)
      for (size_t i = 0; i < scenario_.cancelledUpdates.size(); ++i) ups[i] = scenario_.cancelledUpdates[i];
    if (!configCancelsAcked_)
      for (size_t i = 0; i < scenario_.cancelledConfigs.size(); ++i) cfgs[i] = scenario_.cancelledConfigs[i];
  }
  rb["CancelledUpdates"] = ups;
  rb["CancelledConfigs"] = cfgs;
  value v = Envelope(true);
  v["ResponseBody"] = rb;
  a.text = v.serialize();
  return a;
}

ManagementServer::Answer ManagementServer::DownloadDetails(const std::string& body, value& note) {
  Answer a;
  std::string wanted;
  try {
    auto doc = value::parse(body);
    if (doc.has_string_field("DownloadUrl")) wanted = doc.at("DownloadUrl").as_string();
  } catch (const web::json::json_exception&) {
  }
  const std::string name = LastSegment(wanted);
  std::string checksum = "good", version;
  for (const auto& u : scenario_.updates) {
    if (u.at("package").as_string() != name) continue;
    if (u.has_string_field("checksum")) checksum = u.at("checksum").as_string();
    if (u.has_string_field("Version")) version = u.at("Version").as_string();
  }
  value v = Envelope(true);
  const std::string file = PackagePath(name);
  std::error_code ec;
  if (file.empty() || !fs::is_regular_file(file, ec)) {
    v["StatusCode"] = value::number(404);
    note["outcome"] = value::string("unknown package");
    a.text = v.serialize();
    return a;
  }
  v["StatusCode"] = value::number(200);
  v["DownloadLink"] = value::string("/packages/" + name);
  v["FileName"] = value::string(name);
  if (!version.empty()) v["Version"] = value::string(version);
  v["FileSize"] = value::number(static_cast<int64_t>(fs::file_size(file, ec)));
  if (checksum == "good") v["SHA256"] = value::string(Sha256::OfFile(file));
  else if (checksum == "wrong") v["SHA256"] = value::string(std::string(64, '0'));
  a.text = v.serialize();
  return a;
}

void ManagementServer::DownloadStatus(const std::string& body, value& note) {
  try {
    auto doc = value::parse(body);
    if (!doc.is_array()) return;
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& e : doc.as_array()) {
      const std::string status = e.has_string_field("Status") ? e.at("Status").as_string() : "";
      note["outcome"] = value::string(status);
      // A package the device refused for its signature is not offered again:
      // only the publisher signing it anew could change the outcome.
      const std::string reason = e.has_string_field("Reason") ? e.at("Reason").as_string() : "";
      if (status == "Success" || (status == "Failed" && IsSignatureRefusal(reason)))
        acked_.insert(IntOr(e, "UpdateSchedulerId", -1));
    }
  } catch (const web::json::json_exception&) {
  }
}

std::string ManagementServer::DirectoryOutcome(const value& body) const {
  if (!body.has_array_field("ADUpdates")) return "no results";
  const auto& results = body.at("ADUpdates").as_array();
  if (results.size() != scenario_.directoryQueries.size())
    return "unexpected: " + std::to_string(results.size()) + " results for " +
           std::to_string(scenario_.directoryQueries.size()) + " queries";
  size_t i = 0;
  for (const auto& r : results) {
    const std::string got = r.has_string_field("UserStatus") ? r.at("UserStatus").as_string() : "";
    const std::string& want = scenario_.directoryExpect[i++];
    if (!want.empty() && got != want)
      return "unexpected: query " + std::to_string(i) + " answered " + got + ", expected " + want;
  }
  return "as expected";
}

void ManagementServer::CancelAck(const std::string& body) {
  (void)body;
  std::lock_guard<std::mutex> hold(lock_);
  cancelsAcked_ = true;
}

void ManagementServer::ConfigAck(const std::string& body) {
  try {
    auto doc = value::parse(body);
    const std::string kind = doc.has_string_field("RequestType") ? doc.at("RequestType").as_string() : "";
    std::lock_guard<std::mutex> hold(lock_);
    if (kind == "APP_CONFIG_CANCEL_ACK_REQ") {
      configCancelsAcked_ = true;
      return;
    }
    if (doc.has_array_field("ConfigData"))
      for (const auto& e : doc.at("ConfigData").as_array()) ackedConfigs_.insert(IntOr(e, "UpdateSchedularID", -1));
  } catch (const web::json::json_exception&) {
  }
}

}  // namespace zelvan::fennic
