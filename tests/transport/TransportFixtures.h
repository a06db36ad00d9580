#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HttpRestClient.h"
#include "ScriptedListener.h"
#include "Sha256.h"
#include "TextConversion.h"

// Helpers shared by the transport's tests.
namespace fennic_test {

using zelvan::fennic::HttpTransportOptions;
using zelvan::fennic::Sha256;
namespace fs = std::filesystem;

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

inline std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
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

struct TempFolder {
  fs::path path;
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "fennic-transport-XXXXXX").string();
    path = ::mkdtemp(&pattern[0]);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(path)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
};

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
