#pragma once

#include <functional>
#include <initializer_list>

#include "EventLoop.h"

namespace zelvan::fennic::agent {

// Delivers signals to the event loop through a signalfd. The constructor
// blocks the signals on the calling thread; build it on the main thread
// before any other thread starts, so every later thread inherits the mask and
// no signal is delivered the classic way.
class SignalSource {
 public:
  // Throws std::system_error when the descriptor cannot be made.
  explicit SignalSource(std::initializer_list<int> signals);
  ~SignalSource();
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;

  // Calls `onSignal` on the loop thread with each signal's number.
  void Attach(EventLoop& loop, std::function<void(int)> onSignal);

 private:
  int fd_ = -1;
};

}  // namespace zelvan::fennic::agent
