// Runs answer sequences on the real executor, response processor and
// download list over in-memory stores, one message at a time on the calling
// thread, with the host acting between the answers, and checks the
// invariants after every step (SequenceInvariants.cpp).
#include "SequenceRunner.h"

#include <cpprest/http_msg.h>

#include <cerrno>
#include <chrono>
#include <sstream>

#include "CRestClientFactory.h"
#include "IAgentUtils.h"
#include "RestMsgQueue.h"
#include "RestRequestType.h"
#include "UpdatesDownload.h"

using namespace zelvan::fennic;

namespace fennic_sequence {
namespace {

constexpr int kFreshUpdate = 900;
// The schedule's draws are fixed, so a sequence replays alike.
constexpr std::uint32_t kScheduleSeed = 7;
constexpr size_t kTraceLimit = 12000;

void Push(int type, const std::string& data) { RestMsgQueue::getInstance()->pushMsg(fennic_test::Message(type, data)); }

// The tenant file as the executor writes it, sealed by the installed cipher.
std::string SealedTenantFile(const std::string& url) {
  return IAgentUtils::getEncryptDecrypt()->Encrypt(R"({"URL":")" + url + R"(","TenantID":"tenant-1"})");
}

}  // namespace

Runner::Runner(Tolerance* tolerance)
    : config_(std::make_shared<fennic_test::MemoryConfigurationManager>()),
      host_({[this](int code, const std::string& data) {
               try {
                 client_->SendRequest(code, data);
               } catch (const std::exception& e) {
                 hostProblems_.push_back("invariant 11: the host's request threw (code " + std::to_string(code) + ": " + e.what() + ")");
               }
             },
             [this] { return !executor_->GetToken().empty(); },
             [this] { return agent::TenantHeartBeatInterval(config_->GetTenantDetails(), std::chrono::seconds(60)); },
             [this](int) { pendingAtFinish_ = processor_->GetPendingDownloadCount(); }}),
      tolerance_(tolerance) {
  config_->recordOperations = false;
  config_->tenantFileOverrides = true;
  config_->token = L"token-0";
  config_->tenantDetails = {{"URL", "https://server.test"}, {"TenantID", "tenant-1"}};
  config_->supportedProducts = {L"P100"};
  transport_ = std::make_shared<fennic_test::ScriptedTransport>();
  CRestClientFactory::setRestClient(transport_);
  // The host answers a directory query as a host would: one verdict per query.
  // An update check that ends (4) while its downloads wait would end a host's
  // pass before they ran.
  listener_.SetReaction([this](const fennic_test::Event& e) {
    host_.Post(e.code, e.text);
    // A check that failed says so first (9); one that ends well must not end early.
    const std::vector<int> codes = listener_.Codes();
    const bool failed = codes.size() > 1 && codes[codes.size() - 2] == 9;
    if (e.code == 4 && !failed && processor_ && processor_->GetPendingDownloadCount() > 0) {
      const auto lines = services_.logger->Lines();
      hostProblems_.push_back("invariant 10: the update check ended with downloads pending (event 4 after \"" +
                              (lines.empty() ? std::string() : lines.back().where + ": " + lines.back().text.substr(0, 120)) + "\")");
    }
    if (e.code != 14) return;
    std::string verdicts = "1";
    try {
      for (size_t n = web::json::value::parse(e.payload).at("Query").size(); n > 1; --n) verdicts += ",1";
    } catch (const std::exception&) {
    }
    Push(IN_GROUP_RESULT_REQ, R"({"Status":[)" + verdicts + "]}");
  });
  Open();
}

Runner::~Runner() {
  Close();
  CRestClientFactory::setRestClient(nullptr);
}

// A start of the agent over the stores as they are.
void Runner::Open(bool service) {
  processor_ = std::make_shared<CQLResponse>(config_, std::make_shared<fennic_test::CountingTenantConfig>(),
                                             std::make_shared<UpdatesDownload>(config_));
  executor_ = std::make_shared<SequenceExecutor>(config_, processor_, transport_);
  client_ = std::make_shared<CQLClientImpl>(executor_, transport_, config_);
  executor_->LoadTenantConfiguration();
  executor_->StopWorker();
  fennic_test::TakeQueuedMessages();
  executor_->SetEventListener(&listener_);
  host_.Reset();
  if (!service) return;
  schedule_ = std::make_unique<agent::HeartBeatSchedule>(host_, kScheduleSeed);
  schedule_->Begin();
}

void Runner::Close() {
  pass_.reset();
  schedule_.reset();
  executor_->SetEventListener(nullptr);
  fennic_test::TakeQueuedMessages();
  client_.reset();
  executor_.reset();
  processor_.reset();
}

void Runner::Plant(const Step& step, int index) {
  switch (step.offer % 4) {
    case 0: {  // a report the server may refuse, kept from an earlier run
      auto hold = config_->Lock();
      web::json::value& reports = config_->silentUpdates[1];
      if (!reports.is_array()) reports = web::json::value::array();
      reports[reports.size()] = web::json::value::parse(R"({"DeviceID":"dev-)" + std::to_string(index) +
                                                        R"(","Updatestatus":"Success","UploadID":1041,"UpdateSchedularID":41,"Reason":""})");
      break;
    }
    case 1:  // addresses the transport refuses: plain HTTP abroad, a port beyond range
    case 2: {
      const std::string url = step.offer % 4 == 1 ? "http://far.test/api" : "https://server.test:70000/api";
      config_->dataFiles[config_->dataFolder + "TenantConfiguration.dat"] = SealedTenantFile(url);
      executor_->LoadTenantConfiguration();
      break;
    }
    default: {  // configurations without an integer id
      auto hold = config_->Lock();
      web::json::value& configs = config_->jsonFiles["Config.dat"];
      if (!configs.is_array()) configs = web::json::value::array();
      configs[configs.size()] = web::json::value::parse(R"({"UpdateSchedulerId":7.5,"UploadID":1,"IProduct":"P100","configSettings":{}})");
      break;
    }
  }
}

// The agent starts again with --once over the stores.
void Runner::StartOncePass() {
  Close();
  Open(false);
  passError_.str("");
  pendingAtFinish_ = 0;
  pass_ = std::make_unique<agent::OncePass>(host_, passError_);
  pass_->Begin();
}

void Runner::Start(const Step& step, int index) {
  switch (step.trigger) {
    case Trigger::HostCheck:
      executor_->SetClientState(1);
      host_.FireNext();
      break;
    case Trigger::HeartBeat:
      host_.FireNext();
      break;
    case Trigger::HostGetAll:
      executor_->SetClientState(1);
      Push(GET_ALL_UPDATES_REQ, "host");
      break;
    case Trigger::Registration:
      if (step.offer & 1) executor_->SetToken(std::wstring()), config_->SaveToken(std::wstring());  // a first one
      Push(AGENT_REGISTRATION_REQ, R"({"TenantID":"tenant-1"})");
      break;
    case Trigger::ConfigRequest:
      Push(CC_CONFIG_REQ, R"({"volume":3})");
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
    case Trigger::TwoAnswers:
      executor_->SetClientState(step.offer & 1);
      Push(GET_UPDATES_REQ, "");
      Push(GET_UPDATES_REQ, "");
      break;
    case Trigger::PlantedState:
      Plant(step, index);
      executor_->SetClientState(1);
      host_.FireNext();
      break;
    case Trigger::StoreFault: {
      static const char* const kWrites[] = {"WriteJsonFile", "WriteSilentUpdates", "SaveToken", "WriteDataFile",
                                            "SaveDeviceInfoUrl"};
      static const int kErrors[] = {ENOSPC, EACCES, EROFS};
      config_->ThrowOn(kWrites[step.offer % 5], -kErrors[(step.offer >> 3) % 3], "write failed");
      if (step.offer & 0x80) {
        Push(AGENT_REGISTRATION_REQ, R"({"TenantID":"tenant-1"})");
      } else {
        executor_->SetClientState(1);
        host_.FireNext();
      }
      break;
    }
    case Trigger::OncePass:
      StartOncePass();
      break;
    default:
      break;
  }
}

// The host's request between two answers, through the facade as a host makes it.
void Runner::HostActs(const Step& step) {
  static const int kCodes[] = {-1, 5, 9, 13, 16, 18, 1, 8};
  static const std::string kReport = R"({"DeviceID":"dev-h","Updatestatus":"Success","UploadID":1041,"UpdateSchedularID":41,"Reason":""})";
  const int code = kCodes[static_cast<int>(step.host)];
  if (step.host == HostAction::BeatNow) return host_.BeatNow();
  // The host asks for these packages itself: they may come again.
  if (code == 5 && current_) current_->reoffered.insert({OfferOf(step).scheduled, OfferOf(step).second});
  const std::string data = code == 5 ? HostUpdateList(step) : code == 9 ? R"({"x":1})" : code == 13 ? "host"
                           : code == 16 ? "1" : code == 8 ? kReport : "";
  try {
    client_->SendRequest(code, data);
  } catch (const std::exception& e) {
    hostProblems_.push_back("invariant 11: a host's request threw (code " + std::to_string(code) + ": " + e.what() + ")");
  }
}

// What is queued now is handled in order, then what that queued, as the
// worker does; the host acts once its turn in the step has come.
void Runner::HandleQueued(const Step& step, StepRecord& record, bool& acted) {
  RestMsgQueue* queue = RestMsgQueue::getInstance();
  host_.Deliver();
  for (auto batch = queue->takeAll(); !batch.empty() && record.handled <= kStepMessageBound; batch = queue->takeAll()) {
    for (const auto& message : batch) queue->pushMsg(message);
    for (size_t i = 0; i < batch.size(); ++i) {
      ++record.handled, executor_->Turn(), host_.Deliver();
      if (!acted && record.handled >= 1 + 2 * step.hostAt) acted = true, HostActs(step);
    }
  }
}

std::string Runner::RunStep(const Step& step, int index) {
  trace_ += "step " + std::to_string(index) + ":\n";
  StepRecord record;
  current_ = &record;
  for (int type : AnsweredTypes())
    transport_->OnRequest(type, [this, type, &step, index](const std::string&) {
      if (type == HEART_BEAT_REQ && current_) current_->beats.push_back(listener_.Events().size());
      if ((type == HEART_BEAT_REQ || type == AGENT_REGISTRATION_REQ) && current_) {
        const auto it = step.answers.find(type);
        (type == HEART_BEAT_REQ ? current_->beatKinds : current_->registrationKinds)
            .push_back(it == step.answers.end() ? Kind::Good : it->second.kind);
      }
      std::string answer;
      try {
        answer = AnswerFor(type, step, index);
      } catch (const web::http::http_exception&) {
        trace_ += "  " + std::to_string(type) + " <- (transport failure)\n";
        throw;
      }
      if (type == AGENT_REGISTRATION_REQ) lastRegistration_ = answer;
      if ((type == GET_UPDATES_REQ || type == GET_ALL_UPDATES_REQ) && current_)
        NoteOffers(answer, type == GET_ALL_UPDATES_REQ, *current_);
      if (trace_.size() < kTraceLimit) trace_ += "  " + std::to_string(type) + " <- " + answer.substr(0, 300) + "\n";
      return answer;
    });
  transport_->OnDownload([&step](const fennic_test::DownloadCall&, std::wstring& reason) {
    if (step.downloadFails) reason = L"connection reset";
    return !step.downloadFails;
  });
  record.events = listener_.Events().size();
  record.calls = transport_->Calls().size();
  record.downloads = transport_->Downloads().size();
  record.lines = services_.logger->Lines().size();
  record.warnings = host_.Warnings().size();
  hostProblems_.clear();
  Start(step, index);
  bool acted = step.host == HostAction::None;
  HandleQueued(step, record, acted);
  if (!acted) {
    acted = true;
    HostActs(step);
    HandleQueued(step, record, acted);
  }
  config_->ClearThrows();
  const std::string broken = CheckStep(step, record);
  current_ = nullptr;
  if (pass_) Close(), Open();  // after --once, the service starts
  return broken;
}

std::string Runner::Run(const Sequence& sequence) {
  std::string broken;
  int index = 0;
  for (; index < static_cast<int>(sequence.size()) && broken.empty(); ++index)
    broken = RunStep(sequence[index], index);
  // Then the agent starts again over what it stored, and the server is well
  // again and offers a new update: within two heart beats it is downloaded
  // and acknowledged. Nothing stored may stop this run.
  if (broken.empty()) {
    Close();
    Open();
    broken = CheckStoredValues();
  }
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
  for (size_t i = sequence.size(); i-- > 0;) {  // drop whole steps, then host actions, then single faults
    Sequence fewer = sequence;
    fewer.erase(fewer.begin() + static_cast<long>(i));
    if (same(fewer)) sequence = fewer;
  }
  for (size_t i = 0; i < sequence.size(); ++i) {
    Sequence quieter = sequence;
    quieter[i].host = HostAction::None;
    if (sequence[i].host != HostAction::None && same(quieter)) sequence = quieter;
    for (auto it = sequence[i].answers.begin(); it != sequence[i].answers.end();) {
      Sequence fewer = sequence;
      fewer[i].answers.erase(it->first);
      if (same(fewer)) it = sequence[i].answers.erase(it); else ++it;
    }
  }
  return sequence;
}

}  // namespace fennic_sequence
