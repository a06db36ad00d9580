// The library's exports: registration of the four implementation classes in
// the shared container, and the getters that resolve their single instances.
#include "CQLClientImpl.h"
#include <fennic/CQLClientImplFactory.h>
#include "CQLResponse.h"
#include "CRestExecutor.h"
#include "IAgentUtils.h"
#include "IOCCManager.h"
#include <fennic/RestExecutorFactory.h>
#include "UpdatesDownload.h"

#include <mutex>

using namespace zelvan::fennic;

namespace {
// Loads are serialised, and a load that finds an executor registered in the
// published container adds nothing: a second set of instances would mean a
// second worker on the one queue. Recursive, as the agent-utils loader may
// call a getter.
std::recursive_mutex& LoadLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Resolves from the published container; on a null result loads the
// registrations once and resolves again (which may still be null).
template <class I>
std::shared_ptr<I> ResolveOrLoad() {
  if (auto container = IOCCManager::GetIOCContainer()) {
    if (auto resolved = container->resolve<I>()) return resolved;
  }
  CQLClientImplFactory::ILoadIoCContainerQLClient();
  auto container = IOCCManager::GetIOCContainer();
  return container ? container->resolve<I>() : nullptr;
}
}  // namespace

namespace zelvan::fennic {

void CQLClientImplFactory::ILoadIoCContainerQLClient() {
  std::lock_guard<std::recursive_mutex> hold(LoadLock());
  std::shared_ptr<ioc::Container> published = IOCCManager::GetIOCContainer();
  if (published && published->isRegistered<IRestExecutor>()) return;
  std::shared_ptr<ioc::ContainerBuilder> builder = IOCCManager::GetIOCBuilder();
  if (!builder) {
    IAgentUtils::ILoadAgentUtils();
    builder = IOCCManager::GetIOCBuilder();
    if (!builder) return;
  }
  builder->registerType<CQLClientImpl>().as<IQLClient>().singleInstance();
  builder->registerType<CRestExecutor>().as<IRestExecutor>().singleInstance();
  builder->registerType<CQLResponse>().as<IQLResponse>().singleInstance();
  builder->registerType<UpdatesDownload>().as<IUpdatesDownload>().singleInstance();
  IOCCManager::SetIOCContainer(builder->build());
}

std::shared_ptr<IQLClient> CQLClientImplFactory::getQLClient() { return ResolveOrLoad<IQLClient>(); }

std::shared_ptr<IRestExecutor> RestExecutorFactory::getRestExecutor() { return ResolveOrLoad<IRestExecutor>(); }

std::shared_ptr<IQLResponse> RestExecutorFactory::getQLResponse() { return ResolveOrLoad<IQLResponse>(); }

std::shared_ptr<IUpdatesDownload> RestExecutorFactory::getUpdatesDownload() {
  return ResolveOrLoad<IUpdatesDownload>();
}

}  // namespace zelvan::fennic
