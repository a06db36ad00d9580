#include "RestMsgQueue.h"

#include <atomic>
#include <charconv>
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
const std::string kWaiting = " Waiting for message ";
constexpr char kSizePrefix[] = "Got new message(s), msgQueue size: ";

// The sink that just failed may fail again; the take still returns type 0.
void LogTakeFailure(ILogManager* log, const char* what) {
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

RestMsgQueue::RestMsgQueue() : logger_(IAgentUtils::getLogManager()), sizeLine_(kSizePrefix) {}

// REQUIRES: lock_ held. The pointer stays good while the queue lives:
// logger_ is only ever set, never replaced.
ILogManager* RestMsgQueue::logger() {
  if (!logger_) logger_ = IAgentUtils::getLogManager();
  return logger_.get();
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
  ILogManager* log = nullptr;
  try {
    std::unique_lock<std::mutex> hold(lock_);
    log = logger();
    if (messages_.empty()) {
      if (log) log->Log(2, kTakeWhere, kWaiting);
      takerWaiting_ = true;
      takerIdle_.notify_all();
      messageAvailable_.wait(hold, [this] { return !messages_.empty(); });
      takerWaiting_ = false;
    }
    // Logged before the front is removed: a log sink that throws here leaves
    // the message queued for the next take instead of losing it. The line is
    // written into a buffer kept from take to take, so the lock is not held
    // over an allocation while producers wait for it.
    if (log) log->Log(2, kTakeWhere, SizeLine(messages_.size()));
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

// REQUIRES: lock_ held. Only the number changes from line to line.
const std::string& RestMsgQueue::SizeLine(std::size_t size) {
  char digits[24];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), size).ptr;
  sizeLine_.resize(sizeof kSizePrefix - 1);
  sizeLine_.append(digits, end);
  return sizeLine_;
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
