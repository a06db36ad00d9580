#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "IRestClient.h"
#include "RouteTable.h"

namespace web::http::client {
class http_client;
}

namespace zelvan::fennic {

struct HttpTransportOptions {
  std::string routesFile;  // optional JSON override of the route table
  std::string caFile;      // optional CA bundle for private servers
  bool allowPlainHttp = false;  // plain HTTP beyond loopback addresses
  std::chrono::milliseconds connectTimeout{3000};
  std::chrono::milliseconds requestTimeout{5000};
  std::chrono::milliseconds downloadTimeout{600000};
  std::string downloadFolder;  // where packages land; empty: the folder of the local path
};

// The REST transport over HTTP(S). The tenant endpoint and the token may
// change at any time from host threads while the worker sends requests;
// every operation takes a snapshot of them under one lock and then runs
// without it, so concurrent calls are safe. One HTTP client per server
// address is kept and reused, which keeps connections alive.
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
  void SetTransportOption(int value) override;
  // 0 the tenant address, 1 the tenant id, 2 the last HTTP status, 3 the
  // number of HTTP clients kept; anything else is empty.
  std::wstring GetTransportValue(int argument) override;

  const RouteTable& Routes() const { return routes_; }

 private:
  struct Snapshot {
    std::string base;
    std::string tenant;
    std::string token;
  };
  Snapshot Take() const;
  std::shared_ptr<web::http::client::http_client> ClientFor(const std::string& origin, bool download);
  bool DownloadInto(const std::string& answer, const std::string& localPath, std::string& reason);

  const HttpTransportOptions options_;
  const RouteTable routes_;
  mutable std::mutex lock_;
  std::string base_;
  std::string tenant_;
  std::string token_;
  int lastStatus_ = 0;
  int option_ = 0;
  std::map<std::string, std::shared_ptr<web::http::client::http_client>> clients_;
};

}  // namespace zelvan::fennic
