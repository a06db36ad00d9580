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
const std::string kPushWhere = "zelvan::fennic::RestMsgQueue::pushMsg";
const std::string kTakeWhere = "zelvan::fennic::RestMsgQueue::getNextRestMsg";
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
    {
      std::lock_guard<std::mutex> hold(lock_);
      messages_.push_back(message);
    }
    // Notified after unlocking so the woken worker does not block on the lock.
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
  std::size_t size = 0;
  std::shared_ptr<ILogManager> log;
  try {
    std::unique_lock<std::mutex> hold(lock_);
    log = logger();
    if (messages_.empty()) {
      if (log) log->Log(2, kTakeWhere, " Waiting for message ");
      messageAvailable_.wait(hold, [this] { return !messages_.empty(); });
    }
    size = messages_.size();
    result = std::move(messages_.front());
    messages_.pop_front();
  } catch (const std::system_error& e) {
    if (log) log->Log(5, kTakeWhere, e.what());
    return RestMessage();
  } catch (const std::bad_exception& e) {
    if (log) log->Log(5, kTakeWhere, e.what());
    return RestMessage();
  }
  // Logged after the lock is released so producers are not held up by the
  // log sink; the size is the one counted before the front was removed.
  if (log) log->Log(2, kTakeWhere, "Got new message(s), msgQueue size: " + std::to_string(size));
  return result;
}

}  // namespace zelvan::fennic
