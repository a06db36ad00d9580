#include "RestMsgQueue.h"

#include <atomic>
#include <exception>
#include <string>
#include <system_error>

#include "IAgentUtils.h"

namespace zelvan::fennic {

namespace {
// Atomic so that a host thread reading it while the executor releases it is
// not a data race; the protocol still requires release after the join.
std::atomic<RestMsgQueue*> g_instance{nullptr};
constexpr const char* kPushWhere = "zelvan::fennic::RestMsgQueue::pushMsg";
constexpr const char* kTakeWhere = "zelvan::fennic::RestMsgQueue::getNextRestMsg";
}  // namespace

RestMsgQueue* RestMsgQueue::getInstance() {
  RestMsgQueue* queue = g_instance.load();
  if (!queue) {
    queue = new RestMsgQueue();
    g_instance.store(queue);
  }
  return queue;
}

void RestMsgQueue::releaseInstance() {
  RestMsgQueue* queue = g_instance.exchange(nullptr);
  delete queue;
}

RestMsgQueue::RestMsgQueue() : logger_(IAgentUtils::getLogManager()) {}

// REQUIRES: lock_ held.
std::shared_ptr<ILogManager> RestMsgQueue::logger() {
  if (!logger_) logger_ = IAgentUtils::getLogManager();
  return logger_;
}

void RestMsgQueue::pushMsg(const RestMessage& message) {
  try {
    std::lock_guard<std::mutex> hold(lock_);
    messages_.push_back(message);
    messageAvailable_.notify_all();
  } catch (const std::system_error& e) {
    // The lock may be what failed: log through the accessor, not the member.
    if (auto log = IAgentUtils::getLogManager()) log->Log(5, kPushWhere, e.what());
  } catch (const std::bad_exception& e) {
    if (auto log = IAgentUtils::getLogManager()) log->Log(5, kPushWhere, e.what());
  }
}

RestMessage RestMsgQueue::getNextRestMsg() {
  RestMessage result;
  std::unique_lock<std::mutex> hold(lock_);
  try {
    if (messages_.empty()) {
      if (auto log = logger()) log->Log(2, kTakeWhere, " Waiting for message ");
      messageAvailable_.wait(hold, [this] { return !messages_.empty(); });
    }
    if (auto log = logger())
      log->Log(2, kTakeWhere, "Got new message(s), msgQueue size: " + std::to_string(messages_.size()));
  } catch (const std::system_error& e) {
    if (auto log = logger()) log->Log(5, kTakeWhere, e.what());
    return result;
  } catch (const std::bad_exception& e) {
    if (auto log = logger()) log->Log(5, kTakeWhere, e.what());
    return result;
  }
  result = messages_.front();
  messages_.pop_front();
  return result;
}

}  // namespace zelvan::fennic
