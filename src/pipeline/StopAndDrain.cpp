// The stop machinery behind StopWorker, DrainQueue and Shutdown, and the
// worker's edge. Every wait a drain makes has a bound; no host call meets a
// released queue or response processor.
#include "CRestExecutor.h"
#include "QueueGate.h"
#include "RestRequestType.h"

using namespace zelvan::fennic;

namespace {
const std::string kDrainWhere = "CRestExecutor::DrainQueue";
const std::string kEdgeWhere = "CRestExecutor::ExecuteRestCall";
// How long a drain past its bound gives the worker to leave the request it
// is in; a transfer is aborted on a stop well within it.
constexpr std::chrono::seconds kStopGrace{1};
// A pause after a failure at the edge, so host code that throws every time
// (a logger, say) cannot make the worker spin.
constexpr std::chrono::milliseconds kEdgePause{10};
}  // namespace

void CRestExecutor::AtWorkerEdge(const std::function<void()>& work) {
  std::string what;
  try {
    work();
    return;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "Unknown exception";
  }
  try {
    Log(5, kEdgeWhere, "Caught at the worker's edge, the worker goes on: " + what);
  } catch (...) {
    // The logger is what failed: nothing is left to write the line with.
  }
  WaitFor(kEdgePause);
}

void CRestExecutor::RequestStop() {
  {
    // Cleared under the lock and announced, so a worker waiting between
    // retries wakes at once instead of sleeping out its wait. Only the caller
    // that clears it wakes a worker waiting on an empty queue, and under the
    // lock: the queue is released only after the worker has left, which
    // needs running cleared first.
    std::lock_guard<std::mutex> hold(stopMutex_);
    if (running_.exchange(false)) SendRestMessage(STOP_WORKER_REQ);
  }
  stopCondition_.notify_all();
}

bool CRestExecutor::WaitForWorkerExit(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(stopMutex_);
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    stopCondition_.wait(hold, [this] { return workerExited_; });
    return true;
  }
  return stopCondition_.wait_until(hold, deadline, [this] { return workerExited_; });
}

bool CRestExecutor::DrainQueue(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  // The worker (a listener) cannot wait for its own queue.
  if (OnWorkerThread()) return false;
  std::unique_lock<std::mutex> one(drainMutex_, std::try_to_lock);
  if (!one.owns_lock()) {
    keepAtRelease_.store(true);
    Log(3, kDrainWhere, "Another drain is under way; what is queued is kept at Shutdown");
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(stopMutex_);
    if (released_) return true;  // nothing is queued any more
    ++drains_;
  }
  bool drained = false;
  try {
    drained = DrainUntil(deadline);
  } catch (...) {
    drained = false;  // the count below must drop whatever a logger threw
  }
  {
    std::lock_guard<std::mutex> hold(stopMutex_);
    --drains_;
  }
  stopCondition_.notify_all();
  return drained;
}

bool CRestExecutor::DrainUntil(std::chrono::steady_clock::time_point deadline) {
  if (running_.load() && queue_->waitUntilIdle(deadline)) return true;
  // Stopped first, and the queue taken only once the worker has left: a
  // handler still running could otherwise queue a report behind our back.
  // Whether it should run says nothing: another thread may have stopped it.
  RequestStop();
  if (!WaitForWorkerExit(deadline + kStopGrace)) {
    keepAtRelease_.store(true);
    Log(3, kDrainWhere, "The worker is still in a request; what is queued is kept at Shutdown");
    return false;
  }
  KeepUnsentReports(queue_->takeAll());
  return false;
}

void CRestExecutor::ReleaseQueueAfterJoin() {
  QueueGate::Release([this] {
    if (queue_ && keepAtRelease_.exchange(false)) KeepUnsentReports(queue_->takeAll());
    if (responseProcessor_) {
      responseProcessor_->ReleaseQueue();
      responseProcessor_.reset();
    }
    if (queue_) {
      RestMsgQueue::releaseInstance();
      queue_ = nullptr;
    }
  });
}

bool CRestExecutor::WithProcessor(const std::function<void(IQLResponse&)>& work) {
  bool held = false;
  QueueGate::WhileOpen([&] {
    if (!responseProcessor_) return;
    held = true;
    work(*responseProcessor_);
  });
  return held;
}
