#pragma once

// The runner behind RunSequence: the real executor, response processor and
// download list over in-memory stores, driven one message at a time on the
// calling thread, with the host's requests between the answers. Internal to
// the sequence harness (SequenceRunner.cpp runs, SequenceInvariants.cpp checks).

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CQLClientImpl.h"
#include "CQLResponse.h"
#include "HeartBeatSchedule.h"
#include "OncePass.h"
#include "SequenceGrammar.h"
#include "SequenceHost.h"
#include "support/ExecutorHarness.h"

namespace fennic_sequence {

// More messages than this in one step is a storm: a good step needs about 20.
constexpr int kStepMessageBound = 400;

class SequenceExecutor : public fennic_test::TestableExecutor {
 public:
  using TestableExecutor::TestableExecutor;
  // One turn of the worker's loop, on the calling thread.
  void Turn() {
    AtWorkerEdge([this] { HandleNextMessage(); });
  }
};

class Runner {
 public:
  explicit Runner(Tolerance* tolerance);
  ~Runner();
  std::string Run(const Sequence& sequence);

 private:
  // What one step saw, for the checks after it.
  struct StepRecord {
    size_t events = 0, calls = 0, downloads = 0, lines = 0, warnings = 0;
    int handled = 0;
    std::vector<Kind> beatKinds, registrationKinds;  // how each was answered
    // Offers whose package may come again: an id a full list did not list
    // readably (withdrawn, as far as the agent can tell), or a package
    // offered under another id than its own.
    std::set<int> reoffered;
    std::vector<std::set<int>> fullLists;  // the ids each full list listed readably
    bool Reoffered(int id) const;
    std::vector<size_t> beats;  // the event count when each heart beat went out
  };

  // A start of the agent over the stores as they are; in service mode its
  // heart-beat schedule runs on the virtual host.
  void Open(bool service = true);
  void Close();
  void StartOncePass();
  std::string RunStep(const Step& step, int index);
  void Start(const Step& step, int index);
  void Plant(const Step& step, int index);
  void HostActs(const Step& step);
  void HandleQueued(const Step& step, StepRecord& record, bool& acted);

  // SequenceInvariants.cpp
  std::string CheckStep(const Step& step, const StepRecord& record);
  std::string CheckCheckEnds(const Step& step, const StepRecord& record);
  std::string CheckAcknowledgements(const Step& step, const StepRecord& record);
  std::string CheckHeartBeats(const StepRecord& record);
  std::string CheckHostView(const Step& step, const StepRecord& record);
  std::string CheckOncePass(const Step& step);
  std::string CheckGoodEntriesKept(const Step& step, const StepRecord& record);
  static void NoteOffers(const std::string& answer, bool fullList, StepRecord& record);
  std::string CheckStoredValues();
  std::string CheckStores();
  bool Stops(const std::string& problem);
  bool Acknowledged(int id, size_t callsFrom);
  std::string FirstComplaint(size_t from);
  bool TokenStored();

  fennic_test::ServicesScope services_;
  std::shared_ptr<fennic_test::MemoryConfigurationManager> config_;
  std::shared_ptr<fennic_test::ScriptedTransport> transport_;
  std::shared_ptr<CQLResponse> processor_;
  std::shared_ptr<SequenceExecutor> executor_;
  std::shared_ptr<CQLClientImpl> client_;
  fennic_test::RecordingListener listener_;
  VirtualHost host_;
  std::unique_ptr<zelvan::fennic::agent::HeartBeatSchedule> schedule_;
  std::unique_ptr<zelvan::fennic::agent::OncePass> pass_;
  std::ostringstream passError_;
  int pendingAtFinish_ = 0;
  std::vector<std::string> hostProblems_;  // seen while the step ran
  StepRecord* current_ = nullptr;
  std::string trace_;
  std::string lastRegistration_;
  Tolerance* tolerance_;
};

}  // namespace fennic_sequence
