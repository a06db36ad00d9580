#pragma once

#include <functional>

#include "RestMessage.h"

namespace zelvan::fennic {

// Host threads reach the process-wide queue through here, so that nothing
// touches it while the executor's Shutdown releases it, and nothing queued
// after the release lands in a fresh queue that no worker will ever read.
// The worker needs no gate: Shutdown releases the queue only after joining it.
class QueueGate {
 public:
  // An executor has just taken the queue: host work may reach it again.
  static void Open();
  // Runs `work` while the queue cannot be released. Returns false, without
  // running it, once the queue has been released. Re-entrant: `work` may call
  // back into the gate (a listener that queues a request, say).
  static bool WhileOpen(const std::function<void()>& work);
  // Pushes onto the queue; false once it has been released.
  static bool Push(const RestMessage& message);
  // Waits until no host thread is inside the gate, runs `release` and closes.
  static void Release(const std::function<void()>& release);
};

}  // namespace zelvan::fennic
