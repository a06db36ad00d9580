#include "QueueGate.h"

#include <mutex>

#include "RestMsgQueue.h"

namespace zelvan::fennic {

namespace {
std::recursive_mutex& GateLock() {
  static std::recursive_mutex lock;
  return lock;
}
bool g_open = true;  // GUARDED_BY(GateLock()); open until an executor releases the queue
}  // namespace

void QueueGate::Open() {
  std::lock_guard<std::recursive_mutex> hold(GateLock());
  g_open = true;
}

bool QueueGate::WhileOpen(const std::function<void()>& work) {
  std::lock_guard<std::recursive_mutex> hold(GateLock());
  if (!g_open) return false;
  work();
  return true;
}

bool QueueGate::Push(const RestMessage& message) {
  return WhileOpen([&message] { RestMsgQueue::getInstance()->pushMsg(message); });
}

void QueueGate::Release(const std::function<void()>& release) {
  std::lock_guard<std::recursive_mutex> hold(GateLock());
  g_open = false;
  release();
}

}  // namespace zelvan::fennic
