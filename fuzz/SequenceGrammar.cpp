#include "SequenceGrammar.h"

#include <cpprest/http_msg.h>
#include <cpprest/json.h>

#include <functional>
#include <sstream>

#include "RestRequestType.h"

using namespace zelvan::fennic;
using web::json::value;

namespace fennic_sequence {
namespace {

constexpr int kMaxSteps = 12;
const char* const kKindNames[] = {"good",    "empty",     "transport-failure", "not-json", "wrong-type",
                                  "missing", "duplicate", "huge",              "envelope", "bad-entry"};
const char* const kTriggerNames[] = {"host check",   "heart beat",     "host get-all",  "registration",
                                     "config request", "bad stored entry", "two answers", "planted state",
                                     "store fault", "once pass"};
const char* const kHostNames[] = {"",        "code 5",  "code 9",  "code 13",
                                  "code 16", "code 18", "beat now", "code 8"};

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

value Parse(const std::string& text) { return value::parse(text); }

std::string Envelope(const std::string& body) {
  return R"({"ErrorMessage":"","ResposeCommand":0,"validateResponse":true,"validateResponseFromServer":true,)"
         R"("validateResponseStatus":true,"ResponseBody":)" +
         body + "}";
}

std::string Update(int id, bool silent) {
  const std::string n = std::to_string(id);
  return R"({"UpdatesURL":"https://s.test/p)" + n + R"(.bin","UpdateSchedulerId":)" + n + R"(,"UploadID":)" +
         std::to_string(id + 1000) + R"(,"Action":")" + (silent ? "Silent" : "ScheduleUpdate") +
         R"(","IProduct":"P100","Version":"1.0","Type":"Firmware","ScheduledTime":"t","updateDeployedTime":"t",)"
         R"("ForceUpdate":"False"})";
}

std::string Updates(const Step& step) {
  const OfferedIds ids = OfferOf(step);
  std::string updates = Update(ids.scheduled, false) + "," + Update(ids.second, (step.offer & 4) != 0);
  if (step.freshUpdate) updates += "," + Update(step.freshUpdate, false);
  return "[" + updates + "]";
}

// The good update list of a step: two of four ids (one silent when the
// offer says so), one configuration, and the fresh update if there is one.
std::string UpdateList(const Step& step) {
  const int config = OfferOf(step).configuration;
  return Envelope(R"({"Updates":)" + Updates(step) + R"(,"ConfigurationUpdates":[{"UpdateSchedulerId":)" +
                  std::to_string(config) + R"(,"UploadID":)" + std::to_string(config + 1000) +
                  R"(,"IProduct":"P100","configSettings":{"volume":3}}]})");
}

std::string GoodAnswer(int type, const Step& step, int index) {
  const auto flag = [&](int bit) { return (step.offer >> bit) & 1 ? "true" : "false"; };
  const std::string ok = R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true)";
  switch (type) {
    case AGENT_REGISTRATION_REQ:
      return R"({"ResposeCommand":0,"validateResponse":true,"Token":"token-)" + std::to_string(index) +
             R"(","DeviceInfoURL":"","ResponseBody":{}})";
    case HEART_BEAT_REQ:
      return ok + R"(,"ResponseBody":{"HasUpdates":)" + flag(4) + R"(,"HasCancelUpdates":)" + flag(5) +
             R"(,"HasADQuery":)" + flag(6) + "}}";
    case GET_UPDATES_REQ:
    case GET_ALL_UPDATES_REQ:
      return UpdateList(step);
    case CANCEL_UPDATE_REQ: {
      const int id = 41 + ((step.offer >> 1) & 3);
      return Envelope(R"({"CancelledUpdates":[{"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":)" +
                      std::to_string(id + 1000) + R"(}],"CancelledConfigs":[]})");
    }
    case GET_AD_QUERY_REQ:
      return ok + R"x(,"ADUpdates":[{"ADSelectQuery":"(cn=g1)","GroupId":5}]})x";
    case DOWNLOAD_FILES:
      return R"({"StatusCode":200,"Version":"1.0"})";
    default:
      return ok + "}";
  }
}

// Every value of a document, depth first, with the object member or array
// element that holds it.
struct Slot {
  value* parent;
  std::string key;  // empty for an array element
  value* node;
};
void Collect(value& node, std::vector<Slot>& out) {
  if (node.is_object()) {
    for (auto& member : node.as_object()) {
      out.push_back({&node, member.first, &member.second});
      Collect(member.second, out);
    }
  } else if (node.is_array()) {
    for (auto& element : node.as_array()) {
      out.push_back({&node, std::string(), &element});
      Collect(element, out);
    }
  }
}

template <typename Keep>
value* Choose(std::vector<Slot>& slots, uint8_t pick, Keep keep, Slot* chosen = nullptr) {
  std::vector<Slot*> fit;
  for (auto& s : slots)
    if (keep(s)) fit.push_back(&s);
  if (fit.empty()) return nullptr;
  Slot* s = fit[pick % fit.size()];
  if (chosen) *chosen = *s;
  return s->node;
}

std::string Mutate(const std::string& good, const Answer& answer) {
  value doc = Parse(good);
  std::vector<Slot> slots;
  Collect(doc, slots);
  const uint8_t pick = answer.pick;
  switch (answer.kind) {
    case Kind::WrongType: {
      static const char* const kOthers[] = {R"("x")", "7", "true", "{}", "[]", "null", "-1"};
      if (value* v = Choose(slots, pick, [](const Slot&) { return true; })) *v = Parse(kOthers[(pick >> 4) % 7]);
      break;
    }
    case Kind::Missing: {
      Slot s{};
      if (Choose(slots, pick, [](const Slot& x) { return !x.key.empty(); }, &s)) s.parent->as_object().erase(s.key);
      break;
    }
    case Kind::Duplicate:
      if (value* v = Choose(slots, pick, [](const Slot& x) { return x.node->is_array() && x.node->size() > 0; })) {
        const value first = v->at(0);  // a copy: growing the array moves its elements
        (*v)[v->size()] = first;
      }
      break;
    case Kind::Huge: {
      static const char* const kNumbers[] = {"1e20", "1e300", "-1", "4294967296", "9.5", "-2147483649"};
      if (value* v = Choose(slots, pick, [](const Slot& x) { return x.node->is_number(); }))
        *v = Parse(kNumbers[(pick >> 4) % 6]);
      break;
    }
    case Kind::BadEntry: {
      // A copy of a list's first object entry under another id, with one
      // member removed or of another type: the others must still count.
      value* list = Choose(slots, pick, [](const Slot& x) {
        return x.node->is_array() && x.node->size() > 0 && x.node->at(0).is_object();
      });
      if (list == nullptr) break;
      value bad = list->at(0);
      if (bad.has_field("UpdateSchedulerId")) bad["UpdateSchedulerId"] = value::number(50 + pick % 5);
      std::vector<std::string> keys;
      for (const auto& member : bad.as_object()) keys.push_back(member.first);
      const std::string& key = keys[(pick >> 3) % keys.size()];
      if (pick & 4) bad.erase(key); else bad[key] = (pick & 2) ? value::parse("7.5") : value::parse("[]");
      (*list)[list->size()] = bad;
      break;
    }
    case Kind::Envelope: {
      static const char* const kFlags[] = {R"({"validateResponseStatus":false})", R"({"ResposeCommand":45})",
                                           R"({"validateResponse":false,"ErrorMessage":"Token Not Found"})",
                                           R"({"validateResponse":false,"ErrorMessage":"refused"})",
                                           R"({"validateResponseFromServer":false})", R"({"StatusCode":500})",
                                           R"({"ResponseBody":{"TriggerRegistartion":true}})", R"({"Token":""})",
                                           R"({"Token":"a\r\nX: 1"})", R"({"Token":"a\u0000b"})"};
      value flags = Parse(kFlags[pick % 10]);
      for (auto& member : flags.as_object()) doc[member.first] = member.second;
      break;
    }
    default:
      break;
  }
  return doc.serialize();
}

}  // namespace

const std::vector<int>& AnsweredTypes() {
  static const std::vector<int> types{AGENT_REGISTRATION_REQ, HEART_BEAT_REQ,   GET_UPDATES_REQ,     GET_ALL_UPDATES_REQ,
                                      CANCEL_UPDATE_REQ,      GET_AD_QUERY_REQ, DOWNLOAD_FILES,      DOWNLOAD_STATUS_REQ,
                                      CC_CONFIG_REQ,          AD_UPDATES_REQ,   CONFIG_ACK_REQ,      CANCEL_RECEIVED_ACK_REQ,
                                      DEVICE_UPDATE_STATUS_REQ, CLIENT_FORWARD_REQ};
  return types;
}

OfferedIds OfferOf(const Step& step) {
  const int base = 41 + (step.offer & 3);
  return {base, base + 1, 61 + ((step.offer >> 3) & 1)};
}

std::string HostUpdateList(const Step& step) { return Updates(step); }

const std::vector<KnownBreak>& KnownBreaks() {
  // Steps of three bytes (trigger, offer, download-fails bit and fault count), each fault three more.
  static const std::vector<KnownBreak> known{
  };
  return known;
}

Tolerance KnownTolerance(const std::string& except) {
  Tolerance out;
  for (const auto& known : KnownBreaks())
    if (except != known.name) out.known.push_back(known.problem);
  return out;
}

Sequence Decode(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  Sequence out;
  while (!in.Done() && out.size() < kMaxSteps) {
    Step step;
    step.trigger = static_cast<Trigger>(in.Next() % static_cast<int>(Trigger::Count));
    step.offer = in.Next();
    const uint8_t shape = in.Next();
    step.downloadFails = shape & 0x80;
    step.host = static_cast<HostAction>(((shape >> 2) & 7) % static_cast<int>(HostAction::Count));
    step.hostAt = (shape >> 5) & 3;
    for (int n = shape % 4; n > 0; --n) {
      const int type = AnsweredTypes()[in.Next() % AnsweredTypes().size()];
      step.answers[type] = {static_cast<Kind>(in.Next() % static_cast<int>(Kind::Count)), in.Next()};
    }
    out.push_back(step);
  }
  return out;
}

Sequence RandomSequence(std::mt19937& random, int steps) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < steps * 12; ++i) bytes.push_back(static_cast<uint8_t>(random()));
  Sequence out = Decode(bytes.data(), bytes.size());
  if (out.size() > static_cast<size_t>(steps)) out.resize(steps);
  return out;
}

std::string Describe(const Sequence& sequence) {
  std::ostringstream out;
  for (size_t i = 0; i < sequence.size(); ++i) {
    const Step& s = sequence[i];
    out << "  " << i << ": " << kTriggerNames[static_cast<int>(s.trigger)] << " offer=0x" << std::hex
        << int(s.offer) << std::dec << (s.downloadFails ? " download-fails" : "");
    if (s.freshUpdate) out << " fresh=" << s.freshUpdate;
    if (s.host != HostAction::None) out << " host=" << kHostNames[static_cast<int>(s.host)] << "@" << int(s.hostAt);
    if (!s.answers.empty()) out << " |";
    for (const auto& [type, a] : s.answers)
      out << " " << type << ":" << kKindNames[static_cast<int>(a.kind)] << "/" << int(a.pick);
    out << "\n";
  }
  return out.str();
}

std::string AnswerFor(int type, const Step& step, int index) {
  const std::string good = GoodAnswer(type, step, index);
  auto it = step.answers.find(type);
  if (it == step.answers.end()) return good;
  const Answer& a = it->second;
  switch (a.kind) {
    case Kind::Good:
      return good;
    case Kind::Empty:
      return std::string();
    case Kind::TransportFailure:
      throw web::http::http_exception("connection reset");
    case Kind::NotJson:
      return a.pick % 2 ? "<html>502 Bad Gateway</html>" : good.substr(0, a.pick % good.size());
    default:
      return Mutate(good, a);
  }
}

}  // namespace fennic_sequence
