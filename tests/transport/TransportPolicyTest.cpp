// What the transport refuses (the token elsewhere, redirects beyond policy,
// writing through planted links) and what it reports about the last exchange.
#include <gtest/gtest.h>

#include "HttpAddress.h"
#include "TransportFixtures.h"

using namespace zelvan::fennic;
using namespace fennic_test;

namespace {

// Server 'A' is the tenant's, 'B' another; 'Z' is B through 0.0.0.0, plain
// HTTP that is not loopback. "/r/XY" redirects to server X at "/r/Y"; "/r/"
// serves the package. `seen` lists the servers asked, "+" where the token came.
struct Hops {
  std::string package = Package(64 * 1024);
  std::mutex lock;
  std::vector<std::string> seen;
  std::map<char, std::string> bases;
  ScriptedListener a{[this](const SeenRequest& r) { return Answer('A', r); }};
  ScriptedListener b{[this](const SeenRequest& r) { return Answer('B', r); }};
  Hops() { bases = {{'A', a.Base()}, {'B', b.Base()}, {'Z', "http://0.0.0.0:" + std::to_string(b.Port())}}; }
  Reply Answer(char server, const SeenRequest& r) {
    std::unique_lock<std::mutex> hold(lock);
    seen.push_back(std::string(1, server) + (r.headers.count("Authorization") ? "+" : ""));
    hold.unlock();
    const std::string rest = r.path.substr(3);
    if (rest.empty()) return Reply{200, package};
    Reply moved{302, ""};
    moved.headers.push_back({"Location", bases[rest[0]] + "/r/" + rest.substr(1)});
    return moved;
  }
};

struct HopCase {
  const char *name, *chain;  // the chain's first letter: where the link points
  std::vector<std::string> seen;
  const char* refusal;  // "": the download succeeds
};

class TransportTokenPolicy : public ::testing::TestWithParam<HopCase> {};

TEST_P(TransportTokenPolicy, TokenOnlyToTheTenantOriginAndRedirectsUnderPolicy) {
  const HopCase& c = GetParam();
  ScratchFolder dir;
  Hops hops;
  HttpRestClient client(FastOptions(dir.path.string()));
  client.SetTenantEndpoint(ToWide(hops.a.Base()), L"t");
  client.SetToken(L"secret");
  const std::string link = (c.chain[0] == 'A' ? "" : hops.bases[c.chain[0]]) + "/r/" + (c.chain + 1);
  const auto [ok, reason] = Fetch(client, Details(link, hops.package.size(), Sha(hops.package)), dir.path);
  EXPECT_EQ(ok, !*c.refusal) << reason;
  EXPECT_EQ(hops.seen, c.seen);
  EXPECT_NE(reason.find(c.refusal), std::string::npos) << reason;
  EXPECT_EQ(dir.Names(), ok ? std::vector<std::string>{"pkg.bin"} : std::vector<std::string>{});
}

const std::vector<std::string> kSixTimesA(6, "A+");

INSTANTIATE_TEST_SUITE_P(Chains, TransportTokenPolicy,
                         ::testing::Values(HopCase{"otherHostLink", "B", {"B"}, ""},
                                           HopCase{"redirectToOtherHost", "AB", {"A+", "B"}, ""},
                                           HopCase{"tokenDroppedForGood", "ABA", {"A+", "B", "A"}, ""},
                                           HopCase{"fiveRedirects", "AAAAAA", kSixTimesA, ""},
                                           HopCase{"sixRedirects", "AAAAAAA", kSixTimesA, "more than 5 redirects"},
                                           HopCase{"plainHttpHop", "AZ", {"A+"}, "plain HTTP refused"},
                                           HopCase{"plainHttpLink", "Z", {}, "plain HTTP refused"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TransportAddress, LoopbackIsParsedAndEveryHopIsCheckedAgain) {
  const struct {
    const char *from, *to;  // from "": a first address
    bool ok;
  } cases[] = {
      {"", "http://127.0.0.1:8/x", true}, {"", "http://127.200.3.4/", true}, {"", "http://[::1]:81/", true},
      {"", "http://localhost/", true}, {"", "http://127.0.0.1.example.invalid/", false},
      {"", "http://localhost.example.invalid/", false}, {"", "http://0.0.0.0/", false},
      {"", "http://[::ffff:127.0.0.1]/", false}, {"", "ftp://127.0.0.1/", false}, {"", "https://example.invalid/", true},
      {"https://example.invalid/", "http://127.0.0.1/", false}, {"http://127.0.0.1/", "https://example.invalid/a", true},
      {"https://example.invalid/", "file:///etc/passwd", false}, {"", "https://example.invalid:70000/", false},
  };
  for (const auto& c : cases) {
    const std::string refusal = Refusal<web::http::http_exception>(
        [&] { *c.from ? CheckRedirectHop(ParseHttpAddress(c.from, false), c.to, false) : ParseHttpAddress(c.to, false); });
    EXPECT_EQ(refusal.empty(), c.ok) << c.from << " -> " << c.to << ": " << refusal;
  }
  EXPECT_EQ(ParseHttpAddress("HTTP://LocalHost/a?b=1", false).Url() + ParseHttpAddress("https://[::1]", false).Url(),
            "http://localhost:80/a?b=1https://[::1]:443/");
  // The tenant address is checked by the same rules when it is handed over; a refused one leaves the previous.
  ScratchFolder dir;
  HttpRestClient client(FastOptions(dir.path.string()));
  client.SetTenantEndpoint(L"https://server.invalid/api", L"t");
  for (const wchar_t* refused : {L"http://moved.invalid/api", L"https://moved.invalid:70000/api"})
    EXPECT_THROW(client.SetTenantEndpoint(refused, L"t2"), web::http::http_exception) << ToUtf8(refused);
  EXPECT_EQ(client.GetTransportValue(0) + client.GetTransportValue(1), L"https://server.invalid/apit");
}

// Something sits where the partial file goes, or the link cannot be sent:
// nothing is written through and nothing left behind but the leftovers of
// an unrelated package.
struct PartialCase {
  const char* name;
  void (*plant)(const fs::path& partial, const fs::path& victim);
  bool sendable;  // the link can be sent
};

class TransportPartialFile : public ::testing::TestWithParam<PartialCase> {};

TEST_P(TransportPartialFile, NeverWritesThroughALinkNorLeavesLitter) {
  ScratchFolder dir, outside;
  const fs::path victim = outside.path / "victim";
  std::ofstream(victim) << "keep";
  const std::string package = Package(200 * 1024);
  ScriptedListener server([&](const SeenRequest&) { return Reply{200, package}; });
  HttpRestClient client(FastOptions(dir.path.string()));
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  const std::string link = GetParam().sendable ? "/packages/pkg.bin" : "http://0.0.0.0:1/pkg.bin";
  const std::string id = Sha(link + "|" + std::to_string(package.size()) + "|" + Sha(package)).substr(0, 12);
  GetParam().plant(dir.path / (".pkg.bin." + id + ".part"), victim);
  std::ofstream(dir.path / ".pkg.bin.0123456789ab.part") << "an older link's leftovers";
  std::ofstream(dir.path / ".other.bin.0123456789ab.part") << "another package's";
  EXPECT_EQ(Fetch(client, Details(link, package.size(), Sha(package)), dir.path).first, GetParam().sendable);
  EXPECT_EQ(ScratchFolder::Slurp(victim), "keep");
  const std::string other = ".other.bin.0123456789ab.part", older = ".pkg.bin.0123456789ab.part";
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{other, GetParam().sendable ? "pkg.bin" : older}));
  EXPECT_EQ(fs::status(dir.path / "pkg.bin").permissions() & fs::perms::all,
            GetParam().sendable ? fs::perms::owner_read | fs::perms::owner_write : fs::perms::all);
}

INSTANTIATE_TEST_SUITE_P(
    Plants, TransportPartialFile,
    ::testing::Values(PartialCase{"symbolicLink", [](const fs::path& p, const fs::path& v) { fs::create_symlink(v, p); }, true},
                      PartialCase{"hardLink", [](const fs::path& p, const fs::path& v) { fs::create_hard_link(v, p); }, true},
                      PartialCase{"nothingUnsendable", [](const fs::path&, const fs::path&) {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
