#include "CurlExchange.h"

#include <cpprest/http_msg.h>
#include <curl/curl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <system_error>

namespace zelvan::fennic {

namespace http = web::http;

namespace {

constexpr size_t kKeptHandles = 4;
constexpr long kDownloadBuffer = 512 * 1024;

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Case-insensitive header match; gives the trimmed value.
bool HeaderValue(const char* line, size_t size, const char* name, std::string& value) {
  const size_t n = std::strlen(name);
  if (size <= n || line[n] != ':' || ::strncasecmp(line, name, n) != 0) return false;
  size_t from = n + 1, to = size;
  while (from < to && std::isspace(static_cast<unsigned char>(line[from]))) ++from;
  while (to > from && std::isspace(static_cast<unsigned char>(line[to - 1]))) --to;
  value.assign(line + from, to - from);
  return true;
}

struct HopState {
  const CurlRequest* request;
  CurlAnswer* answer;
  CURL* curl;
  const std::atomic<bool>* aborted;
  bool stoppedByCaller = false;
  bool tooLarge = false;
};

// Also ends an exchange that a stop caught before its socket existed.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<HopState*>(user)->aborted->load() ? 1 : 0;
}

size_t OnHeader(char* data, size_t, size_t size, void* user) {
  auto* state = static_cast<HopState*>(user);
  if (size >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
    // A new status line (after a 1xx answer, say): forget the previous one's headers.
    state->answer->retryAfter.clear();
    state->answer->contentRange.clear();
  }
  HeaderValue(data, size, "Retry-After", state->answer->retryAfter);
  HeaderValue(data, size, "Content-Range", state->answer->contentRange);
  return size;
}

size_t OnBody(char* data, size_t, size_t size, void* user) {
  auto* state = static_cast<HopState*>(user);
  long status = 0;
  curl_easy_getinfo(state->curl, CURLINFO_RESPONSE_CODE, &status);
  if (IsRedirect(static_cast<int>(status))) return size;  // the redirect's own page
  if (!state->request->onBody) {
    const uint64_t limit = state->request->maxBodyBytes;
    if (limit != 0 && state->answer->body.size() + size > limit) {
      state->tooLarge = true;
      return 0;
    }
    state->answer->body.append(data, size);
    return size;
  }
  state->answer->status = static_cast<int>(status);
  if (state->request->onBody(*state->answer, data, size)) return size;
  state->stoppedByCaller = true;
  return 0;
}

std::string LowerFirst(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

// One line on a failed hop that says what happened: nothing sent, no
// answer, an answer that is not HTTP or that broke off.
std::string FailureLine(CURLcode code, long status, long osError, const char* error, const CurlRequest& request) {
  const std::string& origin = request.address.origin;
  const std::string detail = error[0] != '\0' ? error : curl_easy_strerror(code);
  switch (code) {
    case CURLE_URL_MALFORMAT:
      return "request to " + origin + " not sent (malformed address: " + detail + ")";
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
      return "answer from " + origin + " is not HTTP (" + detail + ")";
    case CURLE_OUT_OF_MEMORY:
      // libcurl refuses answer headers past its limit this way.
      return "answer from " + origin + " refused (headers too large, or out of memory)";
    case CURLE_OPERATION_TIMEDOUT:
      return (status == 0 ? "no answer from " : "answer from ") + origin + (status == 0 ? " (" : " broke off (") +
             "timed out after " + std::to_string(request.timeout.count()) + " ms)";
    default:
      break;
  }
  const std::string why =
      code == CURLE_COULDNT_CONNECT && osError != 0 ? LowerFirst(std::strerror(static_cast<int>(osError))) : detail;
  return (status == 0 ? "no answer from " : "answer from ") + origin + (status == 0 ? " (" : " broke off (") + why + ")";
}

}  // namespace

struct CurlExchange::Handle {
  CURL* curl = curl_easy_init();
  char error[CURL_ERROR_SIZE] = {};
  ~Handle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

CurlExchange::CurlExchange(CurlSettings settings) : settings_(std::move(settings)) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
}

CurlExchange::~CurlExchange() {
  idle_.clear();
  curl_global_cleanup();
}

std::unique_ptr<CurlExchange::Handle> CurlExchange::Take() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!idle_.empty()) {
      auto handle = std::move(idle_.back());
      idle_.pop_back();
      return handle;
    }
  }
  auto handle = std::make_unique<Handle>();
  if (handle->curl == nullptr) throw http::http_exception("cannot start an HTTP exchange");
  return handle;
}

void CurlExchange::Give(std::unique_ptr<Handle> handle) {
  // A reset keeps the handle's live connections, which is the point of keeping it.
  curl_easy_reset(handle->curl);
  std::lock_guard<std::mutex> hold(lock_);
  if (idle_.size() < kKeptHandles) idle_.push_back(std::move(handle));
}

void CurlExchange::Forget() {
  std::lock_guard<std::mutex> hold(lock_);
  idle_.clear();
}

curl_socket_t CurlExchange::OpenSocket(void* self, curlsocktype, struct curl_sockaddr* address) {
  auto* exchange = static_cast<CurlExchange*>(self);
  std::lock_guard<std::mutex> hold(exchange->socketsLock_);
  if (exchange->aborted_.load()) return CURL_SOCKET_BAD;
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd >= 0) exchange->sockets_.insert(fd);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

int CurlExchange::CloseSocket(void* self, curl_socket_t socket) {
  auto* exchange = static_cast<CurlExchange*>(self);
  // Closed under the lock, so Abort never shuts down a number reused meanwhile.
  std::lock_guard<std::mutex> hold(exchange->socketsLock_);
  exchange->sockets_.erase(socket);
  return ::close(socket);
}

void CurlExchange::Abort() {
  std::lock_guard<std::mutex> hold(socketsLock_);
  aborted_.store(true);
  for (const int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
}

size_t CurlExchange::KeptHandles() const {
  std::lock_guard<std::mutex> hold(lock_);
  return idle_.size();
}

CurlAnswer CurlExchange::Run(CurlRequest request) {
  struct Lease {
    CurlExchange* owner;
    std::unique_ptr<Handle> handle;
    ~Lease() { owner->Give(std::move(handle)); }
  } lease{this, Take()};
  const auto deadline = std::chrono::steady_clock::now() + request.timeout;
  bool withCredentials = request.address.origin == request.credentialOrigin;
  for (int hop = 0;; ++hop) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    request.timeout = std::max(left, std::chrono::milliseconds(1));
    CurlAnswer answer = RunHop(*lease.handle, request, withCredentials);
    char* location = nullptr;
    curl_easy_getinfo(lease.handle->curl, CURLINFO_REDIRECT_URL, &location);
    if (!IsRedirect(answer.status) || location == nullptr) return answer;
    if (hop == kMaxRedirects)
      throw http::http_exception("more than " + std::to_string(kMaxRedirects) + " redirects from " +
                                 request.address.origin);
    HttpAddress next = CheckRedirectHop(request.address, location, settings_.allowPlainHttp);
    // Once the exchange has left the credentials' origin it never gets them back.
    if (next.origin != request.credentialOrigin) withCredentials = false;
    if (answer.status == 303 || (answer.status != 307 && answer.status != 308 && request.method == "POST")) {
      request.method = "GET";
      request.body.clear();
    }
    request.address = std::move(next);
  }
}

// Sets every option of one hop but its headers and callbacks.
void CurlExchange::Prepare(Handle& handle, const CurlRequest& request) const {
  CURL* curl = handle.curl;
  curl_easy_setopt(curl, CURLOPT_URL, request.address.Url().c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, handle.error);
  handle.error[0] = '\0';
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  if (request.onBody) {
    // A stalled download ends long before its overall limit.
    const long stall = std::max<long>(10, static_cast<long>(settings_.connectTimeout.count() / 1000));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kDownloadBuffer);
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!settings_.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.caFile.c_str());
  if (!settings_.clientCertFile.empty()) curl_easy_setopt(curl, CURLOPT_SSLCERT, settings_.clientCertFile.c_str());
  if (!settings_.clientKeyFile.empty()) curl_easy_setopt(curl, CURLOPT_SSLKEY, settings_.clientKeyFile.c_str());
  if (!settings_.proxy.empty()) {
    // The configured proxy replaces the environment's, no_proxy included.
    curl_easy_setopt(curl, CURLOPT_PROXY, settings_.proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  }
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);  // left from an earlier hop otherwise
  if (request.method == "GET" && request.body.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    // A body goes along whatever the method, as the route asks.
    if (request.method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }
}

CurlAnswer CurlExchange::RunHop(Handle& handle, const CurlRequest& request, bool withCredentials) {
  CURL* curl = handle.curl;
  CurlAnswer answer;
  HopState state{&request, &answer, curl, &aborted_};
  if (aborted_.load()) throw http::http_exception("request to " + request.address.origin + " not sent: the agent is stopping");
  Prepare(handle, request);
  struct curl_slist* headers = curl_slist_append(nullptr, "Expect:");  // no wait for a 100 answer
  for (const auto& h : request.headers) headers = curl_slist_append(headers, h.c_str());
  if (withCredentials)
    for (const auto& h : request.credentials) headers = curl_slist_append(headers, h.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &CurlExchange::OpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &CurlExchange::CloseSocket);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &state);

  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  answer.status = static_cast<int>(status);
  answer.finalUrl = request.address.Url();
  if (code == CURLE_OK) return answer;
  // Whatever error the shut-down socket gave, the cause is the stop.
  if (aborted_.load()) throw http::http_exception("transfer from " + request.address.origin + " aborted by the stop");
  if (state.tooLarge)
    throw http::http_exception("answer from " + request.address.origin + " is longer than " +
                               std::to_string(request.maxBodyBytes) + " bytes");
  if (state.stoppedByCaller) throw http::http_exception("transfer from " + request.address.origin + " stopped");
  long osError = 0;
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
  const std::string line = FailureLine(code, status, osError, handle.error, request);
  if (code == CURLE_OPERATION_TIMEDOUT) throw http::http_exception(std::make_error_code(std::errc::timed_out), line);
  throw http::http_exception(line);
}

}  // namespace zelvan::fennic
