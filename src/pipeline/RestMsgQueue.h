#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

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

 private:
  RestMsgQueue();
  std::shared_ptr<ILogManager> logger();

  std::mutex lock_;
  std::condition_variable messageAvailable_;
  std::deque<RestMessage> messages_;
  std::shared_ptr<ILogManager> logger_;  // GUARDED_BY(lock_) after construction
};

}  // namespace zelvan::fennic
