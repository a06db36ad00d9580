#include "CRestClientFactory.h"

#include <mutex>

namespace zelvan::fennic {

namespace {
std::mutex& lock() {
  static std::mutex m;
  return m;
}
std::shared_ptr<IRestClient>& slot() {
  static std::shared_ptr<IRestClient> c;
  return c;
}
}  // namespace

std::shared_ptr<IRestClient> CRestClientFactory::getRestClient() {
  std::lock_guard<std::mutex> hold(lock());
  return slot();
}

void CRestClientFactory::setRestClient(std::shared_ptr<IRestClient> client) {
  std::lock_guard<std::mutex> hold(lock());
  slot() = std::move(client);
}

}  // namespace zelvan::fennic
