#include "RestMsgQueue.h"

#include <atomic>
#include <exception>
#include <iterator>
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

// The sink that just failed may fail again; the take still returns type 0.
void LogTakeFailure(const std::shared_ptr<ILogManager>& log, const char* what) {
  if (!log) return;
  try {
    log->Log(5, kTakeWhere, what);
  } catch (const std::exception&) {
    // Nothing left to log through.
  }
}
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
  std::shared_ptr<ILogManager> log;
  try {
    std::unique_lock<std::mutex> hold(lock_);
    log = logger();
    if (messages_.empty()) {
      if (log) log->Log(2, kTakeWhere, " Waiting for message ");
      takerWaiting_ = true;
      takerIdle_.notify_all();
      messageAvailable_.wait(hold, [this] { return !messages_.empty(); });
      takerWaiting_ = false;
    }
    // Logged before the front is removed: a log sink that throws here leaves
    // the message queued for the next take instead of losing it.
    if (log) log->Log(2, kTakeWhere, "Got new message(s), msgQueue size: " + std::to_string(messages_.size()));
    RestMessage result = std::move(messages_.front());
    messages_.pop_front();
    return result;
  } catch (const std::system_error& e) {
    LogTakeFailure(log, e.what());
  } catch (const std::bad_exception& e) {
    LogTakeFailure(log, e.what());
  }
  return RestMessage();
}

bool RestMsgQueue::waitUntilIdle(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(lock_);
  return takerIdle_.wait_until(hold, deadline, [this] { return messages_.empty() && takerWaiting_; });
}

std::vector<RestMessage> RestMsgQueue::takeAll() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<RestMessage> taken(std::make_move_iterator(messages_.begin()), std::make_move_iterator(messages_.end()));
  messages_.clear();
  return taken;
}

}  // namespace zelvan::fennic
