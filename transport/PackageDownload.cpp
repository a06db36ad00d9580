// libcurl's header comes before cpprest's: cpprest defines "dllimport" as
// nothing, which breaks curl.h's attribute test under clang.
#include <curl/curl.h>

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

// Package downloads: the details answer read, the publisher's signature
// obtained (PackageSignatureFetch.cpp), the partial file resumed under the
// package's identity, the size, checksum and signature verified, and only
// then the package moved into place and kept in the store.
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

// Digests over what a partial file already holds, so a resumed package is
// still verified over every byte.
std::unique_ptr<PackageDigests> HashOfExisting(int fd, uint64_t& existing, std::unique_ptr<PackageDigests> digests) {
  std::vector<unsigned char> chunk(1 << 16);
  uint64_t hashed = 0;
  while (hashed < existing) {
    const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(hashed));
    if (got <= 0) break;
    digests->Update(chunk.data(), static_cast<size_t>(got));
    hashed += static_cast<uint64_t>(got);
  }
  if (hashed != existing) {
    // Unreadable: start over rather than resume on unknown bytes.
    existing = 0;
    if (::ftruncate(fd, 0) != 0) ClientNote(3, "DownloadFile", "cannot reset an unreadable partial download");
    return digests->Fresh();
  }
  return digests;
}

// What a download details answer says about the package.
struct PackageDetails {
  web::json::value doc;
  std::string link;
  int64_t size = -1;
  std::string sha;  // lower case; empty: not checked
};

bool ReadDetails(const std::string& answer, PackageDetails& details, std::string& reason) {
  if (answer.empty()) {
    reason = "no download details";
    return false;
  }
  try {
    details.doc = web::json::value::parse(answer);
  } catch (const web::json::json_exception& e) {
    reason = std::string("download details are not JSON: ") + e.what();
    return false;
  }
  if (!details.doc.is_object()) {
    reason = "download details are not a JSON object";
    return false;
  }
  const int64_t statusCode = ReadSize(details.doc, "StatusCode");
  if (statusCode != 200) {
    reason = "download details carry StatusCode " + std::to_string(statusCode);
    return false;
  }
  details.link = ReadText(details.doc, "DownloadLink");
  if (details.link.empty()) {
    reason = "download details carry no DownloadLink";
    return false;
  }
  details.size = ReadSize(details.doc, "FileSize");
  details.sha = ReadText(details.doc, "SHA256");
  for (auto& c : details.sha) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return true;
}

// What identifies one offered package: its link, size and checksum.
std::string Identity(const PackageDetails& details) {
  Sha256 identity;
  const std::string idText = details.link + "|" + std::to_string(details.size) + "|" + details.sha;
  identity.Update(idText.data(), idText.size());
  return identity.HexDigest();
}

// The partial file is named after the package identity, so only a partial
// download of the same package is resumed.
std::string PartialName(const std::string& name, const std::string& identity) {
  return "." + name + "." + identity.substr(0, 12) + ".part";
}

// Progress in quarters, counted over the whole package.
void LogProgress(DownloadSink& sink, uint64_t whole, const std::string& shown) {
  auto next = std::make_shared<int>(1);
  sink.OnProgress([next, whole, shown](uint64_t done) {
    while (*next <= 4 && done * 4 >= whole * static_cast<uint64_t>(*next)) {
      ClientNote(2, "DownloadFile", "Download progress " + shown + ": " + std::to_string(*next * 25) + "% (" +
                                        std::to_string(std::min(done, whole)) + " of " + std::to_string(whole) +
                                        " bytes)");
      ++*next;
    }
  });
}

// A verified package goes into the store under its product and version;
// a non-empty text when the store refused it.
std::string KeepInStore(const std::string& store, const fs::path& package, const std::string& product,
                        const std::string& version) {
  const std::string name = package.filename().string();
  if (product.empty()) {
    ClientNote(2, "DownloadFile", "No product for " + name + "; not kept in the package store");
    return {};
  }
  const std::string refused = PackageStore(store).Keep(package.string(), product, version, name);
  if (refused.empty()) {
    ClientNote(2, "DownloadFile", "Kept " + name + " in the package store as " + product + "/" + version);
  } else {
    // A package that failed is not left behind in the download folder.
    std::error_code ec;
    fs::remove(package, ec);
  }
  return refused;
}

}  // namespace

// The partial file of one download and what it held before this transfer.
struct HttpRestClient::PartialDownload {
  PartialDownload(fs::path at, std::string& why) : path(std::move(at)), reason(why) {}
  PartialDownload(const PartialDownload&) = delete;
  PartialDownload& operator=(const PartialDownload&) = delete;
  ~PartialDownload() {
    if (fd >= 0) ::close(fd);
  }

  // Opens the file and takes what it holds as the start, rehashed when the
  // checksum or a signature is checked; a file longer than the package
  // starts over.
  bool Open(const PackageDetails& details, bool checkSignature) {
    fd = OpenPartial(path, reason);
    if (fd < 0) return false;
    struct stat info {};
    existing = ::fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    if (details.size >= 0 && existing > static_cast<uint64_t>(details.size)) {
      if (::ftruncate(fd, 0) != 0) return Fail("cannot reset " + path.string(), true);
      existing = 0;
    }
    if (!details.sha.empty() || checkSignature) {
      primed = std::make_unique<PackageDigests>(!details.sha.empty(), checkSignature);
      if (existing > 0) primed = HashOfExisting(fd, existing, std::move(primed));
    }
    whole = details.size > 0 ? static_cast<uint64_t>(details.size) : 0;
    return true;
  }

  // Sets the reason and returns false; the file goes when `drop`, or while
  // it is still empty.
  bool Fail(std::string why, bool drop) {
    struct stat info {};
    std::error_code ec;
    if (drop || (::fstat(fd, &info) == 0 && info.st_size == 0)) fs::remove(path, ec);
    reason = std::move(why);
    return false;
  }

  // Checks the package against its details and its signature (null: none
  // to check), and only then moves it to `finalPath`. `refused` is set when
  // the signature refused it.
  bool Finish(const PackageDetails& details, const PackageSignature* signature, DownloadSink& sink, uint64_t total,
              const fs::path& finalPath, bool& refused) {
    if (details.size >= 0 && total != static_cast<uint64_t>(details.size))
      return Fail("package has " + std::to_string(total) + " bytes, expected " + std::to_string(details.size),
                  total > static_cast<uint64_t>(details.size));
    PackageDigests* digests = sink.Hash();
    if (digests != nullptr && sink.Unreadable()) return Fail("cannot read the package back to verify it", true);
    const bool checkSha = !details.sha.empty();
    if (checkSha) {
      const std::string actual = digests->sha256->HexDigest();
      if (actual != details.sha)
        return Fail("package checksum mismatch: expected " + details.sha + ", got " + actual, true);
    }
    if (signature != nullptr) {
      std::string why = signature->CheckPrehash(digests->blake2b->Bytes());
      refused = !why.empty();
      if (refused) return Fail(std::move(why), true);
    }
    if (::fsync(fd) != 0) return Fail("cannot flush " + path.string(), false);
    std::error_code ec;
    fs::rename(path, finalPath, ec);
    if (ec) return Fail("cannot move the package into place: " + ec.message(), true);
    std::string checks = checkSha ? ", SHA-256 verified" : "";
    if (signature != nullptr) checks += ", signed by key " + signature->KeyIdText();
    ClientNote(2, "DownloadFile", "Downloaded " + finalPath.string() + " (" + std::to_string(total) + " bytes" +
                                      checks + ")");
    return true;
  }

  const fs::path path;
  std::string& reason;
  int fd = -1;
  uint64_t existing = 0;  // bytes on disk before the transfer
  uint64_t whole = 0;     // the package's size; 0 when not given
  std::unique_ptr<PackageDigests> primed;  // the digests over `existing`, when checked
};

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
  PackageDetails details;
  if (!ReadDetails(answer, details, reason)) return false;
  auto target = ResolveLocalTarget(localPath, options_.downloadFolder);
  if (!target) {
    reason = "local path " + localPath + " escapes the download folder";
    return false;
  }

  // Everything about the request is checked before the partial file exists,
  // the names the package store will want included.
  const bool keep = !options_.packageStoreFolder.empty() && !product.empty();
  if (keep && !(reason = PackageStore::NameFault(product, VersionOf(details.doc, urlSource), target->name)).empty()) return false;
  const Snapshot now = Take();
  const std::string& link = details.link;
  if (link[0] == '/' && now.base.empty()) {
    reason = "no tenant endpoint for the download link";
    return false;
  }
  const HttpAddress address = link[0] == '/' ? Below(ParseHttpAddress(now.base, options_.allowPlainHttp), link)
                                             : ParseHttpAddress(link, options_.allowPlainHttp);
  CurlRequest request = Addressed(address, now);
  std::unique_ptr<PackageSignature> signature;
  if (!ObtainSignature(request, *now.trust, target->name, signature, reason)) return false;
  // The same offer with the same signature failed before: no second transfer.
  const std::string identity = Identity(details);
  const std::string offer = signature ? identity + "|" + signature->Fingerprint() : "";
  if (signature && !(reason = RefusedBefore(offer)).empty()) {
    ClientNote(2, "DownloadFile", "Not fetching " + target->name + " again: its signature failed before");
    return false;
  }

  const std::string partialName = PartialName(target->name, identity);
  DropStalePartials(target->folder, target->name, partialName);
  PartialDownload partial(target->folder / partialName, reason);
  if (!partial.Open(details, signature != nullptr)) return false;
  DownloadSink sink(partial.fd, partial.existing, partial.whole, std::move(partial.primed));
  uint64_t total = partial.existing;
  const bool whole = partial.whole > 0 && partial.existing == partial.whole;
  if (!whole && !Transfer(std::move(request), sink, partial, target->name, total)) return false;
  const fs::path finalPath = target->folder / target->name;
  bool refused = false;
  if (!partial.Finish(details, signature.get(), sink, total, finalPath, refused)) {
    if (refused) RememberRefusal(offer, reason);
    return false;
  }
  if (options_.packageStoreFolder.empty()) return true;
  reason = KeepInStore(options_.packageStoreFolder, finalPath, product, VersionOf(details.doc, urlSource));
  return reason.empty();
}

bool HttpRestClient::Transfer(CurlRequest request, DownloadSink& sink, PartialDownload& partial,
                              const std::string& shown, uint64_t& total) {
  if (partial.whole > 0) LogProgress(sink, partial.whole, shown);
  if (partial.existing > 0) request.headers.push_back("Range: bytes=" + std::to_string(partial.existing) + "-");
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
    if (!sink.Failure().empty()) return partial.Fail(sink.Failure(), true);
    partial.Fail("", false);
    throw;
  }
  if (!sink.Failure().empty() || !sink.Finish()) return partial.Fail(sink.Failure(), true);
  if (got.status != 200 && got.status != 206) {
    Settle(got.status, got.retryAfter, "");
    return partial.Fail("server answered HTTP " + std::to_string(got.status) + " to package download", false);
  }
  Settle(got.status, got.retryAfter, "");
  // A 206 without a body (nothing was left) keeps what is on disk.
  total = sink.Kind() == DownloadSink::Mode::Waiting ? (got.status == 206 ? partial.existing : 0) : sink.Total();
  return true;
}

}  // namespace zelvan::fennic
