#include "Container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace zelvan::fennic::ioc;

namespace {

std::vector<std::string>& Built() {
  static std::vector<std::string> built;
  return built;
}

struct IStore { virtual ~IStore() = default; };
struct IClock { virtual ~IClock() = default; };
struct IService { virtual ~IService() = default; };
struct IMissing { virtual ~IMissing() = default; };

std::atomic<int> g_storeCount{0};

struct Store : IStore {
  Store() {
    ++g_storeCount;
    Built().push_back("Store");
    // Widen the window in which a second thread could build another one.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
};
struct Clock : IClock {
  Clock() { Built().push_back("Clock"); }
};
struct Service : IService {
  Service(std::shared_ptr<IClock> c, std::shared_ptr<IStore> s) : clock(std::move(c)), store(std::move(s)) {
    Built().push_back("Service");
  }
  std::shared_ptr<IClock> clock;
  std::shared_ptr<IStore> store;
};

TEST(ContainerTest, AutowiresParametersInOrderAndSharesSingleInstances) {
  Built().clear();
  auto builder = std::make_shared<ContainerBuilder>();
  builder->registerType<Service>().as<IService>().singleInstance();
  builder->registerType<Store>().as<IStore>().singleInstance();
  builder->registerType<Clock>().as<IClock>();
  auto container = builder->build();
  auto service = std::static_pointer_cast<Service>(container->resolve<IService>());
  ASSERT_TRUE(service);
  EXPECT_EQ(Built(), (std::vector<std::string>{"Clock", "Store", "Service"}));
  EXPECT_EQ(container->resolve<IService>(), container->resolve<IService>());
  EXPECT_EQ(service->store, container->resolve<IStore>());
  EXPECT_NE(container->resolve<IClock>(), container->resolve<IClock>()) << "not a single instance";
  EXPECT_FALSE(container->resolve<IMissing>()) << "an unregistered interface resolves to null";
}

TEST(ContainerTest, ConcurrentFirstResolutionBuildsOneSingleInstance) {
  g_storeCount = 0;
  auto builder = std::make_shared<ContainerBuilder>();
  builder->registerType<Store>().as<IStore>().singleInstance();
  auto container = builder->build();
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<IStore>> got(4);
  for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { got[i] = container->resolve<IStore>(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(g_storeCount.load(), 1);
  for (const auto& s : got) EXPECT_EQ(s, got[0]);
}

}  // namespace
