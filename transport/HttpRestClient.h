#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "IRestClient.h"
#include "PackageSignature.h"
#include "RouteTable.h"

namespace zelvan::fennic {

class CurlExchange;
class DownloadSink;
struct CurlRequest;
struct HttpAddress;

// An answer body longer than this ends its request (packages are streamed
// to disk and never limited by it).
constexpr uint64_t kDefaultMaxAnswerBytes = 16 * 1024 * 1024;

struct HttpTransportOptions {
  std::string routesFile;  // optional JSON override of the route table
  std::string caFile;      // optional CA bundle for private servers
  bool allowPlainHttp = false;  // plain HTTP beyond loopback addresses
  std::chrono::milliseconds connectTimeout{3000};
  std::chrono::milliseconds requestTimeout{5000};
  std::chrono::milliseconds downloadTimeout{600000};
  uint64_t maxAnswerBytes = kDefaultMaxAnswerBytes;
  std::string downloadFolder;  // where packages land; empty: the folder of the local path
  // "scheme://host:port" of a proxy for every exchange; empty: the
  // environment's https_proxy, http_proxy and no_proxy.
  std::string proxy;
  std::string clientCertFile;  // PEM client certificate for servers that ask for one
  std::string clientKeyFile;   // its PEM private key
  // Verified packages are kept under <packageStoreFolder>/<product>/<version>/;
  // empty: none kept.
  std::string packageStoreFolder;
  // The publisher keys every package must be signed by, and the policy.
  PackageTrust packageTrust;
};

// The REST transport over HTTP(S). The tenant endpoint and the token may
// change at any time from host threads while the worker sends requests;
// every operation takes a snapshot of them under one lock and then runs
// without it, so concurrent calls are safe. The token and the tenant id go
// only to the tenant server's origin (scheme, host, port), never to another
// download host nor across a redirect that leaves it.
class HttpRestClient : public IRestClient {
 public:
  // Throws std::runtime_error when the route file is unusable.
  explicit HttpRestClient(HttpTransportOptions options);
  ~HttpRestClient() override;

  void SetToken(const std::wstring& token) override;
  void SetTenantEndpoint(const std::wstring& url, const std::wstring& tenantId) override;
  std::string ExecuteRequest(int requestType, std::string_view body) override;
  bool DownloadFile(const std::string& answer, const std::wstring& localPath, std::wstring& reason,
                    web::json::value& urlSource, std::wstring& product) override;
  void RunTransportCommand() override;
  // Ends the requests and downloads in flight at once and refuses later
  // ones, for a stop; a partial download stays for the next start.
  void AbortTransfers();
  void SetTransportOption(int value) override;
  // Replaces the trusted keys and the policy for every download that starts
  // from now on (a reload); any thread.
  void SetPackageTrust(PackageTrust trust);
  std::shared_ptr<const PackageTrust> CurrentPackageTrust() const;
  // 0 the tenant address, 1 the tenant id, 2 the last HTTP status, 3 the
  // number of idle HTTP handles kept (each keeps its connections), 4 the
  // seconds (decimal) the most recent answer's Retry-After asked for when
  // that answer had status 429 or 503, else empty, 5 a one-line text of the
  // most recent failed exchange, empty after a success, 6 "<request>
  // refused: <ErrorMessage>" when the most recent answer was a refusal that
  // named its reason, else empty; anything else is empty.
  std::wstring GetTransportValue(int argument) override;

  const RouteTable& Routes() const { return routes_; }

 private:
  struct Snapshot {
    std::string base;
    std::string tenant;
    std::string token;
    std::shared_ptr<const PackageTrust> trust;
  };
  Snapshot Take() const;
  // The tenant headers, to be sent only to `origin` of the returned request.
  CurlRequest Addressed(const HttpAddress& address, const Snapshot& now) const;
  void Settle(int status, const std::string& retryAfter, const std::string& failure,
              const std::string& refusal = "");
  // Package downloads (PackageDownload.cpp).
  struct PartialDownload;
  bool DownloadInto(const std::string& answer, const std::string& localPath, const std::string& product,
                    const web::json::value& urlSource, std::string& reason);
  // Fills the sink from the server, after what the partial file holds; sets
  // `total` to the bytes the package then has.
  bool Transfer(CurlRequest request, DownloadSink& sink, PartialDownload& partial, const std::string& shown,
                uint64_t& total);
  // Fetches the package's detached signature ("<address>.minisig") under
  // the package's own token and redirect rules and checks what can be
  // checked before the package arrives. False with `reason` when the
  // package must not be fetched; true with a null `signature` when none is
  // needed.
  bool ObtainSignature(const CurlRequest& package, const PackageTrust& trust, const std::string& name,
                       std::unique_ptr<PackageSignature>& signature, std::string& reason);
  // A package refused for its signature is not fetched again while the
  // same details and signature are offered; keyed by both.
  std::string RefusedBefore(const std::string& offer) const;
  void RememberRefusal(const std::string& offer, const std::string& reason);

  const HttpTransportOptions options_;
  const RouteTable routes_;
  const std::unique_ptr<CurlExchange> exchange_;
  mutable std::mutex lock_;
  std::string base_;
  std::string tenant_;
  std::string token_;
  int lastStatus_ = 0;
  std::string retryAfter_;
  std::string lastFailure_;
  std::string lastRefusal_;
  int option_ = 0;
  std::shared_ptr<const PackageTrust> trust_;
  std::map<std::string, std::string> refused_;
  std::deque<std::string> refusedOrder_;
};

}  // namespace zelvan::fennic
