#include "IAgentUtils.h"

#include <mutex>

namespace zelvan::fennic {

namespace {
struct Slots {
  std::mutex lock;
  std::shared_ptr<ILogManager> logger;
  std::shared_ptr<IFileManager> files;
  std::shared_ptr<IEncryptDecrypt> cipher;
  std::function<void()> loader;
};
Slots& slots() {
  static Slots s;
  return s;
}
}  // namespace

std::shared_ptr<ILogManager> IAgentUtils::getLogManager() {
  std::lock_guard<std::mutex> hold(slots().lock);
  return slots().logger;
}

std::shared_ptr<IFileManager> IAgentUtils::getFileManager() {
  std::lock_guard<std::mutex> hold(slots().lock);
  return slots().files;
}

std::shared_ptr<IEncryptDecrypt> IAgentUtils::getEncryptDecrypt() {
  std::lock_guard<std::mutex> hold(slots().lock);
  return slots().cipher;
}

void IAgentUtils::ILoadAgentUtils() {
  std::function<void()> loader;
  {
    std::lock_guard<std::mutex> hold(slots().lock);
    loader = slots().loader;
  }
  // Run outside the lock: the loader installs services through the setters.
  if (loader) loader();
}

void IAgentUtils::setLogManager(std::shared_ptr<ILogManager> logger) {
  std::lock_guard<std::mutex> hold(slots().lock);
  slots().logger = std::move(logger);
}

void IAgentUtils::setFileManager(std::shared_ptr<IFileManager> files) {
  std::lock_guard<std::mutex> hold(slots().lock);
  slots().files = std::move(files);
}

void IAgentUtils::setEncryptDecrypt(std::shared_ptr<IEncryptDecrypt> cipher) {
  std::lock_guard<std::mutex> hold(slots().lock);
  slots().cipher = std::move(cipher);
}

void IAgentUtils::SetAgentUtilsLoader(std::function<void()> loader) {
  std::lock_guard<std::mutex> hold(slots().lock);
  slots().loader = std::move(loader);
}

}  // namespace zelvan::fennic
