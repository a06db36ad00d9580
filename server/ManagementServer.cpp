#include "ManagementServer.h"

#include <arpa/inet.h>
#include <cpprest/http_listener.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "BodyShape.h"
#include "BodySource.h"
#include "PlainFileName.h"
#include "Sha256.h"

namespace zelvan::fennic {

namespace http = web::http;
namespace fs = std::filesystem;
using web::json::value;

struct ManagementServer::Answer {
  int status = 200;
  std::string text;            // JSON answers
  std::string file;            // or a package file
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t fileSize = 0;
  bool partial = false;
};

namespace {

value Envelope(bool ok) {
  value v = value::object();
  v["validateResponseStatus"] = value::boolean(true);
  v["ResposeCommand"] = value::number(0);
  v["validateResponse"] = value::boolean(ok);
  v["validateResponseFromServer"] = value::boolean(ok);
  v["ErrorMessage"] = value::string(ok ? "" : "Request failed");
  return v;
}

value Refusal(const std::string& message) {
  value v = Envelope(false);
  v["ErrorMessage"] = value::string(message);
  return v;
}


std::string LastSegment(const std::string& text) {
  auto cut = text.find_last_of('/');
  return cut == std::string::npos ? text : text.substr(cut + 1);
}

value BodyForRecord(const std::string& body) {
  if (body.empty()) return value::null();
  try {
    return value::parse(body);
  } catch (const web::json::json_exception&) {
    return value::string(body);
  }
}

std::string HeaderOf(const http::http_request& r, const std::string& name) {
  auto it = r.headers().find(name);
  return it == r.headers().end() ? std::string() : it->second;
}

int IntOr(const value& v, const char* key, int fallback) {
  return v.has_field(key) && v.at(key).is_integer() ? v.at(key).as_integer() : fallback;
}

// Whether a JSON answer tells the agent its request was taken.
bool AcceptsRequest(int status, const std::string& text) {
  if (status < 200 || status > 299) return false;
  try {
    const value v = value::parse(text);
    return v.has_boolean_field("validateResponseStatus") && v.at("validateResponseStatus").as_bool() &&
           v.has_boolean_field("validateResponse") && v.at("validateResponse").as_bool();
  } catch (const web::json::json_exception&) {
    return false;
  }
}

}  // namespace

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

ManagementServer::ManagementServer(Scenario scenario, ServerOptions options)
    : scenario_(std::move(scenario)),
      options_(std::move(options)),
      routes_(options_.routesFile.empty() ? RouteTable() : RouteTable::FromFile(options_.routesFile)) {
  Sha256::Prepare();
  for (const auto& f : scenario_.faults) faults_.emplace_back(f, 0);
  if (!options_.packagesFolder.empty()) scenario_.packagesFolder = options_.packagesFolder;
  if (!options_.recordFile.empty()) {
    recordFile_.open(options_.recordFile, std::ios::out | std::ios::trunc);
    if (!recordFile_) throw std::runtime_error("record file " + options_.recordFile + ": cannot be written");
  }
}

ManagementServer::~ManagementServer() { Stop(); }

int ManagementServer::Start() {
  if (options_.host != "127.0.0.1" && options_.host != "localhost")
    throw std::runtime_error("the server listens on loopback only");
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = false;
  }
  std::string lastError = "no free port";
  // A port probed free can be taken before the listener binds it; try again.
  // After a stop, the server comes back on the port it had, as a restarted
  // server would.
  const int fixed = options_.port != 0 ? options_.port : port_.load();
  for (int attempt = 0; attempt < 20; ++attempt) {
    int port = fixed != 0 ? fixed : FreeLoopbackPort();
    if (port == 0) continue;
    auto listener = std::make_unique<http::experimental::listener::http_listener>(
        "http://127.0.0.1:" + std::to_string(port));
    listener->support([this](http::http_request request) { Handle(std::move(request)); });
    try {
      listener->open().wait();
      listener_ = std::move(listener);
      port_ = port;
      return port_;
    } catch (const std::exception& e) {
      lastError = e.what();
      if (fixed != 0) break;
    }
  }
  throw std::runtime_error("cannot listen on 127.0.0.1: " + lastError);
}

void ManagementServer::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
  }
  stopping_.notify_all();
  if (listener_) {
    try {
      listener_->close().wait();
    } catch (const std::exception&) {
      // Already closed connections are no reason to fail a stop.
    }
    listener_.reset();
  }
}

std::string ManagementServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void ManagementServer::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.emplace_back(fault, 0);
}

std::vector<value> ManagementServer::Records() const {
  std::lock_guard<std::mutex> hold(lock_);
  return records_;
}

int ManagementServer::CountOf(const std::string& type) const {
  std::lock_guard<std::mutex> hold(lock_);
  int n = 0;
  for (const auto& r : records_)
    if (r.at("type").as_string() == type) ++n;
  return n;
}

std::vector<value> ManagementServer::AcceptedOf(const std::string& type) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<value> out;
  for (const long seq : accepted_) {
    const value& r = records_.at(static_cast<size_t>(seq - 1));
    if (r.at("type").as_string() == type) out.push_back(r);
  }
  return out;
}

std::optional<Fault> ManagementServer::TakeFault(const std::string& target) {
  std::lock_guard<std::mutex> hold(lock_);
  for (auto& [fault, seen] : faults_) {
    if (fault.target != target && fault.target != "*") continue;
    const int index = seen++;
    if (index < fault.skip) continue;
    if (fault.times >= 0 && index >= fault.skip + fault.times) continue;
    return fault;
  }
  return std::nullopt;
}

long ManagementServer::Record(value entry, bool accepting) {
  std::lock_guard<std::mutex> hold(lock_);
  const long seq = ++seq_;
  entry["seq"] = value::number(static_cast<int64_t>(seq));
  if (recordFile_.is_open()) {
    recordFile_ << entry.serialize() << '\n';
    recordFile_.flush();
  }
  records_.push_back(std::move(entry));
  // Counted before the answer goes out, so a client that has its answer
  // finds it counted; Handle takes it back if the answer does not go out.
  if (accepting) accepted_.insert(seq);
  return seq;
}

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

void ManagementServer::Handle(http::http_request request) {
  const std::string method = request.method();
  const std::string path = web::uri::decode(request.relative_uri().path());
  const std::string tenant = HeaderOf(request, "X-Tenant-Id");
  std::string body;
  try {
    body = request.extract_utf8string(true).get();
  } catch (const std::exception&) {
    body.clear();
  }

  std::string typeText = "unknown";
  int type = -1;
  if (method == http::methods::GET && path.rfind("/packages/", 0) == 0) {
    typeText = "package";
  } else if (auto t = routes_.TypeOf(method, path, tenant)) {
    type = *t;
    typeText = std::to_string(type);
  } else if (method == http::methods::POST && path.rfind("/api/ManageAgent/Configuration", 0) == 0 &&
             path.find("Ack") != std::string::npos) {
    // Configuration acknowledgements may arrive on the path they carry.
    type = 22;
    typeText = "22";
  }

  value note = value::object();
  note["type"] = value::string(typeText);
  note["method"] = value::string(method);
  note["path"] = value::string(path);
  note["tenant"] = value::string(tenant);
  note["authorization"] =
      value::string(HeaderOf(request, "Authorization"));
  if (request.headers().has("Range")) note["range"] = value::string(HeaderOf(request, "Range"));
  note["body"] = BodyForRecord(body);
  if (type >= 0) note["shape"] = value::string(BodyShape(typeText, note["body"]));

  Answer answer;
  try {
    answer = Dispatch(type, path, body, request, note);
  } catch (const std::exception& e) {
    answer.status = 500;
    answer.text = Refusal(std::string("server error: ") + e.what()).serialize();
  }

  const auto fault = TakeFault(typeText);
  std::string faultName = fault ? fault->action : "";
  int64_t breakAfter = -1;
  if (fault) {
    if (fault->action == "delay" || fault->action == "refuse") {
      std::unique_lock<std::mutex> hold(lock_);
      stopping_.wait_for(hold, std::chrono::milliseconds(std::min(fault->delayMs, 30000)), [&] { return stopped_; });
    }
    if (fault->action == "status500") {
      answer = Answer{};
      answer.status = 500;
      answer.text = "{\"error\":\"injected\"}";
    } else if (fault->action == "statusFalse") {
      answer = Answer{};
      value v = Refusal("Service unavailable");
      v["validateResponseStatus"] = value::boolean(false);
      answer.text = v.serialize();
    } else if (fault->action == "malformed") {
      answer.file.clear();
      answer.status = 200;
      answer.text = "{\"validateResponseStatus\": tru";
    } else if (fault->action == "refuse") {
      breakAfter = 0;
    } else if (fault->action == "truncate") {
      const uint64_t full = answer.file.empty() ? answer.text.size() : answer.length;
      breakAfter = fault->bytes >= 0 ? std::min<int64_t>(fault->bytes, static_cast<int64_t>(full))
                                     : static_cast<int64_t>(full / 2);
    }
  }
  note["status"] = value::number(answer.status);
  note["fault"] = value::string(faultName);
  if (!answer.file.empty()) {
    note["bytes"] = value::number(static_cast<int64_t>(breakAfter >= 0 ? breakAfter : answer.length));
  }
  const bool accepting = answer.file.empty() && breakAfter < 0 && AcceptsRequest(answer.status, answer.text);
  const long seq = Record(note, accepting);

  http::http_response response(static_cast<http::status_code>(answer.status));
  std::shared_ptr<BodySource> source;
  uint64_t length = 0;
  std::string contentType = "application/json";
  if (!answer.file.empty()) {
    int fd = ::open(answer.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      request.reply(http::status_codes::NotFound).wait();
      return;
    }
    length = answer.length;
    source = BodySource::OfFile(fd, answer.offset, length, breakAfter >= 0 ? breakAfter : length);
    contentType = "application/octet-stream";
    response.headers().add("Accept-Ranges", "bytes");
    if (answer.partial)
      response.headers().add("Content-Range", "bytes " + std::to_string(answer.offset) + "-" +
                                                  std::to_string(answer.offset + length - 1) + "/" +
                                                  std::to_string(answer.fileSize));
  } else {
    length = answer.text.size();
    source = BodySource::OfText(answer.text, breakAfter >= 0 ? breakAfter : length);
  }
  response.set_body(concurrency::streams::istream(concurrency::streams::streambuf<uint8_t>(source)), length,
                    contentType);
  try {
    request.reply(response).wait();
  } catch (const std::exception&) {
    // A broken-off body ends the connection; that is the point of the fault.
    // An answer that did not go out (a stop closed the connection under it)
    // accepted nothing.
    if (accepting) {
      std::lock_guard<std::mutex> hold(lock_);
      accepted_.erase(seq);
    }
  }
}

ManagementServer::Answer ManagementServer::Dispatch(int type, const std::string& path, const std::string& body,
                                                    const http::http_request& request, value& note) {
  Answer a;
  const std::string auth = HeaderOf(request, "Authorization");
  const bool isPackage = note.at("type").as_string() == "package";
  bool authorised = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    authorised = auth.rfind("Bearer ", 0) == 0 && tokens_.count(auth.substr(7)) > 0;
  }
  if (isPackage) {
    if (!authorised) {
      a.status = 401;
      a.text = Refusal("Token Not Found").serialize();
      return a;
    }
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
  if (type < 0) {
    a.status = 404;
    value v = Envelope(false);
    v["ResposeCommand"] = value::number(45);
    a.text = v.serialize();
    return a;
  }
  if (type != 2 && !authorised) {
    a.text = Refusal("Token Not Found").serialize();
    note["outcome"] = value::string("unauthorised");
    return a;
  }

  value v = Envelope(true);
  if (scenario_.refused.count(note.at("type").as_string())) {
    a.text = Refusal("Refused by the scenario").serialize();
    note["outcome"] = value::string("refused");
    return a;
  }
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
      value list = value::array();
      if (!queriesAnswered_)
        for (size_t i = 0; i < scenario_.directoryQueries.size(); ++i) list[i] = scenario_.directoryQueries[i];
      v["ADUpdates"] = list;
      break;
    }
    case 6: {
      note["outcome"] = value::string(DirectoryOutcome(note.at("body")));
      std::lock_guard<std::mutex> hold(lock_);
      queriesAnswered_ = true;
      break;
    }
    case 23:
      v["VPVersion"] = value::string(scenario_.voicePromptVersion);
      break;
    default:
      break;  // device events, reports, forwarded requests: accepted as they are
  }
  a.text = v.serialize();
  return a;
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
      if (status == "Success") acked_.insert(IntOr(e, "UpdateSchedulerId", -1));
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

// The listener's HTTP library can leave a reply task queued on its own thread
// pool when a connection and the listener close together at exit. Every
// program that runs this server in-process (the tests among them) tells the
// leak checker so, here, once.
#if defined(__SANITIZE_ADDRESS__)
#define FENNIC_LEAK_CHECKED
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FENNIC_LEAK_CHECKED
#endif
#endif
#ifdef FENNIC_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions() { return "leak:libcpprest.so\n"; }
#endif
