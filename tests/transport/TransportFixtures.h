#pragma once

#include <cpprest/http_listener.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BodySource.h"
#include "HttpRestClient.h"
#include "ManagementServer.h"
#include "Sha256.h"
#include "TextConversion.h"
#include "../support/ScratchFolder.h"

namespace fennic_test {

using zelvan::fennic::FreeLoopbackPort;
using zelvan::fennic::HttpTransportOptions;
using zelvan::fennic::Sha256;
namespace fs = std::filesystem;
namespace http = web::http;

struct SeenRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;
  std::string body;
};

// What the listener answers: a status, a body, and optionally a point after
// which the body breaks off (the connection is dropped) or a delay.
struct Reply {
  Reply(int s = 200, std::string b = "", long cut = -1, int delay = 0)
      : status(s), body(std::move(b)), breakAfter(cut), delayMs(delay) {}
  int status = 200;
  std::string body;
  long breakAfter = -1;
  int delayMs = 0;
  std::vector<std::pair<std::string, std::string>> headers;
};

// An HTTP listener on 127.0.0.1 and a free port whose replies the test
// scripts; it keeps every request it saw.
class ScriptedListener {
 public:
  using Script = std::function<Reply(const SeenRequest&)>;
  explicit ScriptedListener(Script script) : script_(std::move(script)) {
    for (int attempt = 0; attempt < 20 && !listener_; ++attempt) {
      const int port = FreeLoopbackPort();
      auto l = std::make_unique<http::experimental::listener::http_listener>("http://127.0.0.1:" +
                                                                             std::to_string(port));
      l->support([this](http::http_request request) { Answer(request); });
      try {
        l->open().wait();
        listener_ = std::move(l);
        port_ = port;
      } catch (const std::exception&) {
      }
    }
    if (!listener_) throw std::runtime_error("no loopback port for the scripted listener");
  }
  ~ScriptedListener() {
    try {
      listener_->close().wait();
    } catch (const std::exception&) {
    }
  }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int Port() const { return port_; }
  std::vector<SeenRequest> Seen() {
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
  }

 private:
  void Answer(http::http_request request) {
    SeenRequest seen{request.method(), request.relative_uri().to_string(), {}, {}};
    for (const auto& h : request.headers()) seen.headers[h.first] = h.second;
    try {
      seen.body = request.extract_utf8string(true).get();
    } catch (const std::exception&) {
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      seen_.push_back(seen);
    }
    Reply reply = script_(seen);
    if (reply.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    http::http_response response(static_cast<http::status_code>(reply.status));
    for (const auto& h : reply.headers) response.headers().add(h.first, h.second);
    const uint64_t length = reply.body.size();
    auto source = zelvan::fennic::BodySource::OfText(
        reply.body, reply.breakAfter >= 0 ? static_cast<uint64_t>(reply.breakAfter) : length);
    response.set_body(concurrency::streams::istream(concurrency::streams::streambuf<uint8_t>(source)), length,
                      "application/octet-stream");
    try {
      request.reply(response).wait();
    } catch (const std::exception&) {
    }
  }

  Script script_;
  int port_ = 0;
  std::unique_ptr<http::experimental::listener::http_listener> listener_;
  std::mutex lock_;
  std::vector<SeenRequest> seen_;
};

// What `step` throws as an `Error`; "" when it throws nothing.
template <class Error = std::runtime_error, class Step>
std::string Refusal(Step step) {
  try {
    step();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

inline HttpTransportOptions FastOptions(const std::string& folder = "") {
  HttpTransportOptions o;
  o.connectTimeout = std::chrono::milliseconds(1000);
  o.requestTimeout = std::chrono::milliseconds(1500);
  o.downloadTimeout = std::chrono::milliseconds(5000);
  o.downloadFolder = folder;
  return o;
}

inline std::string Sha(const std::string& text) {
  Sha256 s;
  s.Update(text.data(), text.size());
  return s.HexDigest();
}

inline std::string Details(const std::string& link, long size, const std::string& sha, int status = 200) {
  web::json::value v = web::json::value::object();
  v["validateResponseStatus"] = web::json::value::boolean(true);
  v["StatusCode"] = web::json::value::number(status);
  v["DownloadLink"] = web::json::value::string(link);
  if (size >= 0) v["FileSize"] = web::json::value::number(static_cast<int64_t>(size));
  if (!sha.empty()) v["SHA256"] = web::json::value::string(sha);
  return v.serialize();
}

// A package of known bytes, large enough to span many network reads.
inline std::string Package(size_t size) {
  std::string p(size, '\0');
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return p;
}

// DownloadFile into `folder`/`name`: whether it succeeded, and the reason.
inline std::pair<bool, std::string> Fetch(zelvan::fennic::HttpRestClient& client, const std::string& details,
                                          const fs::path& folder, const std::string& name = "pkg.bin",
                                          const std::string& product = "") {
  web::json::value source;
  std::wstring wideProduct = zelvan::fennic::ToWide(product), reason = L"stale";  // a success clears it
  const bool ok = client.DownloadFile(details, zelvan::fennic::ToWide(folder.string() + "\\" + name), reason, source,
                                      wideProduct);
  return {ok, zelvan::fennic::ToUtf8(reason)};
}

// The package, or the rest of it from where a Range header asks.
inline Reply RangedReply(const std::string& package, const SeenRequest& r) {
  auto range = r.headers.find("Range");
  if (range == r.headers.end()) return Reply{200, package};
  const size_t from = std::stoul(range->second.substr(6));
  Reply partial{206, package.substr(from)};
  partial.headers.push_back({"Content-Range", "bytes " + std::to_string(from) + "-" +
                                                  std::to_string(package.size() - 1) + "/" +
                                                  std::to_string(package.size())});
  return partial;
}

}  // namespace fennic_test
