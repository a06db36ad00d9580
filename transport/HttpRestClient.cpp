#include "HttpRestClient.h"

#include <cpprest/http_client.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "DownloadSink.h"
#include "IAgentUtils.h"
#include "LocalTarget.h"
#include "Sha256.h"
#include "TextConversion.h"

namespace zelvan::fennic {

namespace http = web::http;
namespace fs = std::filesystem;

namespace {

void Note(int level, const char* where, const std::string& text) {
  if (auto log = IAgentUtils::getLogManager()) log->Log(level, std::string("HttpRestClient::") + where, text);
}

bool IsLoopbackHost(std::string host) {
  if (!host.empty() && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Splits an absolute address into origin ("scheme://host:port") and the
// rest; refuses schemes other than http(s) and plain HTTP beyond loopback.
struct Address {
  std::string origin;
  std::string path;  // "" or starting with "/"
};
Address SplitAddress(const std::string& text, bool allowPlainHttp) {
  web::uri uri;
  try {
    uri = web::uri(text);
  } catch (const web::uri_exception& e) {
    throw http::http_exception("invalid server address " + text + ": " + e.what());
  }
  const std::string scheme = uri.scheme();
  if (scheme != "http" && scheme != "https") throw http::http_exception("unsupported address scheme in " + text);
  if (uri.host().empty()) throw http::http_exception("server address without host: " + text);
  if (scheme == "http" && !allowPlainHttp && !IsLoopbackHost(uri.host()))
    throw http::http_exception("plain HTTP refused for non-loopback host " + uri.host());
  Address out;
  out.origin = scheme + "://" + uri.host();
  if (uri.port() > 0) out.origin += ":" + std::to_string(uri.port());
  out.path = uri.path() == "/" ? "" : uri.path();
  if (!out.path.empty() && out.path.back() == '/') out.path.pop_back();
  if (!uri.query().empty()) out.path += "?" + uri.query();
  return out;
}

// Waits for a task at most `limit`; past that the exchange is cancelled and
// reported as a time-out, so no call outlives its deadline by much.
template <typename T>
T AwaitWithin(pplx::task<T> task, pplx::cancellation_token_source& cancel, std::chrono::milliseconds limit,
              std::chrono::milliseconds grace, const std::string& what) {
  struct State {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
  };
  auto state = std::make_shared<State>();
  auto watched = task.then([state](pplx::task<T> t) {
    {
      std::lock_guard<std::mutex> hold(state->m);
      state->done = true;
    }
    state->cv.notify_all();
    return t;
  });
  std::unique_lock<std::mutex> hold(state->m);
  if (!state->cv.wait_for(hold, limit, [&] { return state->done; })) {
    cancel.cancel();
    // Cancellation closes the socket; give it a moment, then leave the task
    // to finish on its own (it owns its state).
    state->cv.wait_for(hold, grace, [&] { return state->done; });
    if (!state->done) {
      hold.unlock();
      throw http::http_exception(std::make_error_code(std::errc::timed_out), what + " timed out");
    }
    hold.unlock();
    try {
      watched.get();
    } catch (...) {
    }
    throw http::http_exception(std::make_error_code(std::errc::timed_out), what + " timed out");
  }
  hold.unlock();
  try {
    return watched.get();
  } catch (const http::http_exception&) {
    throw;
  } catch (const pplx::task_canceled&) {
    throw http::http_exception(std::make_error_code(std::errc::operation_canceled), what + " cancelled");
  } catch (const std::exception& e) {
    throw http::http_exception(what + " failed: " + e.what());
  }
}

std::string ReadText(const web::json::value& doc, const char* key) {
  if (doc.has_string_field(key)) return doc.at(key).as_string();
  if (doc.has_object_field("ResponseBody") && doc.at("ResponseBody").has_string_field(key))
    return doc.at("ResponseBody").at(key).as_string();
  return {};
}

int64_t ReadSize(const web::json::value& doc, const char* key) {
  const web::json::value* where = nullptr;
  if (doc.has_field(key)) where = &doc.at(key);
  else if (doc.has_object_field("ResponseBody") && doc.at("ResponseBody").has_field(key))
    where = &doc.at("ResponseBody").at(key);
  if (where == nullptr || !where->is_number() || !where->is_integer()) return -1;
  return where->as_number().to_int64();
}

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

HttpRestClient::HttpRestClient(HttpTransportOptions options)
    : options_(std::move(options)),
      routes_(options_.routesFile.empty() ? RouteTable() : RouteTable::FromFile(options_.routesFile)) {
  Sha256::Prepare();
}

HttpRestClient::~HttpRestClient() = default;

void HttpRestClient::SetToken(const std::wstring& token) {
  std::lock_guard<std::mutex> hold(lock_);
  token_ = ToUtf8(token);
}

void HttpRestClient::SetTenantEndpoint(const std::wstring& url, const std::wstring& tenantId) {
  std::lock_guard<std::mutex> hold(lock_);
  base_ = ToUtf8(url);
  tenant_ = ToUtf8(tenantId);
}

HttpRestClient::Snapshot HttpRestClient::Take() const {
  std::lock_guard<std::mutex> hold(lock_);
  return Snapshot{base_, tenant_, token_};
}

std::shared_ptr<http::client::http_client> HttpRestClient::ClientFor(const std::string& origin, bool download) {
  const std::string key = origin + (download ? "|download" : "|request");
  std::lock_guard<std::mutex> hold(lock_);
  auto& slot = clients_[key];
  if (!slot) {
    http::client::http_client_config config;
    // The client's own timer restarts on every network step, so it acts as
    // the connect and stall limit; the whole exchange is bounded separately.
    config.set_timeout(options_.connectTimeout);
    config.set_validate_certificates(true);
    if (!options_.caFile.empty()) {
      const std::string ca = options_.caFile;
      config.set_ssl_context_callback([ca](boost::asio::ssl::context& ctx) { ctx.load_verify_file(ca); });
    }
    if (download) config.set_chunksize(256 * 1024);
    slot = std::make_shared<http::client::http_client>(origin, config);
  }
  return slot;
}

std::string HttpRestClient::ExecuteRequest(int requestType, std::string_view body) {
  const Snapshot now = Take();
  auto route = routes_.Find(requestType);
  if (!route) {
    Note(3, "ExecuteRequest", "No route for request type " + std::to_string(requestType));
    return {};
  }
  if (now.base.empty()) {
    Note(3, "ExecuteRequest", "No tenant endpoint for request type " + std::to_string(requestType));
    return {};
  }
  const Address address = SplitAddress(now.base, options_.allowPlainHttp);
  std::string path = RouteTable::Expand(route->path, now.tenant);
  if (requestType == 22) {
    // Configuration acknowledgements name their own server path.
    try {
      auto doc = web::json::value::parse(std::string(body));
      if (doc.has_string_field("URL")) {
        const std::string own = doc.at("URL").as_string();
        if (!own.empty() && own[0] == '/' && own.find("..") == std::string::npos &&
            own.find("://") == std::string::npos)
          path = own;
      }
    } catch (const web::json::json_exception&) {
    }
  }

  http::http_request request(route->method);
  request.set_request_uri(address.path + path);
  request.headers().add("Accept", "application/json");
  if (!now.tenant.empty()) request.headers().add("X-Tenant-Id", now.tenant);
  if (!now.token.empty()) request.headers().add("Authorization", "Bearer " + now.token);
  if (!body.empty()) request.set_body(std::string(body), "application/json");

  auto client = ClientFor(address.origin, false);
  pplx::cancellation_token_source cancel;
  auto exchange = client->request(request, cancel.get_token()).then([](http::http_response response) {
    return response.extract_utf8string(true).then([response](std::string text) {
      return std::make_pair(static_cast<int>(response.status_code()), std::move(text));
    });
  });
  auto [status, text] = AwaitWithin(exchange, cancel, options_.requestTimeout, options_.connectTimeout,
                                    "request type " + std::to_string(requestType));
  {
    std::lock_guard<std::mutex> hold(lock_);
    lastStatus_ = status;
  }
  if (status < 200 || status > 299) {
    Note(3, "ExecuteRequest",
         "Request type " + std::to_string(requestType) + " answered with HTTP status " + std::to_string(status));
    return {};
  }
  return text;
}

bool HttpRestClient::DownloadFile(const std::string& answer, const std::wstring& localPath, std::wstring& reason,
                                  web::json::value& urlSource, std::wstring& product) {
  (void)product;
  std::string why;
  bool ok = false;
  std::string details = answer;
  // Without a link in the answer, a plain address as URL source will do.
  if (urlSource.is_string()) {
    try {
      auto doc = web::json::value::parse(details);
      if (doc.is_object() && ReadText(doc, "DownloadLink").empty()) {
        doc["DownloadLink"] = urlSource;
        details = doc.serialize();
      }
    } catch (const web::json::json_exception&) {
    }
  }
  try {
    ok = DownloadInto(details, ToUtf8(localPath), why);
  } catch (const http::http_exception& e) {
    why = std::string("transfer failed: ") + e.what();
  } catch (const std::exception& e) {
    why = std::string("download failed: ") + e.what();
  }
  if (!ok && why.empty()) why = "download failed";
  if (!ok) Note(3, "DownloadFile", why);
  reason = ok ? std::wstring() : ToWide(why);
  return ok;
}

bool HttpRestClient::DownloadInto(const std::string& answer, const std::string& localPath, std::string& reason) {
  if (answer.empty()) {
    reason = "no download details";
    return false;
  }
  web::json::value doc;
  try {
    doc = web::json::value::parse(answer);
  } catch (const web::json::json_exception& e) {
    reason = std::string("download details are not JSON: ") + e.what();
    return false;
  }
  if (!doc.is_object()) {
    reason = "download details are not a JSON object";
    return false;
  }
  const int64_t statusCode = ReadSize(doc, "StatusCode");
  if (statusCode != 200) {
    reason = "download details carry StatusCode " + std::to_string(statusCode);
    return false;
  }
  const std::string link = ReadText(doc, "DownloadLink");
  if (link.empty()) {
    reason = "download details carry no DownloadLink";
    return false;
  }
  const int64_t expectedSize = ReadSize(doc, "FileSize");
  std::string expectedSha = ReadText(doc, "SHA256");
  for (auto& c : expectedSha) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  auto target = ResolveLocalTarget(localPath, options_.downloadFolder);
  if (!target) {
    reason = "local path " + localPath + " escapes the download folder";
    return false;
  }

  Address address;
  if (link[0] == '/') {
    const Snapshot now = Take();
    if (now.base.empty()) {
      reason = "no tenant endpoint for the download link";
      return false;
    }
    address = SplitAddress(now.base, options_.allowPlainHttp);
    address.path += link;
  } else {
    address = SplitAddress(link, options_.allowPlainHttp);
  }
  if (address.path.empty()) address.path = "/";

  // The partial file is named after the package identity, so only a partial
  // download of the same package is resumed.
  Sha256 identity;
  const std::string idText = link + "|" + std::to_string(expectedSize) + "|" + expectedSha;
  identity.Update(idText.data(), idText.size());
  const fs::path partial =
      target->folder / ("." + target->name + "." + identity.HexDigest().substr(0, 12) + ".part");
  const fs::path finalPath = target->folder / target->name;

  std::error_code ec;
  uint64_t existing = 0;
  if (fs::is_regular_file(partial, ec)) existing = fs::file_size(partial, ec);
  if (ec || (expectedSize >= 0 && existing > static_cast<uint64_t>(expectedSize))) {
    fs::remove(partial, ec);
    existing = 0;
  }

  const bool checkSha = !expectedSha.empty();
  std::unique_ptr<Sha256> primed = checkSha ? std::make_unique<Sha256>() : nullptr;
  if (primed && existing > 0) {
    // Resuming: the checksum covers the part already on disk too.
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(partial.c_str(), "rb"), &std::fclose);
    std::vector<unsigned char> chunk(1 << 16);
    size_t got = 0;
    uint64_t hashed = 0;
    while (in && (got = std::fread(chunk.data(), 1, chunk.size(), in.get())) > 0) {
      primed->Update(chunk.data(), got);
      hashed += got;
    }
    if (hashed != existing) {
      primed = std::make_unique<Sha256>();
      existing = 0;
    }
  }

  FileCloser file{::open(partial.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)};
  if (file.fd < 0) {
    reason = "cannot create " + partial.string() + ": " + std::strerror(errno);
    return false;
  }
  if (existing == 0 && ::ftruncate(file.fd, 0) != 0) {
    reason = "cannot reset " + partial.string();
    return false;
  }

  auto sink = std::make_shared<DownloadSink>(file.fd, std::move(primed));
  uint64_t total = existing;
  const bool alreadyComplete = expectedSize > 0 && existing == static_cast<uint64_t>(expectedSize);
  if (!alreadyComplete) {
    http::http_request request(http::methods::GET);
    request.set_request_uri(address.path);
    const Snapshot now = Take();
    if (!now.tenant.empty()) request.headers().add("X-Tenant-Id", now.tenant);
    if (!now.token.empty()) request.headers().add("Authorization", "Bearer " + now.token);
    if (existing > 0) request.headers().add("Range", "bytes=" + std::to_string(existing) + "-");
    request.set_response_stream(concurrency::streams::streambuf<uint8_t>(sink));

    if (expectedSize > 0) {
      // Progress in quarters, counted over the whole package.
      auto next = std::make_shared<int>(1);
      const uint64_t whole = static_cast<uint64_t>(expectedSize);
      const std::string shown = target->name;
      sink->OnProgress([next, whole, existing, shown](uint64_t written) {
        const uint64_t done = existing + written;
        while (*next <= 4 && done * 4 >= whole * static_cast<uint64_t>(*next)) {
          Note(2, "DownloadFile", "Download progress " + shown + ": " + std::to_string(*next * 25) + "% (" +
                                      std::to_string(std::min(done, whole)) + " of " + std::to_string(whole) +
                                      " bytes)");
          ++*next;
        }
      });
    }
    auto client = ClientFor(address.origin, true);
    pplx::cancellation_token_source cancel;
    const int fd = file.fd;
    auto exchange = client->request(request, cancel.get_token()).then([sink, existing, expectedSize,
                                                                         fd](http::http_response r) {
      const int status = r.status_code();
      const uint64_t whole = expectedSize >= 0 ? static_cast<uint64_t>(expectedSize) : 0;
      if (status == http::status_codes::PartialContent && existing > 0) {
        sink->Open(DownloadSink::Mode::Append, whole > 0 ? whole - existing : 0);
      } else if (status == http::status_codes::OK) {
        // The whole package comes (again): start the file over.
        sink->Open(::ftruncate(fd, 0) == 0 ? DownloadSink::Mode::Restart : DownloadSink::Mode::Discard, whole);
      } else {
        sink->Open(DownloadSink::Mode::Discard, 0);
      }
      return r.content_ready().then([status](http::http_response) { return status; });
    });
    int status = 0;
    try {
      status = AwaitWithin(exchange, cancel, options_.downloadTimeout, options_.connectTimeout, "download of " + link);
    } catch (...) {
      sink->Open(DownloadSink::Mode::Discard, 0);
      if (!sink->Failure().empty()) {
        fs::remove(partial, ec);
        reason = sink->Failure();
        return false;
      }
      throw;
    }
    if (!sink->Failure().empty()) {
      fs::remove(partial, ec);
      reason = sink->Failure();
      return false;
    }
    if (status != http::status_codes::OK && status != http::status_codes::PartialContent) {
      reason = "package request answered with HTTP status " + std::to_string(status);
      return false;
    }
    total = (status == http::status_codes::OK ? 0 : existing) + sink->Written();
  }

  if (expectedSize >= 0 && total != static_cast<uint64_t>(expectedSize)) {
    reason = "package has " + std::to_string(total) + " bytes, expected " + std::to_string(expectedSize);
    if (total > static_cast<uint64_t>(expectedSize)) fs::remove(partial, ec);
    return false;
  }
  if (checkSha) {
    const std::string actual = sink->Hash()->HexDigest();
    if (actual != expectedSha) {
      fs::remove(partial, ec);
      reason = "package checksum mismatch: expected " + expectedSha + ", got " + actual;
      return false;
    }
  }
  if (::fsync(file.fd) != 0) {
    reason = "cannot flush " + partial.string();
    return false;
  }
  fs::rename(partial, finalPath, ec);
  if (ec) {
    reason = "cannot move the package into place: " + ec.message();
    fs::remove(partial, ec);
    return false;
  }
  Note(2, "DownloadFile", "Downloaded " + finalPath.string() + " (" + std::to_string(total) + " bytes" +
                              (checkSha ? ", SHA-256 verified)" : ")"));
  return true;
}

void HttpRestClient::RunTransportCommand() {
  // Drops the kept clients, so the next request opens fresh connections.
  std::lock_guard<std::mutex> hold(lock_);
  clients_.clear();
}

void HttpRestClient::SetTransportOption(int value) {
  std::lock_guard<std::mutex> hold(lock_);
  option_ = value;
}

std::wstring HttpRestClient::GetTransportValue(int argument) {
  std::lock_guard<std::mutex> hold(lock_);
  switch (argument) {
    case 0:
      return ToWide(base_);
    case 1:
      return ToWide(tenant_);
    case 2:
      return std::to_wstring(lastStatus_);
    case 3:
      return std::to_wstring(clients_.size());
    default:
      return {};
  }
}

}  // namespace zelvan::fennic
