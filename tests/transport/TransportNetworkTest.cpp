// The transport through a real proxy and against a TLS server that asks
// for a client certificate, both started on loopback by the test.
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "TransportFixtures.h"
#include "../support/ChildProcess.h"

using namespace zelvan::fennic;
using namespace fennic_test;

namespace {

struct ProxyCase {
  const char* name;
  bool configured, environment;  // the proxy is named by the "proxy" option, by http_proxy
  const char* noProxy;           // no_proxy, nullptr: unset
  bool throughProxy;
  bool ranged = true;  // the server honours the resume's range; otherwise it sends the whole package again
};

class TransportProxy : public ::testing::TestWithParam<ProxyCase> {
  void SetUp() override { TearDown(); }
  void TearDown() override {
    for (const char* name : {"http_proxy", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  }
};

TEST_P(TransportProxy, RequestsDownloadsAndResumesTakeTheChosenWay) {
  if (!ChildProcess::Shell("command -v tinyproxy >/dev/null")) GTEST_SKIP() << "tinyproxy is not installed";
  const ProxyCase& c = GetParam();
  ScratchFolder proxyDir, dir;
  const int port = FreeLoopbackPort();
  std::ofstream(proxyDir.path / "proxy.conf") << "Port " << port
                                              << "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 10\nMaxClients 8\n";
  ChildProcess proxy("tinyproxy -d -c proxy.conf", proxyDir.path.string());
  ASSERT_TRUE(proxy.AwaitPort(port)) << ScratchFolder::Slurp(proxyDir.path / "log");
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(port);
  if (c.environment) ::setenv("http_proxy", proxyUrl.c_str(), 1);
  if (c.noProxy) ::setenv("no_proxy", c.noProxy, 1);

  const std::string package = Package(2 * 1024 * 1024);
  std::atomic<int> downloads{0};
  ScriptedListener server([&](const SeenRequest& r) {
    if (r.path.rfind("/packages/", 0) != 0) return Reply{200, "{\"beat\":1}"};
    if (downloads++ == 0) return Reply{200, package, 1300 * 1024};  // breaks off part-way
    return c.ranged ? RangedReply(package, r) : Reply{200, package};
  });
  auto options = FastOptions(dir.path.string());
  if (c.configured) options.proxy = proxyUrl;
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  client.SetToken(L"tok");
  EXPECT_EQ(client.ExecuteRequest(3, "{}"), "{\"beat\":1}");
  const std::string details = Details("/packages/pkg.bin", package.size(), Sha(package));
  EXPECT_FALSE(Fetch(client, details, dir.path).first);
  ASSERT_EQ(dir.Names().size(), 1u);
  EXPECT_EQ(dir.Names()[0].substr(0, 9) + dir.Names()[0].substr(dir.Names()[0].size() - 5), ".pkg.bin..part")
      << "a hidden partial file stays for the resume";
  const auto kept = fs::file_size(dir.path / dir.Names()[0]);
  EXPECT_GT(kept, 0u);
  EXPECT_TRUE(Fetch(client, details, dir.path).first);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"pkg.bin"});
  EXPECT_EQ(ScratchFolder::Slurp(dir.path / "pkg.bin"), package);

  ASSERT_EQ(server.Seen().size(), 3u);
  EXPECT_EQ(server.Seen()[2].headers["Range"], "bytes=" + std::to_string(kept) + "-") << "the resume asked for the rest";
  for (const auto& r : server.Seen()) {
    EXPECT_EQ(r.headers.count("Via"), c.throughProxy ? 1u : 0u) << r.path;
    EXPECT_EQ(r.headers.at("Authorization"), "Bearer tok");
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, TransportProxy,
                         ::testing::Values(ProxyCase{"configuredProxy", true, false, nullptr, true},
                                           ProxyCase{"configuredOverridesNoProxy", true, false, "127.0.0.1", true},
                                           ProxyCase{"environmentProxy", false, true, nullptr, true},
                                           ProxyCase{"environmentNoProxy", false, true, "127.0.0.1", false},
                                           ProxyCase{"direct", false, false, nullptr, false},
                                           ProxyCase{"directRangeIgnored", false, false, nullptr, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct CertCase {
  const char *name, *identity;  // identity "": none
  bool accepted;
};

class TransportClientCertificate : public ::testing::TestWithParam<CertCase> {};

TEST_P(TransportClientCertificate, AcceptedWithTheRightOneRefusedCleanlyWithout) {
  if (!ChildProcess::Shell("command -v openssl >/dev/null")) GTEST_SKIP() << "openssl is not installed";
  ScratchFolder tls, dir;
  ASSERT_TRUE(ChildProcess::Shell("cd '" + tls.path.string() +
                                   "' && timeout 60 " FENNIC_TRANSPORT_TEST_DIR "/make_test_certificates.sh >log 2>&1"))
      << ScratchFolder::Slurp(tls.path / "log");
  const std::string package = Package(300 * 1024);
  std::ofstream(tls.path / "pkg.bin", std::ios::binary) << package;
  const int port = FreeLoopbackPort();
  ChildProcess server("openssl s_server -quiet -accept 127.0.0.1:" + std::to_string(port) +
                          " -cert server.pem -key server.key -CAfile ca.pem -Verify 1 -verify_return_error -WWW",
                      tls.path.string());
  ASSERT_TRUE(server.AwaitPort(port)) << ScratchFolder::Slurp(tls.path / "log");

  auto options = FastOptions(dir.path.string());
  options.caFile = (tls.path / "ca.pem").string();
  const std::string identity = (tls.path / GetParam().identity).string();
  if (*GetParam().identity) std::tie(options.clientCertFile, options.clientKeyFile) = std::pair(identity + ".pem", identity + ".key");
  HttpRestClient client(options);
  const std::string link = "https://127.0.0.1:" + std::to_string(port) + "/pkg.bin";
  const auto [ok, reason] = Fetch(client, Details(link, package.size(), Sha(package)), dir.path);
  EXPECT_EQ(ok, GetParam().accepted) << reason;
  if (ok) {
    EXPECT_EQ(ScratchFolder::Slurp(dir.path / "pkg.bin"), package);
  } else {
    EXPECT_NE(reason.find("answer from https://127.0.0.1:" + std::to_string(port)), std::string::npos) << reason;
    EXPECT_EQ(ToUtf8(client.GetTransportValue(5)), reason);
    EXPECT_TRUE(dir.Names().empty()) << "no package and no partial file";
  }
}

INSTANTIATE_TEST_SUITE_P(Identities, TransportClientCertificate,
                         ::testing::Values(CertCase{"agentCertificate", "agent", true},
                                           CertCase{"noCertificate", "", false},
                                           CertCase{"strangersCertificate", "stranger", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
