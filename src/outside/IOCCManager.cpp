#include "IOCCManager.h"

#include <mutex>

namespace zelvan::fennic {

namespace {
std::mutex& lock() {
  static std::mutex m;
  return m;
}
std::shared_ptr<ioc::ContainerBuilder>& builderSlot() {
  static std::shared_ptr<ioc::ContainerBuilder> b;
  return b;
}
std::shared_ptr<ioc::Container>& containerSlot() {
  static std::shared_ptr<ioc::Container> c;
  return c;
}
}  // namespace

std::shared_ptr<ioc::ContainerBuilder> IOCCManager::GetIOCBuilder() {
  std::lock_guard<std::mutex> hold(lock());
  return builderSlot();
}

void IOCCManager::SetIOCBuilder(std::shared_ptr<ioc::ContainerBuilder> builder) {
  std::lock_guard<std::mutex> hold(lock());
  builderSlot() = std::move(builder);
}

std::shared_ptr<ioc::Container> IOCCManager::GetIOCContainer() {
  std::lock_guard<std::mutex> hold(lock());
  return containerSlot();
}

void IOCCManager::SetIOCContainer(std::shared_ptr<ioc::Container> container) {
  std::lock_guard<std::mutex> hold(lock());
  containerSlot() = std::move(container);
}

}  // namespace zelvan::fennic
