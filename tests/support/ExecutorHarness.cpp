#include "support/ExecutorHarness.h"

#include "IAgentUtils.h"
#include "RestMsgQueue.h"

using zelvan::fennic::IAgentUtils;
using zelvan::fennic::RestMessage;
using zelvan::fennic::RestMsgQueue;

namespace fennic_test {

ServicesScope::ServicesScope()
    : logger(std::make_shared<RecordingLogger>()),
      files(std::make_shared<FakeFileManager>()),
      cipher(std::make_shared<FakeCipher>()) {
  IAgentUtils::setLogManager(logger);
  IAgentUtils::setFileManager(files);
  IAgentUtils::setEncryptDecrypt(cipher);
}

ServicesScope::~ServicesScope() {
  IAgentUtils::setLogManager(nullptr);
  IAgentUtils::setFileManager(nullptr);
  IAgentUtils::setEncryptDecrypt(nullptr);
}

ExecutorHarness::ExecutorHarness() : ExecutorHarness(Options()) {}

ExecutorHarness::ExecutorHarness(Options options)
    : config(std::make_shared<MemoryConfigurationManager>()), transport(std::make_shared<ScriptedTransport>()) {
  std::shared_ptr<zelvan::fennic::IQLResponse> responseProcessor;
  if (options.makeResponseProcessor) {
    responseProcessor = options.makeResponseProcessor(config);
  } else {
    recordingProcessor = std::make_shared<RecordingResponseProcessor>();
    responseProcessor = recordingProcessor;
  }
  if (options.tenantKnown) {
    config->tenantDetails["URL"] = "https://server.test";
    config->tenantDetails["TenantID"] = "tenant-1";
  }
  if (options.registered) config->token = L"token-1";
  executor = std::make_shared<TestableExecutor>(config, responseProcessor, transport);
  executor->LoadTenantConfiguration();
  executor->SetEventListener(&listener);
}

ExecutorHarness::~ExecutorHarness() {
  Shutdown();
}

RestMessage Message(int type, const std::string& data) {
  RestMessage message;
  message.setType(type);
  if (!data.empty()) message.setData(data.data(), data.size());
  return message;
}

void ExecutorHarness::Push(int type, const std::string& data) { RestMsgQueue::getInstance()->pushMsg(Message(type, data)); }

bool ExecutorHarness::Settle(std::chrono::milliseconds timeout) {
  ++sentinels_;
  Push(1);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int seen = 0;
    for (const auto& line : logger->Lines())
      if (line.text == "Unknown request type 1") ++seen;
    if (seen >= sentinels_) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

void ExecutorHarness::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  executor->Shutdown();
}

void ExecutorHarness::StopWorkerForDirectCalls() { executor->StopWorker(); }

std::vector<RestMessage> TakeQueuedMessages() {
  // A type no producer uses marks the end of what was queued before.
  constexpr int kEndMark = -1000;
  RestMsgQueue::getInstance()->pushMsg(Message(kEndMark));
  std::vector<RestMessage> out;
  for (RestMessage m = RestMsgQueue::getInstance()->getNextRestMsg(); m.getType() != kEndMark;
       m = RestMsgQueue::getInstance()->getNextRestMsg())
    out.push_back(m);
  return out;
}

std::vector<RestMessage> ExecutorHarness::DrainQueue() { return TakeQueuedMessages(); }

}  // namespace fennic_test
