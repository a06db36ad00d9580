#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "HttpAddress.h"

namespace zelvan::fennic {

// Connection settings shared by every exchange of one transport.
struct CurlSettings {
  std::string caFile;
  std::string proxy;  // empty: the environment's http_proxy, https_proxy and no_proxy
  std::string clientCertFile;
  std::string clientKeyFile;
  bool allowPlainHttp = false;
  std::chrono::milliseconds connectTimeout{3000};
};

// One HTTP exchange, redirects included.
struct CurlRequest {
  std::string method = "GET";
  HttpAddress address;
  std::string body;
  std::vector<std::string> headers;
  // Sent only while the exchange stays on `credentialOrigin`; dropped for
  // good on the first hop that leaves it.
  std::vector<std::string> credentials;
  std::string credentialOrigin;
  std::chrono::milliseconds timeout{5000};
  // Longest answer body kept in memory; a longer one ends the exchange.
  // Zero: no limit. Streamed bodies (onBody) are never limited here.
  uint64_t maxBodyBytes = 0;
  // Downloads stream the final answer's body here instead of keeping it:
  // called once per chunk with the answer's status and headers so far
  // (redirect pages never reach it); false aborts the transfer.
  std::function<bool(const struct CurlAnswer& head, const char* data, size_t size)> onBody;
};

struct CurlAnswer {
  int status = 0;
  std::string body;        // empty when streamed through onBody
  std::string retryAfter;  // the Retry-After header as sent, if any
  std::string contentRange;
  std::string finalUrl;
};

// Runs exchanges on libcurl easy handles taken from a small pool, so
// connections stay alive between calls without a thread of their own.
// Safe to call from several threads at once. Redirects are followed here,
// at most 5, each hop checked again (CheckRedirectHop).
class CurlExchange {
 public:
  explicit CurlExchange(CurlSettings settings);
  ~CurlExchange();
  CurlExchange(const CurlExchange&) = delete;
  CurlExchange& operator=(const CurlExchange&) = delete;

  // Throws web::http::http_exception with one line when no answer came
  // ("no answer from ORIGIN (why)") or a redirect was refused.
  CurlAnswer Run(CurlRequest request);
  // Closes every kept connection.
  void Forget();
  // Ends every exchange in flight at once (their sockets are shut down) and
  // refuses every later one: for a stop. Each ends with an http_exception
  // that says it was aborted by the stop. Any thread.
  void Abort();
  size_t KeptHandles() const;

  static constexpr int kMaxRedirects = 5;

 private:
  struct Handle;
  std::unique_ptr<Handle> Take();
  void Give(std::unique_ptr<Handle> handle);
  void Prepare(Handle& handle, const CurlRequest& request) const;
  CurlAnswer RunHop(Handle& handle, const CurlRequest& request, bool withCredentials);

  static curl_socket_t OpenSocket(void* self, curlsocktype, struct curl_sockaddr* address);
  static int CloseSocket(void* self, curl_socket_t socket);

  const CurlSettings settings_;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<Handle>> idle_;
  // Every socket libcurl holds open, so Abort can shut them down.
  std::mutex socketsLock_;
  std::set<int> sockets_;
  std::atomic<bool> aborted_{false};
};

}  // namespace zelvan::fennic
