// Runs answer sequences on the real executor, response processor and
// download list over in-memory stores, one message at a time on the calling
// thread, and checks the invariants after every step.
#include <cpprest/http_msg.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "CQLResponse.h"
#include "CRestClientFactory.h"
#include "RestMsgQueue.h"
#include "RestRequestType.h"
#include "SequenceGrammar.h"
#include "UpdatesDownload.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::MemoryConfigurationManager;

namespace fennic_sequence {
namespace {

constexpr int kFreshUpdate = 900;
// More messages than this in one step is a storm: a good step needs about 20.
constexpr int kStepMessageBound = 400;
constexpr size_t kTraceLimit = 12000;

class SequenceExecutor : public fennic_test::TestableExecutor {
 public:
  using TestableExecutor::TestableExecutor;
  using CRestExecutor::SetToken;
  // One turn of the worker's loop, on the calling thread.
  void Turn() {
    AtWorkerEdge([this] { HandleNextMessage(); });
  }
};

class Runner {
 public:
  explicit Runner(Tolerance* tolerance) : config_(std::make_shared<MemoryConfigurationManager>()), tolerance_(tolerance) {
    CRestExecutor::SetRetryWait(std::chrono::milliseconds(0));
    config_->recordOperations = false;
    config_->token = L"token-0";
    config_->tenantDetails = {{"URL", "https://server.test"}, {"TenantID", "tenant-1"}};
    config_->supportedProducts = {L"P100"};
    transport_ = std::make_shared<fennic_test::ScriptedTransport>();
    CRestClientFactory::setRestClient(transport_);
    processor_ = std::make_shared<CQLResponse>(config_, std::make_shared<fennic_test::CountingTenantConfig>(),
                                               std::make_shared<UpdatesDownload>(config_));
    executor_ = std::make_shared<SequenceExecutor>(config_, processor_, transport_);
    executor_->LoadTenantConfiguration();
    executor_->StopWorker();
    fennic_test::TakeQueuedMessages();
    executor_->SetEventListener(&listener_);
    // The host answers a directory query as a host would: one verdict per query.
    listener_.SetReaction([](const fennic_test::Event& e) {
      if (e.code != 14) return;
      std::string verdicts = "1";
      try {
        for (size_t n = web::json::value::parse(e.payload).at("Query").size(); n > 1; --n) verdicts += ",1";
      } catch (const std::exception&) {
      }
      RestMsgQueue::getInstance()->pushMsg(fennic_test::Message(IN_GROUP_RESULT_REQ, R"({"Status":[)" + verdicts + "]}"));
    });
  }
  ~Runner() {
    executor_->SetEventListener(nullptr);
    fennic_test::TakeQueuedMessages();
    executor_.reset();
    CRestClientFactory::setRestClient(nullptr);
    CRestExecutor::SetRetryWait(std::chrono::milliseconds(10000));
  }

  std::string Run(const Sequence& sequence);

 private:
  std::string RunStep(const Step& step, int index);
  void Start(const Step& step, int index);
  std::string CheckStep(const Step& step, size_t eventsBefore, size_t callsBefore, int handled);
  std::string CheckStores();
  // True when `problem` ends the run; a tolerated one is only noted.
  bool Stops(const std::string& problem);
  bool Acknowledged(int id, size_t callsFrom);
  std::string FirstComplaint(size_t from);
  bool TokenStored();

  fennic_test::ServicesScope services_;
  std::shared_ptr<MemoryConfigurationManager> config_;
  std::shared_ptr<fennic_test::ScriptedTransport> transport_;
  std::shared_ptr<CQLResponse> processor_;
  std::shared_ptr<SequenceExecutor> executor_;
  fennic_test::RecordingListener listener_;
  std::string trace_;
  std::string lastRegistration_;
  Tolerance* tolerance_;
};

bool Runner::Stops(const std::string& problem) {
  if (tolerance_)
    for (const auto& known : tolerance_->known)
      if (problem.rfind(known, 0) == 0) return tolerance_->seen.insert(known), false;
  return true;
}

void Runner::Start(const Step& step, int index) {
  auto push = [](int type, const std::string& data) {
    RestMsgQueue::getInstance()->pushMsg(fennic_test::Message(type, data));
  };
  switch (step.trigger) {
    case Trigger::HostCheck:
      executor_->SetClientState(1);
      push(HEART_BEAT_REQ, "");
      break;
    case Trigger::HeartBeat:
      push(HEART_BEAT_REQ, "");
      break;
    case Trigger::HostGetAll:
      executor_->SetClientState(1);
      push(GET_ALL_UPDATES_REQ, "host");
      break;
    case Trigger::Registration:
      if (step.offer & 1) executor_->SetToken(std::wstring()), config_->SaveToken(std::wstring());  // a first one
      push(AGENT_REGISTRATION_REQ, R"({"TenantID":"tenant-1"})");
      break;
    case Trigger::ConfigRequest:
      push(CC_CONFIG_REQ, R"({"volume":3})");
      break;
    case Trigger::BadStoredEntry: {
      // Entries a reader must skip: a member missing, no download status, an id no integer holds, no object.
      static const char* const kSilent =
          R"({"UpdateSchedulerId":%,"UploadID":1,"Action":"Silent","IProduct":"P100","Version":"1",)"
          R"("Type":"Firmware","UpdatesURL":"https://s.test/x"})";
      static const char* const kBad[] = {R"({"UpdateSchedulerId":%,"UploadID":1,"Action":"ScheduleUpdate"})", kSilent,
                                         R"({"UpdateSchedulerId":1e20,"UploadID":1,"Action":"ScheduleUpdate"})",
                                         R"("%")"};
      std::string text = kBad[step.offer % 4];
      if (auto at = text.find('%'); at != std::string::npos) text.replace(at, 1, std::to_string(70 + index));
      auto hold = config_->Lock();
      web::json::value& list = step.offer & 4 ? config_->silentUpdates[0] : config_->jsonFiles["Update.dat"];
      if (!list.is_array()) list = web::json::value::array();
      list[list.size()] = web::json::value::parse(text);
      break;
    }
    default:
      break;
  }
}

std::string Runner::RunStep(const Step& step, int index) {
  trace_ += "step " + std::to_string(index) + ":\n";
  for (int type : AnsweredTypes())
    transport_->OnRequest(type, [this, type, &step, index](const std::string&) {
      std::string answer;
      try {
        answer = AnswerFor(type, step, index);
      } catch (const web::http::http_exception&) {
        trace_ += "  " + std::to_string(type) + " <- (transport failure)\n";
        throw;
      }
      if (type == AGENT_REGISTRATION_REQ) lastRegistration_ = answer;
      if (trace_.size() < kTraceLimit) trace_ += "  " + std::to_string(type) + " <- " + answer.substr(0, 300) + "\n";
      return answer;
    });
  transport_->OnDownload([&step](const fennic_test::DownloadCall&, std::wstring& reason) {
    if (step.downloadFails) reason = L"connection reset";
    return !step.downloadFails;
  });
  const size_t eventsBefore = listener_.Events().size();
  const size_t callsBefore = transport_->Calls().size();
  Start(step, index);
  int handled = 0;
  // What is queued now is handled in order, then what that queued, as the worker does.
  RestMsgQueue* queue = RestMsgQueue::getInstance();
  for (auto batch = queue->takeAll(); !batch.empty() && handled <= kStepMessageBound; batch = queue->takeAll()) {
    for (const auto& message : batch) queue->pushMsg(message);
    for (size_t i = 0; i < batch.size(); ++i) ++handled, executor_->Turn();
  }
  return CheckStep(step, eventsBefore, callsBefore, handled);
}

std::string Runner::CheckStep(const Step& step, size_t eventsBefore, size_t callsBefore, int handled) {
  const std::string storm = "invariant 2: more than " + std::to_string(kStepMessageBound) + " requests in one step";
  if (handled > kStepMessageBound && Stops(storm)) return storm;
  const std::vector<int> codes = listener_.Codes();
  const std::vector<fennic_test::TransportCall> calls = transport_->Calls();
  // A check starts with the host's request for all updates or a heart beat that reports news.
  bool checkStarted = step.trigger == Trigger::HostGetAll;
  for (size_t i = callsBefore; i < calls.size(); ++i)
    checkStarted |= calls[i].type == GET_UPDATES_REQ || calls[i].type == CANCEL_UPDATE_REQ ||
                    calls[i].type == GET_ALL_UPDATES_REQ;
  bool ended = false;
  for (size_t i = eventsBefore; i < codes.size(); ++i) ended |= codes[i] == 4 || codes[i] == 9;
  // Registration counts as done (event 1) only with the token the answer carried.
  const std::string tokenless = "invariant 2: registration raised event 1 without storing the token it was given";
  if (std::count(codes.begin() + eventsBefore, codes.end(), 1) > 0 && !TokenStored() && Stops(tokenless)) return tokenless;
  const std::string flagSet = "invariant 1: the full-list flag is still set after the step";
  if (executor_->GetAllUpdatesSent() && Stops(flagSet)) return flagSet;
  checkStarted |= executor_->HasUpdates() && std::count(codes.begin() + eventsBefore, codes.end(), 12) > 0;
  const std::string open = std::string("invariant 1: an update check raised neither event 4 nor event 9") +
                           (processor_->GetPendingDownloadCount() > 0 ? " with downloads pending" : "") +
                           "; its last request was " +
                           (calls.size() > callsBefore ? std::to_string(calls.back().type) : std::string("none"));
  if (checkStarted && !ended && Stops(open)) return open;
  return CheckStores();
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

std::string Runner::Run(const Sequence& sequence) {
  std::string broken;
  int index = 0;
  for (; index < static_cast<int>(sequence.size()) && broken.empty(); ++index)
    broken = RunStep(sequence[index], index);
  // Then the server is well again and offers a new update: within two heart beats it is downloaded and acknowledged.
  const size_t callsFrom = transport_->Calls().size();
  const size_t linesFrom = services_.logger->Lines().size();
  Step good;
  good.trigger = Trigger::HostCheck;
  good.offer = 0x10;
  good.freshUpdate = kFreshUpdate;
  if (broken.empty() && executor_->Token().empty()) {  // the host registers again first
    Step again;
    again.trigger = Trigger::Registration;
    broken = RunStep(again, index++);
  }
  for (int beat = 0; beat < 2 && broken.empty() && !Acknowledged(kFreshUpdate, callsFrom); ++beat, ++index)
    broken = RunStep(good, index);
  const std::string lost = "invariant 3: a new update offered by two good heart beats was not acknowledged \"Success\"" +
                           FirstComplaint(linesFrom);
  if (broken.empty() && !Acknowledged(kFreshUpdate, callsFrom) && Stops(lost)) broken = lost;
  if (broken.empty()) return broken;
  std::ostringstream out;
  out << broken << " (at step " << index - 1 << ")\nsequence:\n" << Describe(sequence) << "answers:\n" << trace_;
  out << "last log lines:\n";
  const auto lines = services_.logger->Lines();
  for (size_t i = lines.size() > 25 ? lines.size() - 25 : 0; i < lines.size(); ++i)
    out << "  [" << lines[i].level << "] " << lines[i].where << ": " << lines[i].text.substr(0, 200) << "\n";
  return out.str();
}

}  // namespace

std::string RunSequence(const Sequence& sequence, Tolerance* tolerance) {
  Runner runner(tolerance);
  return runner.Run(sequence);
}

Sequence Shrink(Sequence sequence, Tolerance* tolerance) {
  const std::string broken = RunSequence(sequence, tolerance);
  const auto same = [&](const Sequence& s) {
    const std::string again = RunSequence(s, tolerance);
    return !again.empty() && again.substr(0, again.find(" (")) == broken.substr(0, broken.find(" ("));
  };
  for (size_t i = sequence.size(); i-- > 0;) {  // drop whole steps, then single faults
    Sequence fewer = sequence;
    fewer.erase(fewer.begin() + static_cast<long>(i));
    if (same(fewer)) sequence = fewer;
  }
  for (size_t i = 0; i < sequence.size(); ++i)
    for (auto it = sequence[i].answers.begin(); it != sequence[i].answers.end();) {
      Sequence fewer = sequence;
      fewer[i].answers.erase(it->first);
      if (same(fewer)) it = sequence[i].answers.erase(it); else ++it;
    }
  return sequence;
}

}  // namespace fennic_sequence
