#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

#include "TransportFixtures.h"

using namespace zelvan::fennic;
using namespace fennic_test;

// Each request as "METHOD path token tenant body".
std::vector<std::string> Lines(ScriptedListener& server) {
  std::vector<std::string> out;
  for (auto& r : server.Seen())
    out.push_back(r.method + " " + r.path + " " + r.headers["Authorization"] + " " + r.headers["X-Tenant-Id"] + " " + r.body);
  return out;
}

TEST(HttpRestClient, SendsEachTypeToItsRouteWithTenantTokenAndBody) {
  ScriptedListener server([](const SeenRequest&) { return Reply{200, "{\"ok\":true}"}; });
  HttpRestClient client(FastOptions());
  client.SetTenantEndpoint(ToWide(server.Base()), L"tenant-7");
  EXPECT_EQ(client.ExecuteRequest(2, "{\"TenantID\":\"tenant-7\"}"), "{\"ok\":true}");
  client.SetToken(L"tok-1");
  EXPECT_EQ(client.ExecuteRequest(9, ""), "{\"ok\":true}");
  // Configuration acknowledgements travel to the path they carry, unless it climbs out.
  EXPECT_FALSE(client.ExecuteRequest(22, "{\"URL\":\"/api/ManageAgent/ConfigurationCancelAck/\"}").empty());
  EXPECT_FALSE(client.ExecuteRequest(22, "{\"URL\":\"/api/../../etc\"}").empty());
  EXPECT_EQ(client.ExecuteRequest(26, ""), "") << "a type without a route sends nothing";
  const auto lines = Lines(server);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "POST /api/ManageAgent/Register  tenant-7 {\"TenantID\":\"tenant-7\"}") << "no token before SetToken";
  EXPECT_EQ(lines[1], "GET /api/ManageAgent/Updates Bearer tok-1 tenant-7 ");
  EXPECT_EQ(lines[2].rfind(" /api/ManageAgent/ConfigurationCancelAck/ Bearer tok-1 tenant-7 "), lines[2].find(' '));
  EXPECT_EQ(lines[3].rfind(" /api/ManageAgent/ConfigurationAck Bearer tok-1 tenant-7 "), lines[3].find(' '));
  EXPECT_EQ(client.GetTransportValue(2), L"200");
}

TEST(HttpRestClient, RouteFileOverridesSingleEntriesAndKeepsTheRest) {
  ScratchFolder dir;
  std::ofstream(dir.path / "routes.json") << "{\"routes\": {\"3\": {\"method\": \"PUT\", \"path\": \"/t/{tenant}/beat\"}}}";
  ScriptedListener server([](const SeenRequest&) { return Reply{200, "{}"}; });
  auto options = FastOptions();
  options.routesFile = (dir.path / "routes.json").string();
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(server.Base() + "/prefix/"), L"acme");
  client.ExecuteRequest(3, "{}");
  client.ExecuteRequest(11, "[]");
  EXPECT_EQ(Lines(server), (std::vector<std::string>{"PUT /prefix/t/acme/beat  acme {}",
                                                     "POST /prefix/api/ManageAgent/DownloadStatus  acme []"}));
}

// Each faulty reply either yields an empty answer or a transport exception,
// and never takes longer than the configured limits allow.
// Each also names the failure in GetTransportValue 5 ("BASE" the server's
// address) and, for 429 and 503, the Retry-After seconds in 4 ("+N" sends an
// HTTP-date N seconds ahead); the healthy exchange after it clears both.
struct FaultCase {
  const char* name;
  Reply reply;
  bool throws;
  const char* retryAfter;
  const char* seconds;
  const char* failure;
};

class HttpRestClientFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(HttpRestClientFaults, EndsEmptyOrThrowsWithinTheDeadline) {
  const FaultCase c = GetParam();
  ScriptedListener server([&](const SeenRequest&) {
    Reply r = c.reply;
    char date[64];
    const std::time_t when = std::time(nullptr) + (c.retryAfter[0] == '+' ? std::atoi(c.retryAfter + 1) : 0);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&when));
    if (*c.retryAfter) r.headers.push_back({"Retry-After", c.retryAfter[0] == '+' ? date : c.retryAfter});
    return r;
  });
  auto options = FastOptions();
  options.requestTimeout = std::chrono::milliseconds(300);
  options.maxAnswerBytes = 4096;
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  client.SetToken(L"x");
  const auto start = std::chrono::steady_clock::now();
  const std::string thrown =
      Refusal<web::http::http_exception>([&] { EXPECT_EQ(client.ExecuteRequest(3, "{}"), ""); });
  EXPECT_EQ(thrown.empty(), !c.throws) << thrown;
  // Bounded: the request limit, with slack.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  std::string failure = c.failure;
  if (const auto at = failure.find("BASE"); at != std::string::npos) failure.replace(at, 4, server.Base());
  EXPECT_EQ(ToUtf8(client.GetTransportValue(5)).rfind(failure, 0), 0u) << ToUtf8(client.GetTransportValue(5));
  const std::string seconds = ToUtf8(client.GetTransportValue(4));
  EXPECT_EQ(seconds.empty(), !*c.seconds) << seconds;
  EXPECT_LE(std::labs(std::atol(seconds.c_str()) - std::atol(c.seconds)), 10) << seconds;
  // The client is still usable afterwards.
  ScriptedListener healthy([](const SeenRequest&) { return Reply{200, "{\"fine\":1}"}; });
  client.SetTenantEndpoint(ToWide(healthy.Base()), L"t");
  EXPECT_EQ(client.ExecuteRequest(3, "{}"), "{\"fine\":1}");
  EXPECT_EQ(client.GetTransportValue(4) + client.GetTransportValue(5), L"");
  client.RunTransportCommand();  // connections closed before the listeners stop
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HttpRestClientFaults,
    ::testing::Values(
        FaultCase{"status500", Reply{500, "{\"validateResponse\":true}"}, false, "120", "", "server answered HTTP 500 to heart beat"},
        FaultCase{"tokenRefused", Reply{401, "{}"}, true, "", "", "server answered HTTP 401 to heart beat"},
        FaultCase{"unavailableAfterSeconds", Reply{503, "{}"}, false, "120", "120", "server answered HTTP 503 to heart beat"},
        FaultCase{"tooManyAfterDate", Reply{429, "{}"}, false, "+3600", "3600", "server answered HTTP 429 to heart beat"},
        FaultCase{"unavailableDatePast", Reply{503, "{}"}, false, "+-60", "0", "server answered HTTP 503 to heart beat"},
        FaultCase{"truncatedBody", Reply{200, "{\"validateResponse\":true,\"pad\":\"xxxx\"}", 10}, true, "", "",
                  "answer from BASE broke off ("},
        FaultCase{"longerThanTheCap", Reply{200, std::string(4097, ' ')}, true, "", "",
                  "answer from BASE is longer than 4096 bytes"},
        FaultCase{"headersTooLarge", [] { Reply r{200, "{}"}; r.headers.push_back({"X-Pad", std::string(200 * 1024, 'a')}); return r; }(),
                  true, "", "", "answer from BASE refused (headers too large"},
        FaultCase{"slowerThanTheDeadline", Reply{200, "{}", -1, 900}, true, "", "", "no answer from BASE (timed out after"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpRestClient, RefusesPlainHttpBeyondLoopbackUnlessAllowed) {
  // 0.0.0.0 is not a loopback name, yet reaches this machine: nothing leaves it.
  ScriptedListener server([](const SeenRequest&) { return Reply{200, "{}"}; });
  const std::wstring wildcard = L"http://0.0.0.0:" + std::to_wstring(server.Port());
  HttpRestClient strict(FastOptions());
  EXPECT_THROW(strict.SetTenantEndpoint(wildcard, L"t"), web::http::http_exception);
  EXPECT_EQ(strict.ExecuteRequest(3, "{}"), "") << "no endpoint was taken";
  EXPECT_TRUE(server.Seen().empty());

  auto lax = FastOptions();
  lax.allowPlainHttp = true;
  HttpRestClient relaxed(lax);
  relaxed.SetTenantEndpoint(wildcard, L"t");
  EXPECT_EQ(relaxed.ExecuteRequest(3, "{}"), "{}");
}

TEST(HttpRestClient, ConcurrentCallsWhileTheTokenChangesKeepAFewHandles) {
  ScriptedListener server([](const SeenRequest& r) { return Reply{200, r.body}; });
  HttpRestClient client(FastOptions());
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  client.SetToken(L"tok-0");
  std::thread flipper([&] {
    for (int i = 0; !done; ++i) client.SetToken(L"tok-" + std::to_wstring(i % 3));
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 6; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < 15; ++i) {
        const std::string body = "{\"w\":" + std::to_string(w) + ",\"i\":" + std::to_string(i) + "}";
        if (client.ExecuteRequest(7, body) != body) ++wrong;
      }
    });
  }
  for (auto& t : workers) t.join();
  done = true;
  flipper.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(server.Seen().size(), 90u);
  for (auto& s : server.Seen()) EXPECT_EQ(s.headers["Authorization"].rfind("Bearer tok-", 0), 0u) << s.body;
  const int kept = std::stoi(ToUtf8(client.GetTransportValue(3)));
  EXPECT_TRUE(kept >= 1 && kept <= 4) << kept << " idle handles kept";
}

TEST(HttpRestClient, DownloadChecksSizeChecksumAndNameAndLeavesNothingOnMismatch) {
  ScratchFolder dir;
  const std::string package = Package(300 * 1024);
  ScriptedListener server([&](const SeenRequest&) { return Reply{200, package}; });
  HttpRestClient client(FastOptions(dir.path.string()));
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  const std::string good = Details("/packages/fw.bin", package.size(), Sha(package));
  // Local names that leave the folder are refused before anything is asked for.
  const std::tuple<std::string, const char*, const char*> cases[] = {
      {good, "escapes", "..\\evil.bin"},
      {good, "escapes", "/../evil.bin"},
      {Details("/packages/fw.bin", package.size(), std::string(64, 'a')), "checksum", "fw.bin"},
      {Details("/packages/fw.bin", package.size() - 1, ""), "larger", "fw.bin"},
      {Details("/packages/fw.bin", package.size(), "", 404), "StatusCode 404", "fw.bin"},
      {"<html>", "not JSON", "fw.bin"},
      {"", "no download details", "fw.bin"},
      {good, "", "fw.bin"},
  };
  for (const auto& [details, reasonHas, name] : cases) {
    SCOPED_TRACE(reasonHas);
    const auto [ok, reason] = Fetch(client, details, dir.path, name, "P100");
    EXPECT_EQ(ok, !*reasonHas);
    EXPECT_TRUE(ok ? reason.empty() : reason.find(reasonHas) != std::string::npos) << reason;
    EXPECT_EQ(dir.Names(), ok ? std::vector<std::string>{"fw.bin"} : std::vector<std::string>{}) << "no partial left";
    EXPECT_TRUE(std::string(reasonHas) != "escapes" || server.Seen().empty()) << "nothing asked for";
  }
  EXPECT_FALSE(fs::exists(dir.path.parent_path() / "evil.bin"));
  EXPECT_EQ(ScratchFolder::Slurp(dir.path / "fw.bin"), package);
}

