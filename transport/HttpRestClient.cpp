// libcurl's header comes before cpprest's: cpprest defines "dllimport" as
// nothing, which breaks curl.h's attribute test under clang.
#include <curl/curl.h>

#include "HttpRestClient.h"

#include <cpprest/http_msg.h>

#include <ctime>
#include <system_error>

#include "ClientNote.h"
#include "CurlExchange.h"
#include "ExchangeText.h"
#include "Sha256.h"
#include "TextConversion.h"

namespace zelvan::fennic {

namespace http = web::http;

namespace {

constexpr int kHeartBeatType = 3;

CurlSettings SettingsOf(const HttpTransportOptions& o) {
  return CurlSettings{o.caFile, o.proxy, o.clientCertFile, o.clientKeyFile, o.allowPlainHttp, o.connectTimeout};
}

// The server path a body names in "URL"; empty when none, or when it is not
// a plain absolute path on the tenant server.
std::string OwnPath(std::string_view body) {
  try {
    auto doc = web::json::value::parse(std::string(body));
    if (!doc.has_string_field("URL")) return {};
    const std::string own = doc.at("URL").as_string();
    if (!own.empty() && own[0] == '/' && own.find("..") == std::string::npos && own.find("://") == std::string::npos)
      return own;
  } catch (const web::json::json_exception&) {
  }
  return {};
}

}  // namespace

HttpRestClient::HttpRestClient(HttpTransportOptions options)
    : options_(std::move(options)),
      routes_(options_.routesFile.empty() ? RouteTable() : RouteTable::FromFile(options_.routesFile)),
      exchange_(std::make_unique<CurlExchange>(SettingsOf(options_))),
      trust_(std::make_shared<const PackageTrust>(options_.packageTrust)) {
  Sha256::Prepare();
}

void HttpRestClient::SetPackageTrust(PackageTrust trust) {
  auto fresh = std::make_shared<const PackageTrust>(std::move(trust));
  std::lock_guard<std::mutex> hold(lock_);
  trust_ = std::move(fresh);
  // What a key no longer trusted refused may now be refused for another reason.
  refused_.clear();
  refusedOrder_.clear();
}

std::shared_ptr<const PackageTrust> HttpRestClient::CurrentPackageTrust() const {
  std::lock_guard<std::mutex> hold(lock_);
  return trust_;
}

HttpRestClient::~HttpRestClient() = default;

void HttpRestClient::SetToken(const std::wstring& token) {
  std::lock_guard<std::mutex> hold(lock_);
  token_ = ToUtf8(token);
}

void HttpRestClient::SetTenantEndpoint(const std::wstring& url, const std::wstring& tenantId) {
  const std::string address = ToUtf8(url);
  // Refused before it replaces the working address: the library stores what
  // this accepts, and a stored address the requests refuse would fail every
  // later run.
  if (!address.empty()) ParseHttpAddress(address, options_.allowPlainHttp);
  std::lock_guard<std::mutex> hold(lock_);
  base_ = address;
  tenant_ = ToUtf8(tenantId);
}

namespace {

// The reason a server gave for refusing a request, for the host's one-line
// account of a failure. Only small envelopes are looked at: a refusal is
// never a long list.
std::string RefusalOf(const std::string& body, const std::string& name) {
  if (body.size() > 16384 || body.find("\"ErrorMessage\"") == std::string::npos) return {};
  std::error_code error;
  const web::json::value doc = web::json::value::parse(body, error);
  if (error || !doc.is_object() || !doc.has_string_field("ErrorMessage")) return {};
  const char* outcome = doc.has_field("validateResponse") ? "validateResponse" : "validateResponseFromServer";
  if (!doc.has_boolean_field(outcome) || doc.at(outcome).as_bool()) return {};
  std::string reason = doc.at("ErrorMessage").as_string().substr(0, 200);
  for (char& c : reason)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return name + " refused: " + reason;
}

}  // namespace

HttpRestClient::Snapshot HttpRestClient::Take() const {
  std::lock_guard<std::mutex> hold(lock_);
  return Snapshot{base_, tenant_, token_, trust_};
}

CurlRequest HttpRestClient::Addressed(const HttpAddress& address, const Snapshot& now) const {
  CurlRequest request;
  request.address = address;
  try {
    request.credentialOrigin = ParseHttpAddress(now.base, options_.allowPlainHttp).origin;
  } catch (const http::http_exception&) {
    // No usable tenant server: nobody gets the credentials.
  }
  if (!now.tenant.empty()) request.credentials.push_back("X-Tenant-Id: " + now.tenant);
  if (!now.token.empty()) request.credentials.push_back("Authorization: Bearer " + now.token);
  return request;
}

void HttpRestClient::Settle(int status, const std::string& retryAfter, const std::string& failure,
                            const std::string& refusal) {
  std::lock_guard<std::mutex> hold(lock_);
  lastRefusal_ = refusal;
  if (status != 0) lastStatus_ = status;
  retryAfter_ = (status == 429 || status == 503) ? RetryAfterSeconds(retryAfter, std::time(nullptr)) : "";
  lastFailure_ = failure;
}

std::string HttpRestClient::ExecuteRequest(int requestType, std::string_view body) {
  const Snapshot now = Take();
  auto route = routes_.Find(requestType);
  if (!route) {
    ClientNote(3, "ExecuteRequest", "No route for request type " + std::to_string(requestType));
    return {};
  }
  if (now.base.empty()) {
    ClientNote(3, "ExecuteRequest", "No tenant endpoint for request type " + std::to_string(requestType));
    return {};
  }
  std::string path = RouteTable::Expand(route->path, now.tenant);
  if (requestType == 22) {
    // Configuration acknowledgements name their own server path.
    const std::string own = OwnPath(body);
    if (!own.empty()) path = own;
  }
  const std::string name = RequestName(requestType);
  CurlAnswer answer;
  try {
    CurlRequest request = Addressed(Below(ParseHttpAddress(now.base, options_.allowPlainHttp), path), now);
    request.method = route->method;
    request.headers.push_back("Accept: application/json");
    if (!body.empty()) {
      request.headers.push_back("Content-Type: application/json");
      request.body = std::string(body);
    }
    request.timeout = options_.requestTimeout;
    request.maxBodyBytes = options_.maxAnswerBytes;
    answer = exchange_->Run(std::move(request));
  } catch (const http::http_exception& e) {
    Settle(0, "", e.what());
    throw;
  }
  if (answer.status < 200 || answer.status > 299) {
    const std::string failure = "server answered HTTP " + std::to_string(answer.status) + " to " + name;
    Settle(answer.status, answer.retryAfter, failure);
    ClientNote(3, "ExecuteRequest",
               "Request type " + std::to_string(requestType) + " answered with HTTP status " + std::to_string(answer.status));
    // A refused token: the heart beat hears it as such, so the agent
    // registers again instead of failing for good.
    if (answer.status == 401 && requestType == kHeartBeatType) throw http::http_exception(401, failure);
    return {};
  }
  Settle(answer.status, answer.retryAfter, "", RefusalOf(answer.body, name));
  return std::move(answer.body);
}

void HttpRestClient::RunTransportCommand() {
  // Drops the kept handles, so the next request opens fresh connections.
  exchange_->Forget();
}

void HttpRestClient::AbortTransfers() { exchange_->Abort(); }

void HttpRestClient::SetTransportOption(int value) {
  std::lock_guard<std::mutex> hold(lock_);
  option_ = value;
}

std::wstring HttpRestClient::GetTransportValue(int argument) {
  if (argument == 3) return std::to_wstring(exchange_->KeptHandles());
  std::lock_guard<std::mutex> hold(lock_);
  switch (argument) {
    case 0:
      return ToWide(base_);
    case 1:
      return ToWide(tenant_);
    case 2:
      return std::to_wstring(lastStatus_);
    case 4:
      return ToWide(retryAfter_);
    case 5:
      return ToWide(lastFailure_);
    case 6:
      return ToWide(lastRefusal_);
    default:
      return {};
  }
}

}  // namespace zelvan::fennic
