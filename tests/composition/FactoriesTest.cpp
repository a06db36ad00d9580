#include <gmock/gmock.h>

#include <fennic/CQLClientImplFactory.h>
#include "IAgentUtils.h"
#include "IOCCManager.h"
#include <fennic/RestExecutorFactory.h>
#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;

namespace {

// Installs the outside modules' registrations in a fresh shared builder and
// clears the process-wide container state afterwards.
class FactoriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IOCCManager::SetIOCContainer(nullptr);
    builder = std::make_shared<ioc::ContainerBuilder>();
    IOCCManager::SetIOCBuilder(builder);
    config->tenantDetails = {{"URL", "https://server.test"}, {"TenantID", "tenant-1"}};
    config->token = L"token-1";
  }
  void RegisterOutside(bool withTransport = true) {
    builder->registerInstance<IConfigurationManager>(config);
    builder->registerInstance<ITenantConfig>(std::make_shared<fennic_test::CountingTenantConfig>());
    if (withTransport) builder->registerInstance<IRestClient>(transport);
  }
  void TearDown() override {
    if (auto executor = held) executor->Shutdown();
    held.reset();
    IOCCManager::SetIOCContainer(nullptr);
    IOCCManager::SetIOCBuilder(nullptr);
    IAgentUtils::SetAgentUtilsLoader(nullptr);
  }

  fennic_test::ServicesScope services;
  std::shared_ptr<ioc::ContainerBuilder> builder;
  std::shared_ptr<fennic_test::MemoryConfigurationManager> config =
      std::make_shared<fennic_test::MemoryConfigurationManager>();
  std::shared_ptr<fennic_test::ScriptedTransport> transport = std::make_shared<fennic_test::ScriptedTransport>();
  std::shared_ptr<IRestExecutor> held;
};

TEST_F(FactoriesTest, GettersInEitherOrderShareOneExecutor) {
  for (bool clientFirst : {true, false}) {
    SCOPED_TRACE(clientFirst ? "client first" : "executor first");
    SetUp();
    RegisterOutside();
    std::shared_ptr<IQLClient> client;
    std::shared_ptr<IRestExecutor> executor;
    if (clientFirst) {
      client = CQLClientImplFactory::getQLClient();
      executor = RestExecutorFactory::getRestExecutor();
    } else {
      executor = RestExecutorFactory::getRestExecutor();
      client = CQLClientImplFactory::getQLClient();
    }
    ASSERT_TRUE(client && executor);
    held = executor;
    EXPECT_EQ(CQLClientImplFactory::getQLClient(), client);
    EXPECT_EQ(RestExecutorFactory::getRestExecutor(), executor);
    EXPECT_EQ(RestExecutorFactory::getQLResponse(), RestExecutorFactory::getQLResponse());
    EXPECT_TRUE(RestExecutorFactory::getUpdatesDownload());

    // A listener given to the facade hears what the executor raises.
    fennic_test::RecordingListener listener;
    EXPECT_TRUE(client->SetEventListener(&listener));
    executor->LoadTenantConfiguration();
    transport->Answer(TRANSPORT_QUERY_REQ, "yes");
    EXPECT_EQ(client->SendRequest(19, ""), 0);
    EXPECT_TRUE(listener.WaitFor(19));
    // Stopping the executor's worker stops the facade's: nothing answers any more.
    executor->StopWorker();
    const int queries = transport->CountOf(TRANSPORT_QUERY_REQ);
    EXPECT_EQ(client->SendRequest(19, ""), 0);
    EXPECT_FALSE(transport->WaitForCalls(TRANSPORT_QUERY_REQ, queries + 1, std::chrono::milliseconds(300)));
    client->Shutdown();
    held.reset();
    TearDown();
  }
}

TEST_F(FactoriesTest, MissingOutsideRegistrationNamesTheType) {
  RegisterOutside(/*withTransport=*/false);
  EXPECT_THAT([] { CQLClientImplFactory::getQLClient(); },
              testing::ThrowsMessage<ioc::ResolutionError>(testing::StrEq("Unable to resolve zelvan::fennic::IRestClient")));
}

TEST_F(FactoriesTest, NoBuilderMeansNullUnlessTheLoaderInstallsOne) {
  IOCCManager::SetIOCBuilder(nullptr);
  EXPECT_FALSE(CQLClientImplFactory::getQLClient());
  EXPECT_FALSE(RestExecutorFactory::getRestExecutor());
  EXPECT_FALSE(RestExecutorFactory::getUpdatesDownload());

  int loads = 0;
  IAgentUtils::SetAgentUtilsLoader([&] {
    ++loads;
    IOCCManager::SetIOCBuilder(builder);
  });
  RegisterOutside();
  auto executor = RestExecutorFactory::getRestExecutor();
  ASSERT_TRUE(executor);
  held = executor;
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(RestExecutorFactory::getRestExecutor(), executor);
  EXPECT_EQ(loads, 1) << "a non-null result needs no reload";
}

}  // namespace
