#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CRestExecutor.h"
#include "support/Fakes.h"
#include "support/MemoryConfigurationManager.h"
#include "support/RecordingListener.h"
#include "support/RecordingLogger.h"
#include "support/RecordingResponseProcessor.h"
#include "support/ScriptedTransport.h"

namespace fennic_test {

// Opens the executor's handlers and state to tests.
class TestableExecutor : public CRestExecutor {
 public:
  using CRestExecutor::CRestExecutor, CRestExecutor::SetDeviceInfoUrl, CRestExecutor::SetTenantValue,
      CRestExecutor::TenantValue, CRestExecutor::DeviceInfoUrl, CRestExecutor::Token,
      CRestExecutor::ManageAgentRegistration, CRestExecutor::ManageHeartBeat, CRestExecutor::WriteTenantConfigsToFile,
      CRestExecutor::WriteMachineDataInConfigFile, CRestExecutor::isAnonymizedataExceptionsChanged,
      CRestExecutor::ManageDownloadFiles, CRestExecutor::ManageDownloadStatus, CRestExecutor::SendSavedSilentUpdateStatus,
      CRestExecutor::HandleNextMessage, CRestExecutor::SetToken;

  int ClientState() const { return clientState_.load(); }
  bool GetAllUpdatesSent() const { return getAllUpdatesSent_.load(); }
  void SetGetAllUpdatesSent(bool value) { getAllUpdatesSent_.store(value); }
  bool HasUpdates() const { return hasUpdates_.load(); }
  bool HasCancelUpdates() const { return hasCancelUpdates_.load(); }
  void SetFlags(bool adQuery, bool updates, bool cancelUpdates) {
    hasADQuery_ = adQuery, hasUpdates_ = updates, hasCancelUpdates_ = cancelUpdates;
  }
  web::json::value PendingADQueries() const { return m_aADUpdatesList; }
};

// Installs the fakes as the process-wide services (alone, or under an executor).
struct ServicesScope {
  ServicesScope();
  ~ServicesScope();
  std::shared_ptr<RecordingLogger> logger;
  std::shared_ptr<FakeFileManager> files;
  std::shared_ptr<FakeCipher> cipher;
};

// One executor wired to the shared fakes, with the process-wide services
// installed and the retry wait shortened. By default the tenant is known
// ("URL", "TenantID") and a token is held, so the guard lets requests
// through; pass registered=false for an agent that has not registered.
//
// The worker runs from construction on. Handlers may be called directly
// only after StopWorkerForDirectCalls(), or while nothing is queued.
class ExecutorHarness : public ServicesScope {
 public:
  struct Options {
    bool registered = true;
    bool tenantKnown = true;
    // A processor built over the harness's own configuration manager; when
    // empty, a RecordingResponseProcessor is used.
    std::function<std::shared_ptr<zelvan::fennic::IQLResponse>(std::shared_ptr<MemoryConfigurationManager>)>
        makeResponseProcessor;
  };

  ExecutorHarness();
  explicit ExecutorHarness(Options options);
  ~ExecutorHarness();

  // Pushes one message on the queue.
  void Push(int type, const std::string& data = std::string());
  // Returns once every message pushed so far has been handled. Pushes a
  // sentinel of type 1, which adds one "Unknown request type 1" line.
  // REQUIRES: the guard is open (tenant known and a token held).
  bool Settle(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  void Shutdown();
  // Stops the worker (the queue stays), so a test may call handlers on its
  // own thread and then read what they queued with DrainQueue.
  void StopWorkerForDirectCalls();
  // Takes every message queued so far, in order. REQUIRES: worker stopped.
  std::vector<zelvan::fennic::RestMessage> DrainQueue();

  std::shared_ptr<MemoryConfigurationManager> config;
  std::shared_ptr<ScriptedTransport> transport;
  std::shared_ptr<RecordingResponseProcessor> recordingProcessor;  // null when another was given
  RecordingListener listener;
  std::shared_ptr<TestableExecutor> executor;

 private:
  bool shutDown_ = false;
  int sentinels_ = 0;
};

zelvan::fennic::RestMessage Message(int type, const std::string& data = std::string());

// Takes every message queued so far off the process-wide queue, in order.
// REQUIRES: nothing else takes from the queue (no running worker).
std::vector<zelvan::fennic::RestMessage> TakeQueuedMessages();

}  // namespace fennic_test
