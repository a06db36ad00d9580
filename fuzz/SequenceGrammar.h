#pragma once

// Sequences of server answers, drawn from a small grammar, and the checks
// that must hold after each step whatever the server answered: every update
// check ends with the full-list flag clear, stored lists hold each id once,
// and after any bad answers a good one offering a new update is downloaded
// and acknowledged. The libFuzzer target and the seeded test share it.

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace fennic_sequence {

// What the server makes of one answer.
enum class Kind : uint8_t {
  Good,
  Empty,             // no body, as after any non-2xx status
  TransportFailure,  // the exchange itself failed
  NotJson,
  WrongType,  // one member of the good answer gets another JSON type
  Missing,    // one member of the good answer is removed
  Duplicate,  // one array of the good answer repeats its first element
  Huge,       // one number of the good answer is huge, negative or a fraction
  Envelope,   // one envelope flag says failure (or "Token Not Found", a new registration)
  BadEntry,   // a list of the good answer gains one bad entry among its good ones
  Count
};

// What starts a step.
enum class Trigger : uint8_t {
  HostCheck,       // the host asks for an update check, then its schedule's heart beat is due
  HeartBeat,       // the schedule's heart beat (or its registration) is due
  HostGetAll,      // the host asks for an update check and all updates
  Registration,    // the host registers again
  ConfigRequest,   // the host sends a configuration request
  BadStoredEntry,  // a stored list gains an entry its reader must skip
  TwoAnswers,      // two update answers arrive before their downloads run
  PlantedState,    // a refused report or an address the transport refuses is stored, then loaded
  StoreFault,      // a store's writes fail (ENOSPC, EACCES, EROFS) during a host check
  OncePass,        // the agent starts again and runs --once over the stores
  Count
};

// What the host does between two answers of a step (codes of its requests).
enum class HostAction : uint8_t {
  None,
  Downloads,      // code 5: hands the update list over at once
  Forward,        // code 9
  GetAll,         // code 13
  ClientState,    // code 16: an update check
  SessionEnded,   // code 18
  BeatNow,        // the control request: a heart beat now, through the schedule
  StatusReport,   // code 8: a device's update status
  Count
};

struct Answer {
  Kind kind = Kind::Good;
  uint8_t pick = 0;  // which member, type or flag the fault hits
};

struct Step {
  Trigger trigger = Trigger::HeartBeat;
  uint8_t offer = 0;          // which ids and flags the good answers carry
  bool downloadFails = false;
  int freshUpdate = 0;        // when set, the update lists also offer this id
  HostAction host = HostAction::None;
  uint8_t hostAt = 0;         // after how many handled messages of the step the host acts
  std::map<int, Answer> answers;  // by request type; a type not listed is answered well
};
using Sequence = std::vector<Step>;

// The request types whose answers the grammar varies.
const std::vector<int>& AnsweredTypes();

Sequence Decode(const uint8_t* data, size_t size);
Sequence RandomSequence(std::mt19937& random, int steps);
// One line per step, e.g. "2: host check offer=0x13 host=code 5@2 | 24:wrong-type/7 12:empty".
std::string Describe(const Sequence& sequence);

// The good update list of a step, as the host hands it over (code 5).
std::string HostUpdateList(const Step& step);
// The ids the good answers of a step offer: updates (scheduled, then the
// second, silent or not) and the configuration.
struct OfferedIds {
  int scheduled, second, configuration;
};
OfferedIds OfferOf(const Step& step);

// The answer to a request of `type` in `step` (index `index` of the sequence).
// Throws web::http::http_exception for a transport failure.
std::string AnswerFor(int type, const Step& step, int index);

// Breaks known and not yet mended: a problem whose text starts with one of
// `known` does not end the run; it is noted in `seen`.
struct Tolerance {
  std::vector<std::string> known;
  std::set<std::string> seen;
};

// Breaks found and not yet mended, by the start of the problem they give and
// a name for them. The checks keep running; the fuzz target and the seeded
// test look past these, and the seeded test reports each as skipped while
// it still shows. Remove an entry once its fix has landed.
struct KnownBreak {
  const char* name;
  const char* problem;
  std::vector<uint8_t> input;  // its shortest sequence, as Decode reads it
};
const std::vector<KnownBreak>& KnownBreaks();
// A tolerance of every known break but the one named `except`.
Tolerance KnownTolerance(const std::string& except = std::string());

// Runs `sequence` on a fresh executor, then two good update checks offering
// a new update. Empty when every check held; else which one broke, where,
// the sequence and what was answered.
std::string RunSequence(const Sequence& sequence, Tolerance* tolerance = nullptr);
// The shortest sequence found, by dropping steps and faults, that breaks the
// same invariant as `sequence` does.
Sequence Shrink(Sequence sequence, Tolerance* tolerance = nullptr);

}  // namespace fennic_sequence
