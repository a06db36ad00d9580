// What the transport refuses to do: send the token elsewhere, follow
// redirects beyond policy, write through planted links; and what it reports
// about the last exchange.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <map>
#include <mutex>

#include "HttpAddress.h"
#include "ScriptedListener.h"
#include "TransportFixtures.h"

using namespace zelvan::fennic;
using namespace fennic_test;

namespace {

// Two servers, 'A' the tenant's and 'B' another. A path "/r/XY" redirects
// to server X at "/r/Y"; "/r/" serves the package. 'Z' is B reached through
// 0.0.0.0, a plain-HTTP address that is not loopback.
struct Hops {
  std::string package = Package(64 * 1024);
  std::mutex lock;
  std::vector<std::string> seen;  // server letter, then "+" when the token came along
  std::map<char, std::string> bases;
  ScriptedListener a{[this](const SeenRequest& r) { return Answer('A', r); }};
  ScriptedListener b{[this](const SeenRequest& r) { return Answer('B', r); }};
  Hops() {
    bases = {{'A', a.Base()}, {'B', b.Base()}, {'Z', "http://0.0.0.0:" + std::to_string(b.Port())}};
  }
  Reply Answer(char server, const SeenRequest& r) {
    {
      std::lock_guard<std::mutex> hold(lock);
      seen.push_back(std::string(1, server) + (r.headers.count("Authorization") ? "+" : ""));
    }
    const std::string rest = r.path.substr(3);
    if (rest.empty()) return Reply{200, package};
    Reply moved{302, ""};
    moved.headers.push_back({"Location", bases[rest[0]] + "/r/" + rest.substr(1)});
    return moved;
  }
};

struct HopCase {
  const char* name;
  const char* chain;  // first letter: where the link points
  bool ok;
  std::vector<std::string> seen;
  const char* reasonHas;
};

class TransportTokenPolicy : public ::testing::TestWithParam<HopCase> {};

TEST_P(TransportTokenPolicy, TokenOnlyToTheTenantOriginAndRedirectsUnderPolicy) {
  const HopCase& c = GetParam();
  TempFolder dir;
  Hops hops;
  HttpRestClient client(FastOptions(dir.path.string()));
  client.SetTenantEndpoint(ToWide(hops.a.Base()), L"t");
  client.SetToken(L"secret");
  const std::string link = (c.chain[0] == 'A' ? "" : hops.bases[c.chain[0]]) + "/r/" + (c.chain + 1);
  web::json::value source;
  std::wstring product, reason;
  EXPECT_EQ(client.DownloadFile(Details(link, hops.package.size(), Sha(hops.package)),
                                ToWide(dir.path.string() + "\\p.bin"), reason, source, product),
            c.ok)
      << ToUtf8(reason);
  EXPECT_EQ(hops.seen, c.seen);
  EXPECT_NE(ToUtf8(reason).find(c.reasonHas), std::string::npos) << ToUtf8(reason);
  EXPECT_EQ(dir.Names(), c.ok ? std::vector<std::string>{"p.bin"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Chains, TransportTokenPolicy,
    ::testing::Values(HopCase{"tenantLink", "A", true, {"A+"}, ""},
                      HopCase{"otherHostLink", "B", true, {"B"}, ""},
                      HopCase{"redirectToOtherHost", "AB", true, {"A+", "B"}, ""},
                      HopCase{"tokenDroppedForGood", "ABA", true, {"A+", "B", "A"}, ""},
                      HopCase{"fiveRedirects", "AAAAAA", true, {"A+", "A+", "A+", "A+", "A+", "A+"}, ""},
                      HopCase{"sixRedirects", "AAAAAAA", false, {"A+", "A+", "A+", "A+", "A+", "A+"},
                              "more than 5 redirects"},
                      HopCase{"plainHttpHop", "AZ", false, {"A+"}, "plain HTTP refused"},
                      HopCase{"plainHttpLink", "Z", false, {}, "plain HTTP refused"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransportAddress, LoopbackIsParsedAndEveryHopIsCheckedAgain) {
  struct Case {
    const char* from;  // "" : a first address
    const char* to;
    bool ok;
  } cases[] = {
      {"", "http://127.0.0.1:8/x", true},          {"", "http://127.200.3.4/", true},
      {"", "http://[::1]:81/", true},              {"", "http://localhost/", true},
      {"", "http://127.0.0.1.example.invalid/", false}, {"", "http://localhost.example.invalid/", false},
      {"", "http://0.0.0.0/", false},              {"", "http://[::ffff:127.0.0.1]/", false},
      {"", "ftp://127.0.0.1/", false},             {"", "https://example.invalid/", true},
      {"https://example.invalid/", "http://127.0.0.1/", false},
      {"http://127.0.0.1/", "https://example.invalid/a", true},
      {"https://example.invalid/", "file:///etc/passwd", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    auto check = [&] {
      if (*c.from) return CheckRedirectHop(ParseHttpAddress(c.from, false), c.to, false);
      return ParseHttpAddress(c.to, false);
    };
    if (c.ok) {
      EXPECT_NO_THROW(check());
    } else {
      EXPECT_THROW(check(), web::http::http_exception);
    }
  }
  EXPECT_EQ(ParseHttpAddress("HTTP://LocalHost/a?b=1", false).origin, "http://localhost:80");
  EXPECT_EQ(ParseHttpAddress("https://[::1]/", false).Url(), "https://[::1]:443/");
}

// Something already sits where the partial file goes, or the link cannot
// be sent: nothing is written through, nothing is left behind.
struct PartialCase {
  const char* name;
  void (*plant)(const fs::path& partial, const fs::path& victim);
  bool sendable;
};

class TransportPartialFile : public ::testing::TestWithParam<PartialCase> {};

TEST_P(TransportPartialFile, NeverWritesThroughALinkNorLeavesLitter) {
  TempFolder dir, outside;
  const fs::path victim = outside.path / "victim";
  std::ofstream(victim) << "keep";
  const std::string package = Package(200 * 1024);
  ScriptedListener server([&](const SeenRequest&) { return Reply{200, package}; });
  HttpRestClient client(FastOptions(dir.path.string()));
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  const std::string link = GetParam().sendable ? "/packages/fw.bin" : "http://0.0.0.0:1/fw.bin";
  const std::string sha = Sha(package);
  const std::string id = Sha(link + "|" + std::to_string(package.size()) + "|" + sha).substr(0, 12);
  GetParam().plant(dir.path / (".fw.bin." + id + ".part"), victim);
  std::ofstream(dir.path / ".fw.bin.0123456789ab.part") << "an older link's leftovers";
  web::json::value source;
  std::wstring product, reason;
  EXPECT_EQ(client.DownloadFile(Details(link, package.size(), sha), ToWide(dir.path.string() + "\\fw.bin"), reason,
                                source, product),
            GetParam().sendable)
      << ToUtf8(reason);
  EXPECT_EQ(Slurp(victim), "keep");
  EXPECT_EQ(dir.Names(), GetParam().sendable ? std::vector<std::string>{"fw.bin"}
                                             : std::vector<std::string>{".fw.bin.0123456789ab.part"});
  if (GetParam().sendable) {
    EXPECT_EQ(fs::status(dir.path / "fw.bin").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Plants, TransportPartialFile,
    ::testing::Values(PartialCase{"symbolicLink", [](const fs::path& p, const fs::path& v) { fs::create_symlink(v, p); }, true},
                      PartialCase{"hardLink", [](const fs::path& p, const fs::path& v) { fs::create_hard_link(v, p); }, true},
                      PartialCase{"nothingUnsendable", [](const fs::path&, const fs::path&) {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// After each answer: GetTransportValue 4 (Retry-After seconds) and 5 (the
// last failure in one line). A 503 asking for 7 s comes first, so each case
// also shows that the next answer resets both.
struct AfterCase {
  const char* name;
  int status;
  int retryAfterFromNow;  // < 0: sent as delay seconds 120; >= 0: as an HTTP-date that far ahead
  long low, high;         // the expected seconds; low < 0: empty
  const char* failure;
};

class TransportLastExchange : public ::testing::TestWithParam<AfterCase> {};

TEST_P(TransportLastExchange, ReportsRetryAfterAndTheFailureInOneLine) {
  const AfterCase& c = GetParam();
  int calls = 0;
  ScriptedListener server([&](const SeenRequest&) {
    Reply r{calls++ == 0 ? 503 : c.status, "{}"};
    std::string after = "120";
    if (calls == 1) after = "7";
    else if (c.retryAfterFromNow >= 0) {
      char text[64];
      const std::time_t when = std::time(nullptr) + c.retryAfterFromNow;
      std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&when));
      after = text;
    }
    r.headers.push_back({"Retry-After", after});
    return r;
  });
  HttpRestClient client(FastOptions());
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  client.ExecuteRequest(3, "{}");
  EXPECT_EQ(client.GetTransportValue(4), L"7");
  EXPECT_EQ(client.GetTransportValue(5), L"server answered HTTP 503 to heart beat");
  client.ExecuteRequest(2, "{}");
  const std::string seconds = ToUtf8(client.GetTransportValue(4));
  if (c.low < 0) {
    EXPECT_EQ(seconds, "");
  } else {
    ASSERT_FALSE(seconds.empty());
    EXPECT_GE(std::stol(seconds), c.low);
    EXPECT_LE(std::stol(seconds), c.high);
  }
  EXPECT_EQ(ToUtf8(client.GetTransportValue(5)), c.failure);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TransportLastExchange,
    ::testing::Values(AfterCase{"unavailableSeconds", 503, -1, 120, 120, "server answered HTTP 503 to registration"},
                      AfterCase{"tooManyAsDate", 429, 3600, 3590, 3600, "server answered HTTP 429 to registration"},
                      AfterCase{"dateInThePast", 503, 0, 0, 1, "server answered HTTP 503 to registration"},
                      AfterCase{"serverErrorIgnoresIt", 500, -1, -1, -1, "server answered HTTP 500 to registration"},
                      AfterCase{"successClearsBoth", 200, -1, -1, -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransportLastExchange, NoAnswerNamesTheServerAndWhy) {
  const int port = FreeLoopbackPort();
  HttpRestClient client(FastOptions());
  client.SetTenantEndpoint(ToWide("http://127.0.0.1:" + std::to_string(port)), L"t");
  EXPECT_THROW(client.ExecuteRequest(3, "{}"), web::http::http_exception);
  EXPECT_EQ(ToUtf8(client.GetTransportValue(5)),
            "no answer from http://127.0.0.1:" + std::to_string(port) + " (connection refused)");
  EXPECT_EQ(client.GetTransportValue(4), L"");
}

}  // namespace
