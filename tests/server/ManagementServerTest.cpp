#include "ManagementServer.h"
#include "RecordReport.h"

#include <cpprest/http_msg.h>
#include <gtest/gtest.h>

#include "TransportFixtures.h"

using namespace zelvan::fennic;
using web::json::value;
namespace fs = std::filesystem;

namespace {

struct Workspace : ScratchFolder {
  Workspace() {
    fs::create_directories(path / "packages");
    std::ofstream(path / "packages/a.bin") << std::string(40000, 'a');
    std::ofstream(path / "packages/b.bin") << std::string(1000, 'b');
  }
};

Scenario MakeScenario(const Workspace& ws, const std::string& extra = "") {
  return Scenario::FromJson(value::parse(R"J({
    "tenants": [{"id": "acme", "name": "Acme", "token": "tok-acme"},
                {"id": "closed", "registration": "refuse", "errorMessage": "Tenant closed"}],
    "updates": [
      {"UpdateSchedulerId": 1, "UploadID": 11, "package": "a.bin"},
      {"UpdateSchedulerId": 2, "UploadID": 12, "package": "b.bin", "checksum": "wrong"}],
    "configurations": [{"UpdateSchedulerId": 7, "UploadID": 70, "configSettings": {"Volume": 3}}],
    "cancellations": {"updates": [{"UpdateSchedulerId": 1, "UploadID": 11}]},
    "directoryQueries": [{"ADSelectQuery": "(cn=staff)"}])J" + extra + "}"),
                            ws.path.string());
}

value Parse(const std::string& text) { return value::parse(text); }

// The server playing the scenario (plus `extra` members), and the real transport as its client.
struct Chain {
  Workspace ws;
  std::unique_ptr<ManagementServer> server;
  std::unique_ptr<HttpRestClient> client;
  explicit Chain(const std::string& extra = "") {
    ServerOptions options;
    options.recordFile = (ws.path / "record.jsonl").string();
    options.packagesFolder = (ws.path / "packages").string();
    server = std::make_unique<ManagementServer>(MakeScenario(ws, extra), options);
    server->Start();
    auto t = fennic_test::FastOptions(ws.path.string());
    t.requestTimeout = std::chrono::milliseconds(1000);
    client = std::make_unique<HttpRestClient>(t);
    client->SetTenantEndpoint(ToWide(server->BaseUrl()), L"acme");
  }
  void Register() {
    auto answer = Parse(client->ExecuteRequest(2, R"J({"TenantID":"acme"})J"));
    client->SetToken(ToWide(answer.at("Token").as_string()));
  }
};

}  // namespace

TEST(ManagementServer, RegistrationGivesTheTokenThatEveryLaterRequestNeeds) {
  Chain chain;
  // Before registering, a heart beat is refused the way the agent re-registers on.
  auto refused = Parse(chain.client->ExecuteRequest(3, "{}"));
  EXPECT_FALSE(refused.at("validateResponse").as_bool());
  EXPECT_EQ(refused.at("ErrorMessage").as_string(), "Token Not Found");

  auto closed = Parse(chain.client->ExecuteRequest(2, R"J({"TenantID":"closed"})J"));
  EXPECT_FALSE(closed.at("validateResponse").as_bool());
  EXPECT_EQ(closed.at("ErrorMessage").as_string(), "Tenant closed");
  EXPECT_FALSE(closed.has_field("Token"));
  EXPECT_TRUE(closed.has_string_field("DataSettings"));

  auto accepted = Parse(chain.client->ExecuteRequest(2, R"J({"TenantID":"acme"})J"));
  EXPECT_TRUE(accepted.at("validateResponse").as_bool());
  EXPECT_EQ(accepted.at("ResposeCommand").as_integer(), 0);
  EXPECT_EQ(accepted.at("Token").as_string(), "tok-acme");
  EXPECT_TRUE(accepted.has_string_field("DeviceInfoURL"));
  EXPECT_EQ(accepted.at("ResponseBody").at("TenantName").as_string(), "Acme");
  chain.client->SetToken(L"tok-acme");

  auto beat = Parse(chain.client->ExecuteRequest(3, "{}"));
  ASSERT_TRUE(beat.at("validateResponse").as_bool());
  EXPECT_TRUE(beat.at("ResponseBody").at("HasCancelUpdates").as_bool());
}

TEST(ManagementServer, UpdatesDownloadAndAcknowledgementsDrainThePendingWork) {
  Chain chain;
  chain.Register();
  auto updates = Parse(chain.client->ExecuteRequest(9, ""));
  const auto list = updates.at("ResponseBody").at("Updates").as_array();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.at(0).at("Action").as_string(), "ScheduleUpdate");
  EXPECT_FALSE(list.at(0).has_field("package")) << "server-only members stay on the server";
  const std::string url = list.at(0).at("UpdatesURL").as_string();
  EXPECT_EQ(url, chain.server->BaseUrl() + "/packages/a.bin");
  EXPECT_EQ(updates.at("ResponseBody").at("ConfigurationUpdates").size(), 1u);

  // Details for a known package; a missing one is answered 404.
  auto details = chain.client->ExecuteRequest(12, R"J({"DownloadUrl":")J" + url + "\"}");
  EXPECT_EQ(Parse(details).at("StatusCode").as_integer(), 200);
  EXPECT_EQ(Parse(chain.client->ExecuteRequest(12, R"J({"DownloadUrl":"x/none.bin"})J")).at("StatusCode").as_integer(),
            404);

  chain.client->ExecuteRequest(11, R"J([{"UploadID":11,"UpdateSchedulerId":1,"Status":"Success","Reason":""}])J");
  chain.client->ExecuteRequest(11, R"J([{"UploadID":12,"UpdateSchedulerId":2,"Status":"Failed","Reason":"x"}])J");
  chain.client->ExecuteRequest(22, R"J({"URL":"/api/ManageAgent/ConfigurationDownloadAck/","RequestType":"APP_CONFIG_ACK_REQ","RequestData":"DownloadDetails","ConfigData":[{"UploadID":70,"Status":true,"UpdateSchedularID":7}]})J");
  updates = Parse(chain.client->ExecuteRequest(9, ""));
  ASSERT_EQ(updates.at("ResponseBody").at("Updates").size(), 1u) << "only the failed one is pending";
  EXPECT_EQ(updates.at("ResponseBody").at("Updates").at(0).at("UpdateSchedulerId").as_integer(), 2);
  EXPECT_EQ(updates.at("ResponseBody").at("ConfigurationUpdates").size(), 0u);
  EXPECT_EQ(Parse(chain.client->ExecuteRequest(24, "")).at("ResponseBody").at("Updates").size(), 2u);

  // Cancellations and directory queries are pending until acknowledged.
  auto cancels = Parse(chain.client->ExecuteRequest(13, ""));
  EXPECT_EQ(cancels.at("ResponseBody").at("CancelledUpdates").size(), 1u);
  chain.client->ExecuteRequest(14, R"J([{"UploadID":11,"UpdateSchedulerId":1,"Status":"Success"}])J");
  EXPECT_EQ(Parse(chain.client->ExecuteRequest(24, "")).at("ResponseBody").at("Updates").size(), 1u);
  EXPECT_EQ(Parse(chain.client->ExecuteRequest(10, "")).at("ADUpdates").size(), 1u);
  chain.client->ExecuteRequest(6, R"J({"ADUpdates":[{"ADSelectQuery":"(cn=staff)","UserStatus":"Valid"}]})J");
  auto beat = Parse(chain.client->ExecuteRequest(3, R"J({"AgentDetails":{}})J")).at("ResponseBody");
  EXPECT_FALSE(beat.at("HasCancelUpdates").as_bool());
  EXPECT_FALSE(beat.at("HasADQuery").as_bool());
  EXPECT_TRUE(beat.at("HasUpdates").as_bool());

  // Everything that arrived is in the record file, one JSON line each, in order.
  const auto lines = ReadRecordFile((chain.ws.path / "record.jsonl").string());
  const auto records = chain.server->Records();
  ASSERT_EQ(lines.size(), records.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].at("seq").as_integer(), static_cast<int>(i + 1));
  EXPECT_EQ(Summarize(records),
            "demo: registered=yes heartbeats=1 updates=2 configs=1 downloads=0 acks=1 failures=1"
            " directory=1 plugs=0 unplugs=0 inventories=0 installs=0 installfailures=0 calls=0 softphones=0"
            " userdetails=0 voiceprompts=0 badbodies=0 signatures=0");
}

// What the transport makes of the answer to a heart beat.
std::string Observed(HttpRestClient& client) {
  try {
    const std::string answer = client.ExecuteRequest(3, "{}");
    if (answer.empty()) return "empty";
    const value doc = value::parse(answer);
    if (!doc.at("validateResponseStatus").as_bool()) return "status false";
    return doc.at("validateResponse").as_bool() ? "valid" : "invalid";
  } catch (const web::http::http_exception&) {
    return "transport failure";
  } catch (const web::json::json_exception&) {
    return "not JSON";
  }
}

// Each injected fault reaches the transport as the failure it stands for,
// and only for the requests the fault names.
class ManagementServerFaults : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(ManagementServerFaults, HitTheNamedRequestsOnly) {
  const auto [action, observed] = GetParam();
  Chain chain(std::string(R"J(, "faults": [{"target": "3", "action": ")J") + action +
              R"J(", "skip": 1, "times": 1, "delayMs": 50}])J");
  chain.Register();
  EXPECT_EQ(Observed(*chain.client), "valid") << "skipped";
  EXPECT_EQ(Observed(*chain.client), observed);
  EXPECT_TRUE(Parse(chain.client->ExecuteRequest(9, "")).at("validateResponse").as_bool()) << "other types";
  EXPECT_EQ(Observed(*chain.client), "valid") << "used up";
  const auto records = chain.server->Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[2].at("fault").as_string(), action);
  EXPECT_EQ(records[4].at("fault").as_string(), "");
  // Only a delayed answer still counts as accepted.
  EXPECT_EQ(chain.server->AcceptedOf("3").size(), std::string(action) == "delay" ? 3u : 2u);
  EXPECT_EQ(chain.server->AcceptedOf("9").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Actions, ManagementServerFaults,
                         ::testing::Values(std::pair{"refuse", "transport failure"},
                                           std::pair{"truncate", "transport failure"}, std::pair{"status500", "empty"},
                                           std::pair{"statusFalse", "status false"},
                                           std::pair{"malformed", "not JSON"}, std::pair{"delay", "valid"}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(ManagementServer, StopsWhileAReplyIsDelayed) {
  Chain chain(R"J(, "faults": [{"target": "3", "action": "delay", "delayMs": 20000}])J");
  chain.Register();
  std::thread slow([&] {
    try {
      chain.client->ExecuteRequest(3, "{}");
    } catch (const web::http::http_exception&) {
    }
  });
  for (int i = 0; i < 200 && chain.server->CountOf("3") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  chain.server->Stop();
  slow.join();
  EXPECT_THROW(chain.client->ExecuteRequest(3, "{}"), web::http::http_exception) << "nobody listens";
}

TEST(Scenario, UnusableScenariosAreRefusedWithTheirProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"[]", "not a JSON object"},
      {R"J({"tenants":[{"name":"x"}]})J", "tenant without"},
      {R"J({"tenants":[{"id":"x","registration":"maybe"}]})J", "accept or refuse"},
      {R"J({"updates":[{"UploadID":1,"package":"a"}]})J", "UpdateSchedulerId"},
      {R"J({"updates":[{"UpdateSchedulerId":1,"UploadID":1}]})J", "without \"package\""},
      {R"J({"updates":{}})J", "must be an array"},
      {R"J({"faults":[{"target":"3","action":"explode"}]})J", "known \"action\""},
  };
  for (const auto& [text, problem] : cases) {
    const std::string refusal = fennic_test::Refusal([&] { Scenario::FromJson(value::parse(text), ""); });
    EXPECT_NE(refusal.find(problem), std::string::npos) << text << ": " << refusal;
  }
  EXPECT_THROW(Scenario::FromFile("/nonexistent/scenario.json"), std::runtime_error);
}
