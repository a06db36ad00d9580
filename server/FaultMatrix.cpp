#include "ManagementServer.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "ServerAnswer.h"

// The fault matrix: which requests get which of the scenario's faults, and
// what a fault does to an answer.
namespace zelvan::fennic {

using web::json::value;

void ManagementServer::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.emplace_back(fault, 0);
}

std::optional<Fault> ManagementServer::TakeFault(const std::string& target) {
  std::lock_guard<std::mutex> hold(lock_);
  for (auto& [fault, seen] : faults_) {
    if (fault.target != target && fault.target != "*") continue;
    const int index = seen++;
    if (index < fault.skip) continue;
    if (fault.times >= 0 && index >= fault.skip + fault.times) continue;
    return fault;
  }
  const RandomFaults& random = scenario_.randomFaults;
  if (random.percent <= 0 || (random.seconds > 0 && std::chrono::steady_clock::now() - started_ >
                                                         std::chrono::seconds(random.seconds)))
    return std::nullopt;
  if (std::uniform_int_distribution<int>(0, 99)(faultRandom_) >= random.percent) return std::nullopt;
  Fault drawn;
  drawn.target = target;
  drawn.action = random.actions[std::uniform_int_distribution<size_t>(0, random.actions.size() - 1)(faultRandom_)];
  if (drawn.action == "status503" && faultRandom_() % 2) drawn.retryAfterSeconds = 1 + faultRandom_() % 5;
  return drawn;
}

int64_t ManagementServer::ApplyFault(const Fault& fault, Answer& answer) {
  int64_t breakAfter = -1;
  if (fault.action == "delay" || fault.action == "refuse") {
    std::unique_lock<std::mutex> hold(lock_);
    stopping_.wait_for(hold, std::chrono::milliseconds(std::min(fault.delayMs, 30000)), [&] { return stopped_; });
  }
  if (fault.action == "status500") {
    answer = Answer{};
    answer.status = 500;
    answer.text = "{\"error\":\"injected\"}";
  } else if (fault.action == "status503") {
    answer = Answer{};
    answer.status = 503;
    answer.text = "{\"error\":\"unavailable\"}";
    answer.retryAfterSeconds = fault.retryAfterSeconds;
  } else if (fault.action == "tokenNotFound") {
    answer = Answer{};
    answer.text = Refusal("Token Not Found").serialize();
  } else if (fault.action == "empty") {
    answer = Answer{};
  } else if (fault.action == "statusFalse") {
    answer = Answer{};
    value v = Refusal("Service unavailable");
    v["validateResponseStatus"] = value::boolean(false);
    answer.text = v.serialize();
  } else if (fault.action == "malformed") {
    answer.file.clear();
    answer.status = 200;
    answer.text = "{\"validateResponseStatus\": tru";
  } else if (fault.action == "refuse") {
    breakAfter = 0;
  } else if (fault.action == "truncate") {
    const uint64_t full = answer.file.empty() ? answer.text.size() : answer.length;
    breakAfter = fault.bytes >= 0 ? std::min<int64_t>(fault.bytes, static_cast<int64_t>(full))
                                  : static_cast<int64_t>(full / 2);
  }
  return breakAfter;
}

}  // namespace zelvan::fennic
