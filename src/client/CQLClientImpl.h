#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "IConfigurationManager.h"
#include "ILogManager.h"
#include <fennic/IQLClient.h>
#include "IRestClient.h"
#include <fennic/IRestExecutor.h>

// The client facade: turns the host's request codes into queued requests
// and passes the other operations on to the executor or the transport.
// All operations run on the host's calling threads, any of them from
// several at once. After Shutdown (the facade's or the executor's) the
// operations that need the executor do nothing and say so in their result.
class CQLClientImpl : public zelvan::fennic::IQLClient {
 public:
  CQLClientImpl(std::shared_ptr<zelvan::fennic::IRestExecutor> executor,
                std::shared_ptr<zelvan::fennic::IRestClient> restClient,
                std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration);
  ~CQLClientImpl() override = default;

  bool SetEventListener(zelvan::fennic::IRestEventListener* listener) override;
  void Shutdown() override;
  int SendRequest(int code, const std::string& data) override;
  std::string GetLastSeenOfServer() override;
  void StopWorker() override;
  void LoadTenantConfiguration() override;
  bool IsRequestFailed(const std::wstring& requestName) override;
  void RearmFailureAlert(int value) override;
  std::string RequestVoicePromptVersion(const std::wstring& requiredVP, const std::string& deviceName,
                                        const std::string& deviceVersion) override;
  void DownloadVPfile(const std::string& address) override;
  std::wstring QueryTransportValue(int argument) override;

  // The registration body; empty when it could not be built.
  std::string SendAgentRegMsg();

 private:
  void Log(int level, const std::string& where, const std::string& text);
  // The executor, or null once the facade's Shutdown released it.
  std::shared_ptr<zelvan::fennic::IRestExecutor> Executor();

  std::shared_ptr<zelvan::fennic::ILogManager> logger_;
  std::mutex executorLock_;
  std::shared_ptr<zelvan::fennic::IRestExecutor> executor_;  // GUARDED_BY(executorLock_)
  std::shared_ptr<zelvan::fennic::IRestClient> restClient_;
  std::shared_ptr<zelvan::fennic::IConfigurationManager> configuration_;
  const std::map<int, int> requestTypeOf_;
};
