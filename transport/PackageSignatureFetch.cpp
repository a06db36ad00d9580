// libcurl's header comes before cpprest's: cpprest defines "dllimport" as
// nothing, which breaks curl.h's attribute test under clang.
#include <curl/curl.h>

#include "HttpRestClient.h"

#include <cpprest/http_msg.h>

#include <string>

#include "ClientNote.h"
#include "CurlExchange.h"

// The publisher's signature of a package: fetched beside it and checked as
// far as it can be before the package is asked for; and the offers whose
// signature refused them, so they are not fetched again.
namespace zelvan::fennic {

namespace http = web::http;

namespace {

// "<address>.minisig", the query (if any) kept after it.
HttpAddress SignatureAddress(HttpAddress package) {
  const auto query = package.target.find('?');
  package.target.insert(query == std::string::npos ? package.target.size() : query, ".minisig");
  return package;
}

// An address for log lines and reasons: without its query, which may carry
// a secret.
std::string Shown(const HttpAddress& address) { return address.origin + address.target.substr(0, address.target.find('?')); }

}  // namespace

bool HttpRestClient::ObtainSignature(const CurlRequest& package, const PackageTrust& trust, const std::string& name,
                                     std::unique_ptr<PackageSignature>& signature, std::string& reason) {
  if (trust.policy == SignaturePolicy::Off) return true;
  CurlRequest request = package;
  request.address = SignatureAddress(package.address);
  request.timeout = options_.requestTimeout;
  const std::string shown = Shown(request.address);
  std::string text;
  bool tooLarge = false;
  request.onBody = [&text, &tooLarge](const CurlAnswer& head, const char* data, size_t size) {
    if (head.status != 200) return true;  // an error page is not kept
    tooLarge = text.size() + size > kMaxSignatureBytes;
    if (!tooLarge) text.append(data, size);
    return !tooLarge;
  };
  CurlAnswer got;
  try {
    got = exchange_->Run(std::move(request));
  } catch (const http::http_exception&) {
    if (!tooLarge) throw;
  }
  if (tooLarge) {
    reason = "malformed signature file: longer than " + std::to_string(kMaxSignatureBytes) + " bytes";
    return false;
  }
  if (got.status == 404 || got.status == 410) {
    if (trust.policy == SignaturePolicy::Require) {
      reason = "no signature: " + shown + " answered HTTP " + std::to_string(got.status);
      return false;
    }
    ClientNote(3, "DownloadFile", "No signature for " + name + " (" + shown + " answered HTTP " +
                                      std::to_string(got.status) + "); accepted under \"verify-if-present\"");
    return true;
  }
  if (got.status != 200) {
    reason = "signature not fetched: " + shown + " answered HTTP " + std::to_string(got.status);
    return false;
  }
  signature = PackageSignature::Parse(text, reason);
  if (signature) reason = signature->CheckHeader(trust.keys, name);
  return signature && reason.empty();
}

std::string HttpRestClient::RefusedBefore(const std::string& offer) const {
  std::lock_guard<std::mutex> hold(lock_);
  const auto it = refused_.find(offer);
  return it == refused_.end() ? std::string() : it->second;
}

void HttpRestClient::RememberRefusal(const std::string& offer, const std::string& reason) {
  constexpr size_t kRemembered = 64;
  std::lock_guard<std::mutex> hold(lock_);
  if (!refused_.emplace(offer, reason).second) return;
  refusedOrder_.push_back(offer);
  if (refusedOrder_.size() > kRemembered) {
    refused_.erase(refusedOrder_.front());
    refusedOrder_.pop_front();
  }
}

}  // namespace zelvan::fennic
