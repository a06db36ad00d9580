#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "IRestClient.h"

namespace fennic_test {

struct TransportCall {
  int type;
  std::string body;
};

struct DownloadCall {
  std::string answer;
  std::wstring localPath;
  web::json::value urlSource;
  std::wstring product;
};

// Transport that answers from a script and records every call. For a type,
// queued one-shot replies come first, then a handler installed with
// OnRequest, then a standing answer; with none of them the answer is empty.
class ScriptedTransport : public zelvan::fennic::IRestClient {
 public:
  using Handler = std::function<std::string(const std::string& body)>;
  using DownloadHandler = std::function<bool(const DownloadCall& call, std::wstring& reason)>;

  // Script.
  void Answer(int type, const std::string& body) {  // one-shot, FIFO per type
    Locked([&] { oneShot_[type].push_back({false, body}); });
  }
  void AnswerAlways(int type, const std::string& body) { Locked([&] { standing_[type] = body; }); }
  void FailWithHttpError(int type, const std::string& what = "transport failure") {  // one-shot
    Locked([&] { oneShot_[type].push_back({true, what}); });
  }
  void OnRequest(int type, Handler handler) { Locked([&] { handlers_[type] = std::move(handler); }); }  // may block
  void OnDownload(DownloadHandler handler) { Locked([&] { downloadHandler_ = std::move(handler); }); }  // default: succeeds

  // Record.
  std::vector<TransportCall> Calls() { return Get(calls_); }
  std::vector<TransportCall> CallsOf(int type);
  std::vector<int> Types();
  int CountOf(int type) { return static_cast<int>(CallsOf(type).size()); }
  bool WaitForCalls(int type, int count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  std::vector<DownloadCall> Downloads() { return Get(downloads_); }
  std::vector<std::wstring> Tokens() { return Get(tokens_); }
  std::vector<std::pair<std::wstring, std::wstring>> Endpoints() { return Get(endpoints_); }
  int TransportCommands() { return Get(transportCommands_); }
  std::vector<int> TransportOptions() { return Get(transportOptions_); }

  // IRestClient
  void SetToken(const std::wstring& token) override { Locked([&] { tokens_.push_back(token); }); }
  // Refuses what the HTTP transport refuses, as it does.
  void SetTenantEndpoint(const std::wstring& url, const std::wstring& tenantId) override;
  std::string ExecuteRequest(int requestType, std::string_view body) override;
  bool DownloadFile(const std::string& answer, const std::wstring& localPath, std::wstring& reason,
                    web::json::value& urlSource, std::wstring& product) override;
  void RunTransportCommand() override { Locked([&] { ++transportCommands_; }); }
  void SetTransportOption(int value) override { Locked([&] { transportOptions_.push_back(value); }); }
  std::wstring GetTransportValue(int) override { return std::wstring(); }

 private:
  template <typename T>
  T Get(const T& member) {
    std::lock_guard<std::mutex> hold(lock_);
    return member;
  }
  template <typename F>
  void Locked(F f) {
    std::lock_guard<std::mutex> hold(lock_);
    f();
  }

  struct Reply {
    bool httpError = false;
    std::string body;
  };

  std::mutex lock_;
  std::condition_variable changed_;
  std::map<int, std::deque<Reply>> oneShot_;
  std::map<int, Handler> handlers_;
  std::map<int, std::string> standing_;
  DownloadHandler downloadHandler_;
  std::vector<TransportCall> calls_;
  std::vector<DownloadCall> downloads_;
  std::vector<std::wstring> tokens_;
  std::vector<std::pair<std::wstring, std::wstring>> endpoints_;
  int transportCommands_ = 0;
  std::vector<int> transportOptions_;
};

}  // namespace fennic_test
