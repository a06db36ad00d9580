// The checks after each step of a sequence: update checks end, stores hold
// each id once, acknowledgements carry their ids and reasons, heart beats
// end with their own outcome, one bad entry fails alone, stored values are
// ones their users accept, and nothing thrown reaches the host.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>

#include "Backoff.h"
#include "HttpAddress.h"
#include "RestRequestType.h"
#include "SequenceRunner.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace fennic_sequence {

bool Runner::Stops(const std::string& problem) {
  if (tolerance_)
    for (const auto& known : tolerance_->known)
      if (problem.rfind(known, 0) == 0) return tolerance_->seen.insert(known), false;
  return true;
}

std::string Runner::CheckStep(const Step& step, const StepRecord& record) {
  for (const std::string& problem : hostProblems_)
    if (Stops(problem)) return problem;
  const std::string edge = "invariant 11: an exception reached the worker's edge";
  const auto lines = services_.logger->Lines();
  for (size_t i = record.lines; i < lines.size(); ++i)
    if (lines[i].text.rfind("Caught at the worker's edge", 0) == 0 && Stops(edge)) return edge + " (" + lines[i].text + ")";
  for (auto check : {&Runner::CheckCheckEnds, &Runner::CheckAcknowledgements}) {
    const std::string broken = (this->*check)(step, record);
    if (!broken.empty()) return broken;
  }
  std::string broken = CheckHeartBeats(record);
  if (broken.empty()) broken = CheckHostView(step, record);
  if (broken.empty()) broken = CheckGoodEntriesKept(step, record);
  if (broken.empty()) broken = CheckStoredValues();
  return broken.empty() ? CheckStores() : broken;
}

std::string Runner::CheckCheckEnds(const Step& step, const StepRecord& record) {
  const std::string storm = "invariant 2: more than " + std::to_string(kStepMessageBound) + " requests in one step";
  if (record.handled > kStepMessageBound && Stops(storm)) return storm;
  const std::vector<int> codes = listener_.Codes();
  const std::vector<fennic_test::TransportCall> calls = transport_->Calls();
  // A check starts with the host's request for all updates or a heart beat that reports news.
  bool checkStarted = step.trigger == Trigger::HostGetAll;
  for (size_t i = record.calls; i < calls.size(); ++i)
    checkStarted |= calls[i].type == GET_UPDATES_REQ || calls[i].type == CANCEL_UPDATE_REQ ||
                    calls[i].type == GET_ALL_UPDATES_REQ;
  bool ended = false;
  for (size_t i = record.events; i < codes.size(); ++i) ended |= codes[i] == 4 || codes[i] == 9;
  // Registration counts as done (event 1) only with the token the answer carried.
  const std::string tokenless = "invariant 2: registration raised event 1 without storing the token it was given";
  if (std::count(codes.begin() + record.events, codes.end(), 1) > 0 && !TokenStored() && Stops(tokenless)) return tokenless;
  const std::string flagSet = "invariant 1: the full-list flag is still set after the step";
  if (executor_->GetAllUpdatesSent() && Stops(flagSet)) return flagSet;
  checkStarted |= executor_->HasUpdates() && std::count(codes.begin() + record.events, codes.end(), 12) > 0;
  const std::string open = std::string("invariant 1: an update check raised neither event 4 nor event 9") +
                           (processor_->GetPendingDownloadCount() > 0 ? " with downloads pending" : "") +
                           "; its last request was " +
                           (calls.size() > record.calls ? std::to_string(calls.back().type) : std::string("none"));
  if (checkStarted && !ended && Stops(open)) return open;
  return std::string();
}

// Each acknowledgement names an offer by its own ids, a failure by its
// reason; an update acknowledged "Success" is not acknowledged again, and a
// package is transferred once unless its transfer failed.
std::string Runner::CheckAcknowledgements(const Step& step, const StepRecord& record) {
  const std::vector<fennic_test::TransportCall> calls = transport_->Calls();
  std::set<int> succeeded, failed;
  for (size_t i = record.calls; i < calls.size(); ++i) {
    if (calls[i].type != DOWNLOAD_STATUS_REQ && calls[i].type != CANCEL_RECEIVED_ACK_REQ) continue;
    web::json::value acks;
    try {
      acks = web::json::value::parse(calls[i].body);
    } catch (const web::json::json_exception&) {
      continue;  // not ours to read: a forwarded text
    }
    if (!acks.is_array()) continue;
    for (const auto& ack : acks.as_array()) {
      if (!ack.has_integer_field("UpdateSchedulerId") || !ack.has_integer_field("UploadID")) continue;
      const int id = ack.at("UpdateSchedulerId").as_integer();
      if (calls[i].type == CANCEL_RECEIVED_ACK_REQ) {  // cancelled: a new offer may follow
        succeeded.erase(id);
        continue;
      }
      const std::string zero = "invariant 6: an acknowledgement without the offer's ids";
      if ((id == 0 || ack.at("UploadID").as_integer() == 0) && Stops(zero)) return zero + " (" + ack.serialize() + ")";
      const std::string again = "invariant 6: an update acknowledged again after its success";
      if (succeeded.count(id) && !record.Reoffered(id) && Stops(again)) return again + " (" + ack.serialize() + ")";
      const bool success = ack.has_string_field("Status") && ack.at("Status").as_string() == "Success";
      if (success) succeeded.insert(id);
      else failed.insert(id);
      const std::string reason = ack.has_string_field("Reason") ? ack.at("Reason").as_string() : std::string();
      const std::string silent = "invariant 12: a failed acknowledgement without its reason";
      if (!success && (reason.empty() || reason.find('\n') != std::string::npos) && Stops(silent))
        return silent + " (" + ack.serialize() + ")";
    }
  }
  // A cancelled update offered again is a new offer: its package may come again.
  bool cancelled = false;
  for (size_t i = record.calls; i < calls.size(); ++i) cancelled |= calls[i].type == CANCEL_RECEIVED_ACK_REQ;
  if (cancelled) return std::string();
  std::map<std::wstring, int> transfers;
  const auto downloads = transport_->Downloads();
  for (size_t i = record.downloads; i < downloads.size(); ++i) ++transfers[downloads[i].localPath];
  const std::string twice = "invariant 6: a package was transferred twice although its transfer succeeded";
  for (const auto& [path, count] : transfers) {
    // The grammar's packages are ".../pID.bin"; one acknowledged "Failed" may come again.
    const std::string name = ToUtf8(path);
    const int id = std::atoi(name.c_str() + name.rfind('p') + 1);
    if (count > 1 && !step.downloadFails && !failed.count(id) && !record.Reoffered(id) && Stops(twice)) return twice + " (" + name + ")";
  }
  return std::string();
}

void Runner::NoteOffers(const std::string& answer, bool fullList, StepRecord& record) {
  web::json::value updates;
  try {
    updates = web::json::value::parse(answer).at("ResponseBody").at("Updates");
  } catch (const std::exception&) {
    return;
  }
  if (!updates.is_array()) return;
  std::set<int> listed;
  for (const auto& entry : updates.as_array()) {
    if (!entry.is_object()) continue;
    const bool readable = entry.has_integer_field("UpdateSchedulerId");
    // Another action than these is never stored: downloaded whenever received.
    const bool stored = entry.has_string_field("Action") &&
                        (entry.at("Action").as_string() == "Silent" || entry.at("Action").as_string() == "ScheduleUpdate");
    if (readable && stored) listed.insert(entry.at("UpdateSchedulerId").as_integer());
    if (readable && !stored) record.reoffered.insert(entry.at("UpdateSchedulerId").as_integer());
    if (!entry.has_string_field("UpdatesURL")) continue;
    const std::string url = entry.at("UpdatesURL").as_string();
    const size_t at = url.rfind("/p");
    if (at == std::string::npos) continue;
    const int own = std::atoi(url.c_str() + at + 2);
    if (!readable || entry.at("UpdateSchedulerId").as_integer() != own) record.reoffered.insert(own);
  }
  if (fullList) record.fullLists.push_back(std::move(listed));
}

bool Runner::StepRecord::Reoffered(int id) const {
  return reoffered.count(id) > 0 ||
         std::any_of(fullLists.begin(), fullLists.end(), [id](const std::set<int>& listed) { return !listed.count(id); });
}

// Each heart beat ends with its own outcome (accepted 6, failed 7, or a new
// registration asked, 2) before the next one goes out: a host counts it from
// that, never from another request's end of the check.
std::string Runner::CheckHeartBeats(const StepRecord& record) {
  const std::vector<int> codes = listener_.Codes();
  const std::string lost = "invariant 10: a heart beat ended without its own outcome (6, 7 or 2)";
  for (size_t b = 0; b < record.beats.size(); ++b) {
    const size_t until = b + 1 < record.beats.size() ? record.beats[b + 1] : codes.size();
    bool outcome = false;
    for (size_t i = record.beats[b]; i < until && i < codes.size(); ++i)
      outcome |= codes[i] == 6 || codes[i] == 7 || codes[i] == 2;
    if (!outcome && Stops(lost)) return lost;
  }
  return std::string();
}

// The host's side of 9 and 10: the schedule counts a failure only from its
// own requests' outcomes, and once the step is over its next request is set
// within the back-off step (plus 2 s), never left to its step bound.
std::string Runner::CheckHostView(const Step& step, const StepRecord& record) {
  if (step.trigger == Trigger::OncePass) return CheckOncePass(step);
  const std::vector<int> codes = listener_.Codes();
  const bool asked = std::count(codes.begin() + record.events, codes.end(), 2) > 0;
  const auto& warnings = host_.Warnings();
  const auto failure = [](const std::string& line) { return line.rfind("failure ", 0) == 0; };
  const auto counted = std::count_if(warnings.begin() + record.warnings, warnings.end(), failure);
  const auto good = [](Kind kind) { return kind == Kind::Good; };
  const bool allGood = std::all_of(record.beatKinds.begin(), record.beatKinds.end(), good) &&
                       std::all_of(record.registrationKinds.begin(), record.registrationKinds.end(), good);
  const std::string miscounted = "invariant 10: the schedule counted a failure though each heart beat and registration was answered well";
  if (counted > 0 && allGood && !asked && Stops(miscounted)) return miscounted + " (" + warnings.back() + ")";
  const bool beatFailed = std::any_of(record.beatKinds.begin(), record.beatKinds.end(),
                                      [](Kind kind) { return kind == Kind::TransportFailure || kind == Kind::Empty; });
  const std::string uncounted = "invariant 10: a heart beat that failed was not counted as a failure";
  if (beatFailed && counted == 0 && !asked && Stops(uncounted)) return uncounted;
  const auto interval = host_.HeartBeatInterval();
  const auto bound = std::chrono::duration_cast<VirtualHost::ms>(interval * agent::Backoff::kMostIntervals *
                                                                  (1 + VirtualHost::kPacing.jitter)) + std::chrono::seconds(2);
  const auto due = host_.NextDue();
  const std::string silent = "invariant 9: the schedule's next request is not set within its back-off step";
  if ((!due || *due > bound) && Stops(silent))
    return silent + " (" + (due ? std::to_string(due->count() / 1000) + " s away" : std::string("none set")) +
           ", bound " + std::to_string(bound.count() / 1000) + " s)";
  return std::string();
}

// --once ends when its own update check has: well when every answer was
// good, never with downloads still listed, and never by its bound.
std::string Runner::CheckOncePass(const Step& step) {
  const std::string unended = "invariant 10: --once did not end with its update check; it would wait its bound";
  if (!host_.Finished()) return Stops(unended) ? unended : std::string();
  const std::string early = "invariant 10: --once ended well with downloads still listed";
  if (host_.Result() == 0 && pendingAtFinish_ > 0 && Stops(early)) return early + " (" + std::to_string(pendingAtFinish_) + ")";
  const bool good = step.answers.empty() && !step.downloadFails && step.host == HostAction::None;
  const std::string failed = "invariant 10: --once failed though every answer was good";
  if (good && host_.Result() != 0 && Stops(failed)) return failed + " (" + passError_.str() + ")";
  return std::string();
}

// One bad entry among good ones fails alone: when it was the step's only
// fault, every good entry of the update check's lists is stored.
std::string Runner::CheckGoodEntriesKept(const Step& step, const StepRecord& record) {
  if (step.trigger != Trigger::HostCheck && step.trigger != Trigger::HostGetAll) return std::string();
  if (step.host != HostAction::None || step.answers.size() != 1) return std::string();
  if (step.answers.begin()->second.kind != Kind::BadEntry) return std::string();
  const int type = step.answers.begin()->first;
  if (type != GET_UPDATES_REQ && type != GET_ALL_UPDATES_REQ) return std::string();
  // A check whose flags asked for cancellations alone ends without the lists.
  const std::vector<fennic_test::TransportCall> calls = transport_->Calls();
  if (std::none_of(calls.begin() + static_cast<long>(record.calls), calls.end(),
                   [type](const fennic_test::TransportCall& call) { return call.type == type; }))
    return std::string();
  const OfferedIds ids = OfferOf(step);
  std::set<int> stored;
  auto hold = config_->Lock();
  for (const web::json::value* list : {&config_->jsonFiles["Update.dat"], &config_->silentUpdates[0], &config_->jsonFiles["Config.dat"]})
    if (list->is_array())
      for (const auto& entry : list->as_array())
        if (entry.has_integer_field("UpdateSchedulerId")) stored.insert(entry.at("UpdateSchedulerId").as_integer());
  for (const int id : {ids.scheduled, ids.second, ids.configuration}) {
    const std::string lost = "invariant 7: one bad entry cost a good one of its answer";
    if (!stored.count(id) && Stops(lost)) return lost + " (" + std::to_string(id) + " not stored)";
  }
  return std::string();
}

// The server address the executor holds is one the transport accepts.
std::string Runner::CheckStoredValues() {
  const std::string url = executor_->TenantValue("URL");
  const std::string refused = "invariant 8: the executor holds a server address the transport refuses";
  try {
    if (!url.empty()) ParseHttpAddress(url, false);
  } catch (const std::exception&) {
    if (Stops(refused)) return refused + " (" + url + ")";
  }
  const std::string none = "invariant 8: the agent holds no server address";
  if (url.empty() && Stops(none)) return none;
  return std::string();
}

std::string Runner::CheckStores() {
  auto hold = config_->Lock();
  const std::pair<const char*, web::json::value> lists[] = {{"Update.dat", config_->jsonFiles["Update.dat"]},
                                                            {"Config.dat", config_->jsonFiles["Config.dat"]},
                                                            {"the silent store", config_->silentUpdates[0]}};
  for (const auto& [name, list] : lists) {
    if (!list.is_array()) continue;
    std::set<int> ids;
    for (const auto& entry : list.as_array()) {
      if (!entry.is_object() || !entry.has_field("UpdateSchedulerId")) continue;
      const auto& id = entry.at("UpdateSchedulerId");
      if (!id.is_integer() || ids.insert(id.as_integer()).second) continue;
      const std::string twice = std::string("invariant 4: ") + name + " holds an id twice (" +
                                std::to_string(id.as_integer()) + " in " + list.serialize().substr(0, 600) + ")";
      if (Stops(twice)) return twice;
      break;
    }
  }
  return std::string();
}

// The first warning or error logged since line `from`, digits left out, so
// that breaks group by their cause.
std::string Runner::FirstComplaint(size_t from) {
  const auto lines = services_.logger->Lines();
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].level < 3) continue;
    std::string text = lines[i].where + ": " + lines[i].text.substr(0, 80);
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }), text.end());
    return "; first complaint " + text;
  }
  return "; nothing logged above level 2";
}

bool Runner::TokenStored() {
  try {
    const web::json::value answer = web::json::value::parse(lastRegistration_);
    const std::string token = answer.at("Token").as_string();
    return !token.empty() && executor_->Token() == std::wstring(token.begin(), token.end());
  } catch (const std::exception&) {
    return false;
  }
}

bool Runner::Acknowledged(int id, size_t callsFrom) {
  const std::vector<fennic_test::TransportCall> calls = transport_->Calls();
  const std::string idText = "\"UpdateSchedulerId\":" + std::to_string(id);
  for (size_t i = callsFrom; i < calls.size(); ++i)
    if (calls[i].type == DOWNLOAD_STATUS_REQ && calls[i].body.find(idText) != std::string::npos &&
        calls[i].body.find("\"Success\"") != std::string::npos)
      return true;
  return false;
}

}  // namespace fennic_sequence
