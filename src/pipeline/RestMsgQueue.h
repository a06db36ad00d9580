#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ILogManager.h"
#include "RestMessage.h"

namespace zelvan::fennic {

// The one process-wide FIFO of requests between the producers (facade,
// executor, response processor, downloader) and the single worker thread.
// pushMsg may be called from any thread; getNextRestMsg only by the worker.
class RestMsgQueue {
 public:
  // Creates the instance on first use. REQUIRES: the first call does not
  // race with another first call (it happens while the container builds).
  static RestMsgQueue* getInstance();
  // Discards pending messages and destroys the instance. REQUIRES: no thread
  // pushes or takes any more (the executor calls it after joining).
  static void releaseInstance();

  void pushMsg(const RestMessage& message);
  // Blocks while the queue is empty.
  RestMessage getNextRestMsg();

  // True once the queue is empty and its taker waits for more, false when
  // `deadline` came first. Any thread but the taker's.
  bool waitUntilIdle(std::chrono::steady_clock::time_point deadline);
  // Removes every pending message and returns them, oldest first.
  std::vector<RestMessage> takeAll();

 private:
  RestMsgQueue();
  ILogManager* logger();
  const std::string& SizeLine(std::size_t size);

  std::mutex lock_;
  std::condition_variable messageAvailable_;
  std::condition_variable takerIdle_;  // signalled when the taker starts waiting
  bool takerWaiting_ = false;          // GUARDED_BY(lock_)
  std::deque<RestMessage> messages_;
  std::shared_ptr<ILogManager> logger_;  // GUARDED_BY(lock_) after construction
  std::string sizeLine_;                 // GUARDED_BY(lock_); the take's size line
};

}  // namespace zelvan::fennic
