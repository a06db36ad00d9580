#include "HttpRestClient.h"

#include <cpprest/http_msg.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "ClientNote.h"
#include "CurlExchange.h"
#include "DownloadSink.h"
#include "LocalTarget.h"
#include "PackageStore.h"
#include "Sha256.h"
#include "TextConversion.h"

// Package downloads: the details answer read, the partial file resumed
// under the package's identity, the size and checksum verified, and the
// package moved into place and kept in the store.
namespace zelvan::fennic {

namespace http = web::http;
namespace fs = std::filesystem;

namespace {

// Partial files this old belong to no download that can still be running.
constexpr auto kStalePartialAge = std::chrono::hours(24 * 7);

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

std::string VersionOf(const web::json::value& details, const web::json::value& urlSource) {
  std::string version = ReadText(details, "Version");
  if (version.empty() && urlSource.is_object()) version = ReadText(urlSource, "Version");
  return version.empty() ? "unversioned" : version;
}

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// Opens the partial file for reading and appending without following a
// link, and only when it is a plain file of its own (no second hard link
// that writes would go through); otherwise the name is replaced.
int OpenPartial(const fs::path& partial, std::string& reason) {
  const int flags = O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(partial.c_str(), flags, 0600);
  struct stat info {};
  if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1) return fd;
  if (fd >= 0) ::close(fd);
  ::unlink(partial.c_str());
  fd = ::open(partial.c_str(), flags | O_EXCL, 0600);
  if (fd < 0) reason = "cannot create " + partial.string() + ": " + std::strerror(errno);
  return fd;
}

// Partial files of the same package name under another identity (a link
// that is no longer pending) and any left for a week go.
void DropStalePartials(const fs::path& folder, const std::string& name, const std::string& keep) {
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry == keep || entry.size() < 6 || entry[0] != '.' || entry.compare(entry.size() - 5, 5, ".part") != 0)
      continue;
    std::error_code statEc;
    const bool sameName = entry.rfind("." + name + ".", 0) == 0;
    const auto age = now - fs::last_write_time(it->path(), statEc);
    if (!it->is_symlink(statEc) && (sameName || (!statEc && age > kStalePartialAge))) {
      fs::remove(it->path(), statEc);
      ClientNote(2, "DownloadFile", "Removed the stale partial download " + entry);
    }
  }
}

std::unique_ptr<Sha256> HashOfExisting(int fd, uint64_t& existing) {
  auto sha = std::make_unique<Sha256>();
  std::vector<unsigned char> chunk(1 << 16);
  uint64_t hashed = 0;
  while (hashed < existing) {
    const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(hashed));
    if (got <= 0) break;
    sha->Update(chunk.data(), static_cast<size_t>(got));
    hashed += static_cast<uint64_t>(got);
  }
  if (hashed != existing) {
    // Unreadable: start over rather than resume on unknown bytes.
    existing = 0;
    if (::ftruncate(fd, 0) != 0) ClientNote(3, "DownloadFile", "cannot reset an unreadable partial download");
    return std::make_unique<Sha256>();
  }
  return sha;
}

}  // namespace

bool HttpRestClient::DownloadFile(const std::string& answer, const std::wstring& localPath, std::wstring& reason,
                                  web::json::value& urlSource, std::wstring& product) {
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
    ok = DownloadInto(details, ToUtf8(localPath), ToUtf8(product), urlSource, why);
  } catch (const http::http_exception& e) {
    why = std::string("transfer failed: ") + e.what();
  } catch (const std::exception& e) {
    why = std::string("download failed: ") + e.what();
  }
  if (!ok && why.empty()) why = "download failed";
  if (!ok) {
    ClientNote(3, "DownloadFile", why);
    std::lock_guard<std::mutex> hold(lock_);
    lastFailure_ = why;
  }
  reason = ok ? std::wstring() : ToWide(why);
  return ok;
}

bool HttpRestClient::DownloadInto(const std::string& answer, const std::string& localPath, const std::string& product,
                                  const web::json::value& urlSource, std::string& reason) {
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

  // Everything about the request is checked before the partial file exists.
  const Snapshot now = Take();
  if (link[0] == '/' && now.base.empty()) {
    reason = "no tenant endpoint for the download link";
    return false;
  }
  const HttpAddress address = link[0] == '/' ? Below(ParseHttpAddress(now.base, options_.allowPlainHttp), link)
                                             : ParseHttpAddress(link, options_.allowPlainHttp);
  CurlRequest request = Addressed(address, now);

  // The partial file is named after the package identity, so only a partial
  // download of the same package is resumed.
  Sha256 identity;
  const std::string idText = link + "|" + std::to_string(expectedSize) + "|" + expectedSha;
  identity.Update(idText.data(), idText.size());
  const std::string partialName = "." + target->name + "." + identity.HexDigest().substr(0, 12) + ".part";
  const fs::path partial = target->folder / partialName;
  const fs::path finalPath = target->folder / target->name;
  DropStalePartials(target->folder, target->name, partialName);

  FileCloser file{OpenPartial(partial, reason)};
  if (file.fd < 0) return false;
  std::error_code ec;
  auto fail = [&](std::string why, bool dropPartial) {
    struct stat info {};
    if (dropPartial || (::fstat(file.fd, &info) == 0 && info.st_size == 0)) fs::remove(partial, ec);
    reason = std::move(why);
    return false;
  };
  struct stat info {};
  uint64_t existing = ::fstat(file.fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  if (expectedSize >= 0 && existing > static_cast<uint64_t>(expectedSize)) {
    if (::ftruncate(file.fd, 0) != 0) return fail("cannot reset " + partial.string(), true);
    existing = 0;
  }
  const bool checkSha = !expectedSha.empty();
  std::unique_ptr<Sha256> primed;
  if (checkSha) primed = existing > 0 ? HashOfExisting(file.fd, existing) : std::make_unique<Sha256>();

  const uint64_t whole = expectedSize > 0 ? static_cast<uint64_t>(expectedSize) : 0;
  DownloadSink sink(file.fd, existing, whole, std::move(primed));
  uint64_t total = existing;
  if (!(whole > 0 && existing == whole)) {
    if (whole > 0) {
      // Progress in quarters, counted over the whole package.
      auto next = std::make_shared<int>(1);
      const std::string shown = target->name;
      sink.OnProgress([next, whole, shown](uint64_t done) {
        while (*next <= 4 && done * 4 >= whole * static_cast<uint64_t>(*next)) {
          ClientNote(2, "DownloadFile", "Download progress " + shown + ": " + std::to_string(*next * 25) + "% (" +
                                            std::to_string(std::min(done, whole)) + " of " + std::to_string(whole) +
                                            " bytes)");
          ++*next;
        }
      });
    }
    if (existing > 0) request.headers.push_back("Range: bytes=" + std::to_string(existing) + "-");
    request.timeout = options_.downloadTimeout;
    request.onBody = [&sink](const CurlAnswer& head, const char* data, size_t size) {
      return sink.Take(head.status, head.contentRange, data, size);
    };
    CurlAnswer got;
    try {
      got = exchange_->Run(std::move(request));
    } catch (const http::http_exception& e) {
      Settle(0, "", e.what());
      if (sink.Failure().empty()) sink.Finish();  // what arrived stays for the resume
      if (!sink.Failure().empty()) return fail(sink.Failure(), true);
      fail("", false);
      throw;
    }
    if (!sink.Failure().empty() || !sink.Finish()) return fail(sink.Failure(), true);
    if (got.status != 200 && got.status != 206) {
      Settle(got.status, got.retryAfter, "");
      return fail("server answered HTTP " + std::to_string(got.status) + " to package download", false);
    }
    Settle(got.status, got.retryAfter, "");
    // A 206 without a body (nothing was left) keeps what is on disk.
    total = sink.Kind() == DownloadSink::Mode::Waiting ? (got.status == 206 ? existing : 0) : sink.Total();
  }

  if (expectedSize >= 0 && total != static_cast<uint64_t>(expectedSize))
    return fail("package has " + std::to_string(total) + " bytes, expected " + std::to_string(expectedSize),
                total > static_cast<uint64_t>(expectedSize));
  if (checkSha) {
    const std::string actual = sink.Hash()->HexDigest();
    if (actual != expectedSha)
      return fail("package checksum mismatch: expected " + expectedSha + ", got " + actual, true);
  }
  if (::fsync(file.fd) != 0) return fail("cannot flush " + partial.string(), false);
  fs::rename(partial, finalPath, ec);
  if (ec) return fail("cannot move the package into place: " + ec.message(), true);
  ClientNote(2, "DownloadFile", "Downloaded " + finalPath.string() + " (" + std::to_string(total) + " bytes" +
                                    (checkSha ? ", SHA-256 verified)" : ")"));
  if (options_.packageStoreFolder.empty()) return true;
  if (product.empty()) {
    ClientNote(2, "DownloadFile", "No product for " + target->name + "; not kept in the package store");
    return true;
  }
  const std::string version = VersionOf(doc, urlSource);
  reason = PackageStore(options_.packageStoreFolder).Keep(finalPath.string(), product, version, target->name);
  if (!reason.empty()) return false;
  ClientNote(2, "DownloadFile", "Kept " + target->name + " in the package store as " + product + "/" + version);
  return true;
}

}  // namespace zelvan::fennic
