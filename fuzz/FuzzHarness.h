#pragma once

// Feeds one fuzz input as the server's answer to one handler of the real
// executor. The worker is stopped once at start, so the handler runs on the
// fuzzing thread and the follow-up requests it queues are discarded after
// every input instead of being executed.

#include <memory>
#include <mutex>
#include <string>

#include "CRestClientFactory.h"
#include "CRestExecutor.h"
#include "IAgentUtils.h"
#include "RestMsgQueue.h"
#include "support/ExecutorHarness.h"
#include "support/Fakes.h"
#include "support/MemoryConfigurationManager.h"
#include "support/RecordingLogger.h"
#include "support/RecordingResponseProcessor.h"

#if __has_include("CQLResponse.h") && __has_include("UpdatesDownload.h")
#include "CQLResponse.h"
#include "UpdatesDownload.h"
#define FENNIC_FUZZ_REAL_PROCESSOR 1
#endif

namespace fennic_fuzz {

// Answers every request with the current input; remembers nothing else.
class EchoTransport : public zelvan::fennic::IRestClient {
 public:
  std::string answer;
  void SetToken(const std::wstring&) override {}
  void SetTenantEndpoint(const std::wstring&, const std::wstring&) override {}
  std::string ExecuteRequest(int, std::string_view) override { return answer; }
  bool DownloadFile(const std::string&, const std::wstring&, std::wstring& reason, web::json::value&,
                    std::wstring&) override {
    reason = L"fuzz";
    return answer.size() % 2 == 0;
  }
  void RunTransportCommand() override {}
  void SetTransportOption(int) override {}
  std::wstring GetTransportValue(int) override { return std::wstring(); }
};

class FuzzExecutor : public CRestExecutor {
 public:
  using CRestExecutor::CRestExecutor;
  using CRestExecutor::Dispatch;
};

class FuzzHarness {
 public:
  FuzzHarness() {
    zelvan::fennic::IAgentUtils::setLogManager(std::make_shared<fennic_test::NullLogger>());
    zelvan::fennic::IAgentUtils::setFileManager(std::make_shared<fennic_test::FakeFileManager>());
    zelvan::fennic::IAgentUtils::setEncryptDecrypt(std::make_shared<fennic_test::FakeCipher>());
    config = std::make_shared<fennic_test::MemoryConfigurationManager>();
    config->recordOperations = false;
    config->token = L"token";
    config->tenantDetails = {{"URL", "https://server.test"}, {"TenantID", "tenant"}};
    config->supportedProducts = {L"P100"};
    transport = std::make_shared<EchoTransport>();
    zelvan::fennic::CRestClientFactory::setRestClient(transport);
    Build();
  }

  // The executor and its processor, anew: the download list keeps entries
  // across inputs, and every input would otherwise queue them all again.
  void Build() {
    executor.reset();
    processor.reset();
#ifdef FENNIC_FUZZ_REAL_PROCESSOR
    auto downloader = std::make_shared<UpdatesDownload>(config);
    processor = std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                              downloader);
#else
    processor = std::make_shared<fennic_test::RecordingResponseProcessor>();
#endif
    executor = std::make_shared<FuzzExecutor>(config, processor, transport);
    executor->LoadTenantConfiguration();
    executor->StopWorker();
  }

  void Run(const uint8_t* data, size_t size, int type, const std::string& messageData, const std::wstring& target = {},
           const std::string& downloadKey = {}) {
    transport->answer.assign(reinterpret_cast<const char*>(data), size);
    zelvan::fennic::RestMessage message;
    message.setType(type);
    if (!messageData.empty()) message.setData(messageData.data(), messageData.size());
    message.setTarget(target);
    message.setDownloadKey(downloadKey);
    try {
      executor->Dispatch(message);
    } catch (const std::exception&) {
      // The worker loop catches these too; what matters is no crash.
    }
    fennic_test::TakeQueuedMessages();  // what the handler queued is not executed
    if (processor->GetPendingDownloadCount() > kPendingDownloadLimit) Build();
    // Keep stores from growing without bound across inputs.
    auto hold = config->Lock();
    config->jsonFiles.clear();
    config->silentUpdates[0] = web::json::value::array();
    config->silentUpdates[1] = web::json::value::array();
  }

 private:
  static constexpr int kPendingDownloadLimit = 64;
  std::shared_ptr<fennic_test::MemoryConfigurationManager> config;
  std::shared_ptr<EchoTransport> transport;
  std::shared_ptr<zelvan::fennic::IQLResponse> processor;
  std::shared_ptr<FuzzExecutor> executor;
};

inline FuzzHarness& Harness() {
  static FuzzHarness* harness = new FuzzHarness();  // lives for the whole run
  return *harness;
}

}  // namespace fennic_fuzz
