// The agent as a service against the local server, which answers a share of
// all requests with random faults for a while: no registration or heart beat
// comes sooner or later than the back-off allows, and once the faults stop a new
// update is downloaded and acknowledged within two heart beats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <thread>

#include "../agent/AgentHarness.h"
#include "RecordReport.h"
#include "support/ChildProcess.h"
#include "support/ServerRecords.h"

using namespace fennic_agent_test;
using zelvan::fennic::FreeLoopbackPort;
using web::json::value;

namespace {

constexpr int kBeatSeconds = 1;
constexpr int kCapSeconds = 8;
constexpr double kJitter = 0.2;
constexpr int kMostIntervals = 2;  // the longest step after failures, in heart beats, as the agent's back-off
constexpr double kRetryAfterSeconds = 5, kRequestSeconds = 2;  // the server's longest Retry-After; a request's time-out

int SoakSeconds() {
  const char* text = std::getenv("FENNIC_SOAK_SECONDS");
  // Short by default, so the everyday test run stays quick; the long soak is asked for.
  return text ? std::atoi(text) : 45;
}

// One update (and, from `first` on, the ones before it), 30 % random faults when `seed` is set.
std::string ScenarioText(const ScratchFolder& folder, int first, int last, unsigned seed) {
  std::string updates;
  for (int id = first; id <= last; ++id)
    updates += std::string(updates.empty() ? "" : ",") + R"({"UpdateSchedulerId":)" + std::to_string(id) +
               R"(,"UploadID":)" + std::to_string(id + 5000) +
               R"(,"Action":"ScheduleUpdate","IProduct":"P100","Version":"3.)" + std::to_string(id) +
               R"(","Type":"Firmware","package":"fw.bin"})";
  std::string text = R"({"tenants":[{"id":"demo-tenant","name":"Demo Tenant","token":"demo-token-1"}],)"
                     R"("heartbeat":{"TimeInterval":1},"packagesFolder":")" + folder.path.string() +
                     R"(","updates":[)" + updates + "]";
  if (seed)
    text += R"(,"randomFaults":{"seed":)" + std::to_string(seed) +
            R"(,"percent":30,"actions":["refuse","status500","status503","empty","truncate","malformed","tokenNotFound"]})";
  return text + "}";
}

// Registrations and heart beats in the order they came: after each failed
// one the next must wait the back-off step, interval x 2^failures up to two
// intervals and the cap, less the jitter, and come within the step (or the
// server's Retry-After) with its jitter, a request's time-out and 2 s. A new
// registration the server asks for may come at once, unless it asked within
// the interval before. Notes the first request that came too soon and the
// first that came too late.
struct OutOfStep {
  std::string early, late;
  int beats = 0, failures = 0;
};
OutOfStep FirstOutOfStep(const std::vector<value>& records) {
  OutOfStep out;
  int64_t lastMs = -1, lastAskMs = -1000000;
  int run = 0;  // failures in a row before this request
  for (const auto& r : records) {
    const std::string type = r.at("type").as_string();
    if (type != "2" && type != "3") continue;
    const int64_t ms = r.at("ms").as_number().to_int64();
    const double step = run == 0 ? kBeatSeconds
                                 : std::min({kBeatSeconds * std::pow(2.0, run), double(kBeatSeconds * kMostIntervals),
                                             double(kCapSeconds)});
    const double soonest = run == 0 ? 0 : step * (1 - kJitter) * 1000;
    const double latest = (std::max(step, kRetryAfterSeconds) * (1 + kJitter) + kRequestSeconds + 2) * 1000;
    const std::string where = "request " + std::to_string(r.at("seq").as_integer()) + " (type " + type + ") came " +
                              std::to_string(ms - lastMs) + " ms after " + std::to_string(run) + " failures in a row";
    if (lastMs >= 0 && ms - lastMs < soonest - 100 && out.early.empty())
      out.early = where + "; the back-off is " + std::to_string(int64_t(soonest)) + " ms";
    if (lastMs >= 0 && ms - lastMs > latest && out.late.empty())
      out.late = where + "; it should have come within " + std::to_string(int64_t(latest)) + " ms";
    const std::string fault = r.at("fault").as_string();
    const bool asked = fault == "tokenNotFound" && ms - lastAskMs > kBeatSeconds * 1000;
    const bool failed = (!fault.empty() || r.at("status").as_integer() != 200) && !asked;
    if (fault == "tokenNotFound") lastAskMs = ms;
    run = failed ? run + 1 : 0;
    out.failures += failed;
    ++out.beats;
    lastMs = ms;
  }
  return out;
}

std::string Tail(const std::string& text) { return text.size() > 6000 ? text.substr(text.size() - 6000) : text; }

bool Acknowledged(const std::string& recordFile, int id) {
  try {
    return fennic_test::AckedAs(zelvan::fennic::ReadRecordFile(recordFile), id, "Success");
  } catch (const std::runtime_error&) {
    return false;  // a line half written
  }
}

// fennic-server on `port` with `scenario`, recording to `record`.
std::unique_ptr<ChildProcess> Server(const ScratchFolder& folder, const std::string& name, const std::string& scenario,
                                     int port) {
  ScratchFolder::Put(folder / (name + ".json"), scenario);
  auto server = std::make_unique<ChildProcess>(FENNIC_SERVER_PROGRAM " --port " + std::to_string(port) + " --scenario " +
                                                   name + ".json --record " + name + ".jsonl",
                                               folder.path, 900);
  return ChildProcess::AwaitPort(port) ? std::move(server) : nullptr;
}

TEST(SoakTest, AgentServiceUnderRandomFaultsKeepsItsBackoffAndTakesTheNextUpdate) {
  ScratchFolder folder;
  ScratchFolder::Put(folder / "fw.bin", std::string(65536, 'F'));
  const int port = FreeLoopbackPort();
  std::string config = WithMember(ValidConfig(folder, "http://127.0.0.1:" + std::to_string(port)), "backoffCapSeconds",
                                  std::to_string(kCapSeconds));
  ScratchFolder::Put(folder / "config.json",
                     WithMember(config, "transport", R"({"requestTimeoutMs":2000,"connectTimeoutMs":1000})"));

  auto faulty = Server(folder, "faulty", ScenarioText(folder, 401, 401, 25), port);
  ASSERT_TRUE(faulty) << ScratchFolder::Slurp(folder / "log");
  AgentProcess agent(folder, {"--config", folder / "config.json"});
  std::this_thread::sleep_for(std::chrono::seconds(SoakSeconds()));
  faulty.reset();
  const OutOfStep steps = FirstOutOfStep(zelvan::fennic::ReadRecordFile(folder / "faulty.jsonl"));
  EXPECT_EQ(steps.early, "") << "invariant 2: no request sooner than the back-off allows";
  EXPECT_EQ(steps.late, "") << "invariant 9: no silence beyond the back-off step plus 2 s";
  EXPECT_GT(steps.failures, 0) << "no fault reached a registration or heart beat in " << steps.beats;
  EXPECT_GT(steps.beats, SoakSeconds() / (kCapSeconds * 2)) << "the agent hardly talked to the server";
  RecordProperty("beats", steps.beats);
  RecordProperty("failed", steps.failures);

  // The faults stop and the server offers a new update as well.
  auto healthy = Server(folder, "healthy", ScenarioText(folder, 401, 402, 0), port);
  ASSERT_TRUE(healthy) << ScratchFolder::Slurp(folder / "log");
  const auto limit = std::chrono::steady_clock::now() +
                     std::chrono::seconds(int(kCapSeconds * (1 + kJitter)) + 2 * kBeatSeconds + 20);
  while (!Acknowledged(folder / "healthy.jsonl", 402) && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(Acknowledged(folder / "healthy.jsonl", 402))
      << "invariant 3: the new update was not acknowledged \"Success\"\n"
      << Tail(ScratchFolder::Slurp(folder / "agent.log"));
  std::map<int, int> successes;
  for (const char* record : {"faulty.jsonl", "healthy.jsonl"})
    EXPECT_EQ(fennic_test::FirstBadAcknowledgement(zelvan::fennic::ReadRecordFile(folder / record), successes), "") << record;
  EXPECT_EQ(agent.Wait(0), -1) << "the agent ended";
  agent.Signal(SIGTERM);
  agent.Wait(20000);
}

}  // namespace
