// Every public operation of the facade and the executor in every state a host can reach: it does
// its job or nothing, and says so in its result. No crash, no hang, no undocumented exception.
#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <future>

#include <fennic/CQLClientImplFactory.h>
#include <fennic/RestExecutorFactory.h>
#include "IAgentUtils.h"
#include "IOCCManager.h"
#include "RestRequestType.h"
#include "TextConversion.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;

namespace {

enum State { kRunning, kWorkerStopped, kExecutorShutDown, kFacadeShutDown, kShutDownTwice, kStates };
const char* const kStateNames[] = {"Running", "WorkerStopped", "ExecutorShutDown", "FacadeShutDown", "ShutDownTwice"};

// The library wired as the agent wires it, reached only through the exports.
struct Host {
  explicit Host(bool executorFirst = false) {
    IOCCManager::SetIOCContainer(nullptr);
    auto builder = std::make_shared<ioc::ContainerBuilder>();
    builder->registerInstance<IConfigurationManager>(config);
    builder->registerInstance<ITenantConfig>(std::make_shared<fennic_test::CountingTenantConfig>());
    builder->registerInstance<IRestClient>(transport);
    IOCCManager::SetIOCBuilder(builder);
    config->tenantDetails = {{"URL", "https://server.test"}, {"TenantID", "tenant-1"}};
    config->token = L"token-1";
    config->jsonFiles["PendingAcks.dat"] = web::json::value::parse(R"([{"Type":11,"Data":"kept"}])");
    // Client first is the order that once built a second executor on the one queue.
    if (executorFirst) executor = RestExecutorFactory::getRestExecutor();
    client = CQLClientImplFactory::getQLClient();
    CQLClientImplFactory::ILoadIoCContainerQLClient();
    if (!executorFirst) executor = RestExecutorFactory::getRestExecutor();
    RestExecutorFactory::getQLResponse()->UpdateFailedRequest(true);
  }
  ~Host() {
    if (executor) executor->Shutdown();
    IOCCManager::SetIOCContainer(nullptr);
    IOCCManager::SetIOCBuilder(nullptr);
  }
  void Enter(State state) {
    if (state == kWorkerStopped) executor->StopWorker();
    if (state == kExecutorShutDown || state == kShutDownTwice) executor->Shutdown();
    if (state == kFacadeShutDown || state == kShutDownTwice) client->Shutdown();
  }
  std::string Kept() { return std::to_string(config->ReadJsonFile("PendingAcks.dat").size()); }

  fennic_test::ServicesScope services;
  std::shared_ptr<fennic_test::MemoryConfigurationManager> config =
      std::make_shared<fennic_test::MemoryConfigurationManager>();
  std::shared_ptr<fennic_test::ScriptedTransport> transport = std::make_shared<fennic_test::ScriptedTransport>();
  fennic_test::RecordingListener listener;
  std::shared_ptr<IQLClient> client;
  std::shared_ptr<IRestExecutor> executor;
};

std::string B(bool value) { return value ? "true" : "false"; }

struct Op {
  const char* name;
  std::function<std::string(Host&)> call;
  const char* expected;  // per State, in its order, joined by '|'
};

std::string Str(int value) { return std::to_string(value); }
std::string Options(Host& h) { return Str(static_cast<int>(h.transport->TransportOptions().size())); }

const std::vector<Op>& Ops() {
  using std::string;
  static const std::vector<Op> ops{
      {"GettersHandOutOneSet",
       [](Host& h) {
         CQLClientImplFactory::ILoadIoCContainerQLClient();
         return B(CQLClientImplFactory::getQLClient() == h.client && RestExecutorFactory::getRestExecutor() == h.executor &&
                  RestExecutorFactory::getQLResponse() == RestExecutorFactory::getQLResponse() &&
                  RestExecutorFactory::getUpdatesDownload() == RestExecutorFactory::getUpdatesDownload());
       },
       "true|true|true|true|true"},
      {"ClientSendRequest", [](Host& h) { return Str(h.client->SendRequest(1, "")); }, "2|2|1|1|1"},
      {"ClientSendEmptyDownloadList", [](Host& h) { return Str(h.client->SendRequest(5, "[]")); }, "1|1|1|1|1"},
      {"ClientSendNotJson", [](Host& h) { return Str(h.client->SendRequest(5, "{not json")); }, "1|1|1|1|1"},
      {"ClientSendDescriptionMissingKeys",
       [](Host& h) { return Str(h.client->SendRequest(5, R"([{"UpdateSchedulerId":4}])")); }, "1|1|1|1|1"},
      {"ClientSetClientState", [](Host& h) { return Str(h.client->SendRequest(16, "1")); }, "1|1|1|1|1"},
      {"ClientSetEventListener", [](Host& h) { return B(h.client->SetEventListener(&h.listener)); },
       "true|true|false|false|false"},
      {"ClientGetLastSeenOfServer", [](Host& h) { return h.client->GetLastSeenOfServer(); }, "||||"},
      {"ClientStopWorker", [](Host& h) { return h.client->StopWorker(), string(); }, "||||"},
      {"ClientLoadTenantConfiguration", [](Host& h) { return h.client->LoadTenantConfiguration(), h.Kept(); },
       "0|1|1|1|1"},
      {"ClientIsRequestFailed", [](Host& h) { return B(h.client->IsRequestFailed(L"CC_CONFIG_REQUEST")); },
       "true|true|false|false|false"},
      {"ClientRearmFailureAlert", [](Host& h) { return h.client->RearmFailureAlert(5), Options(h); }, "1|1|1|0|0"},
      {"ClientQueryTransportValue", [](Host& h) { return ToUtf8(h.client->QueryTransportValue(3)); }, "||||"},
      {"ClientVoicePromptVersion", [](Host& h) { return h.client->RequestVoicePromptVersion(L"VP1", "d", "1"); },
       "||||"},
      {"ClientShutdown", [](Host& h) { return h.client->Shutdown(), string(); }, "||||"},
      {"ExecutorSetEventListener", [](Host& h) { return B(h.executor->SetEventListener(&h.listener)); },
       "true|true|false|false|false"},
      {"ExecutorStopWorker", [](Host& h) { return h.executor->StopWorker(), string(); }, "||||"},
      {"ExecutorLoadTenantConfiguration",
       [](Host& h) { return h.executor->LoadTenantConfiguration(), ToUtf8(h.executor->GetToken()) + "/" + h.Kept(); },
       "token-1/0|token-1/1|token-1/1|token-1/1|token-1/1"},
      {"ExecutorConstructDownloads", [](Host& h) { return h.executor->ConstructDownloads("{not json", 1), string(); },
       "||||"},
      {"ExecutorSetClientState", [](Host& h) { return h.executor->SetClientState(3), string(); }, "||||"},
      {"ExecutorIsRequestFailed", [](Host& h) { return B(h.executor->IsRequestFailed(L"CC_CONFIG_REQUEST")); },
       "true|true|false|false|false"},
      {"ExecutorRearmFailureAlert", [](Host& h) { return h.executor->RearmFailureAlert(5), Options(h); }, "1|1|1|1|1"},
      {"ExecutorDrainQueue", [](Host& h) { return B(h.executor->DrainQueue(std::chrono::milliseconds(100))); },
       "true|false|true|true|true"},
      {"ExecutorShutdown", [](Host& h) { return h.executor->Shutdown(), string(); }, "||||"},
  };
  return ops;
}

std::string Column(const std::string& joined, int state) {
  std::size_t from = 0;
  for (int i = 0; i < state; ++i) from = joined.find('|', from) + 1;
  return joined.substr(from, joined.find('|', from) - from);
}

class HostMisuseTest : public ::testing::TestWithParam<std::tuple<State, std::size_t>> {};

TEST_P(HostMisuseTest, DoesItsJobOrNothing) {
  const auto [state, index] = GetParam();
  const Op& op = Ops()[index];
  Host host;
  host.Enter(state);
  // Called twice in a row; the second call must not crash or hang either.
  auto result = std::async(std::launch::async, [&] {
    std::string first = op.call(host);
    op.call(host);
    return first;
  });
  if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    std::fprintf(stderr, "%s hangs in state %s\n", op.name, kStateNames[state]);
    std::_Exit(3);
  }
  EXPECT_EQ(result.get(), Column(op.expected, state));
}

INSTANTIATE_TEST_SUITE_P(
    EveryStateAndOperation, HostMisuseTest,
    ::testing::Combine(::testing::Values(kRunning, kWorkerStopped, kExecutorShutDown, kFacadeShutDown, kShutDownTwice),
                       ::testing::Range<std::size_t>(0, Ops().size())),
    [](const ::testing::TestParamInfo<HostMisuseTest::ParamType>& info) {
      return std::string(kStateNames[std::get<0>(info.param)]) + "_" + Ops()[std::get<1>(info.param)].name;
    });

// A listener given to the facade hears what the executor raises, whichever
// getter ran first.
TEST(FactoriesTest, GettersInEitherOrderShareOneExecutor) {
  for (bool executorFirst : {false, true}) {
    Host h(executorFirst);
    ASSERT_TRUE(h.client && h.executor);
    EXPECT_EQ(RestExecutorFactory::getRestExecutor(), h.executor);
    EXPECT_TRUE(h.client->SetEventListener(&h.listener));
    h.executor->LoadTenantConfiguration();
    h.transport->Answer(TRANSPORT_QUERY_REQ, "yes");
    EXPECT_EQ(h.client->SendRequest(19, ""), 0);
    EXPECT_TRUE(h.listener.WaitFor(19)) << executorFirst;
  }
}

TEST(FactoriesTest, MissingOutsideRegistrationNamesTheType) {
  fennic_test::ServicesScope services;
  IOCCManager::SetIOCContainer(nullptr);
  auto builder = std::make_shared<ioc::ContainerBuilder>();
  builder->registerInstance<IConfigurationManager>(std::make_shared<fennic_test::MemoryConfigurationManager>());
  builder->registerInstance<ITenantConfig>(std::make_shared<fennic_test::CountingTenantConfig>());
  IOCCManager::SetIOCBuilder(builder);
  EXPECT_THAT([] { CQLClientImplFactory::getQLClient(); },
              testing::ThrowsMessage<ioc::ResolutionError>(testing::StrEq("Unable to resolve zelvan::fennic::IRestClient")));
  IOCCManager::SetIOCBuilder(nullptr);
}

TEST(FactoriesTest, NoBuilderMeansNullUnlessTheLoaderInstallsOne) {
  std::shared_ptr<ioc::ContainerBuilder> builder;
  { Host h; builder = IOCCManager::GetIOCBuilder(); }  // the outside modules registered in it
  fennic_test::ServicesScope services;
  EXPECT_FALSE(CQLClientImplFactory::getQLClient() || RestExecutorFactory::getRestExecutor() ||
               RestExecutorFactory::getUpdatesDownload());
  int loads = 0;
  IAgentUtils::SetAgentUtilsLoader([&] { ++loads, IOCCManager::SetIOCBuilder(builder); });
  auto executor = RestExecutorFactory::getRestExecutor();
  EXPECT_TRUE(executor && RestExecutorFactory::getRestExecutor() == executor);
  EXPECT_EQ(loads, 1) << "a non-null result needs no reload";
  executor->Shutdown();
  IAgentUtils::SetAgentUtilsLoader(nullptr);
  IOCCManager::SetIOCContainer(nullptr);
  IOCCManager::SetIOCBuilder(nullptr);
}

}  // namespace
