// Fetches one package through the HTTP transport's DownloadFile (its
// signature verified too when a public key is given) and prints the
// throughput and the process's peak resident memory, for
// download_vs_curl.sh. Not a test: one run, figures on stdout.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "HttpRestClient.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::cerr << "usage: download_bench_tool BASE_URL TENANT PACKAGE_NAME FOLDER [PUBLIC_KEY_FILE]\n";
    return 2;
  }
  const std::string base = argv[1], tenant = argv[2], name = argv[3], folder = argv[4];
  HttpTransportOptions options;
  options.downloadFolder = folder;
  // With a key, the package's minisign signature is required and verified.
  if (argc == 6) options.packageTrust = PackageTrust{SignaturePolicy::Require, {ReadMinisignKeyFile(argv[5])}};
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(base), ToWide(tenant));
  try {
    auto reg = web::json::value::parse(client.ExecuteRequest(2, "{\"TenantID\":\"" + tenant + "\"}"));
    client.SetToken(ToWide(reg.at("Token").as_string()));
    const std::string details = client.ExecuteRequest(12, "{\"DownloadUrl\":\"bench/" + name + "\"}");
    web::json::value source;
    std::wstring reason, product;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = client.DownloadFile(details, ToWide(folder + "\\" + name), reason, source, product);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
      std::cerr << "download failed: " << ToUtf8(reason) << "\n";
      return 1;
    }
    const auto size = web::json::value::parse(details).at("FileSize").as_number().to_int64();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("seconds %.4f\nbytes %lld\nmib_per_s %.1f\npeak_rss_kib %ld\n", seconds,
                static_cast<long long>(size), size / seconds / (1024.0 * 1024.0), usage.ru_maxrss);
  } catch (const std::exception& e) {
    std::cerr << "bench failed: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
