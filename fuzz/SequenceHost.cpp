#include "SequenceHost.h"

namespace fennic_sequence {

std::uint64_t VirtualHost::AddTimer(ms delay, Callback callback) {
  const std::uint64_t id = nextTimer_++;
  timers_.emplace(now_ + delay, std::make_pair(id, std::move(callback)));
  return id;
}

void VirtualHost::CancelTimer(std::uint64_t id) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it)
    if (it->second.first == id) return void(timers_.erase(it));
}

void VirtualHost::Finish(int result) {
  if (finished_) return;
  finished_ = true;
  result_ = result;
  if (wiring_.finished) wiring_.finished(result);
}

void VirtualHost::Deliver() {
  // A handler may post more (its request raises events at once).
  while (!posted_.empty()) {
    const auto [code, text] = posted_.front();
    posted_.pop_front();
    if (mode_.onEvent && !finished_) mode_.onEvent(code, text, std::string());
  }
}

bool VirtualHost::FireNext() {
  if (timers_.empty()) return false;
  auto first = timers_.begin();
  now_ = first->first;
  Callback callback = std::move(first->second.second);
  timers_.erase(first);
  callback();
  return true;
}

std::optional<VirtualHost::ms> VirtualHost::NextDue() const {
  if (timers_.empty()) return std::nullopt;
  return timers_.begin()->first - now_;
}

void VirtualHost::BeatNow() {
  if (mode_.onBeatNow) mode_.onBeatNow();
  else Send(1, "");
}

void VirtualHost::Reset() {
  mode_ = Mode{};
  timers_.clear();
  posted_.clear();
  finished_ = false;
  result_ = 0;
}

}  // namespace fennic_sequence
