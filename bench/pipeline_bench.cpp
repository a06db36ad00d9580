// Throughput of the request pipeline against the floor of a bare
// mutex/condition-variable hand-off between two threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "CRestExecutor.h"
#include "IAgentUtils.h"
#include "RestMsgQueue.h"
#include "RestRequestType.h"
#include "support/MemoryConfigurationManager.h"
#include "support/RecordingLogger.h"
#include "support/RecordingResponseProcessor.h"

using namespace zelvan::fennic;

namespace {

constexpr int kMessages = 20000;

// Counts requests and wakes the benchmark when a target is reached.
class CountingTransport : public IRestClient {
 public:
  void Expect(long target) {
    std::lock_guard<std::mutex> hold(lock_);
    target_ = target;
  }
  void WaitReached() {
    std::unique_lock<std::mutex> hold(lock_);
    reached_.wait(hold, [this] { return count_.load() >= target_; });
  }
  std::string ExecuteRequest(int, std::string_view) override {
    if (count_.fetch_add(1) + 1 >= target_.load()) {
      std::lock_guard<std::mutex> hold(lock_);
      reached_.notify_all();
    }
    return std::string();
  }
  void SetToken(const std::wstring&) override {}
  void SetTenantEndpoint(const std::wstring&, const std::wstring&) override {}
  bool DownloadFile(const std::string&, const std::wstring&, std::wstring&, web::json::value&,
                    std::wstring&) override {
    return true;
  }
  void RunTransportCommand() override {}
  void SetTransportOption(int) override {}
  std::wstring GetTransportValue(int) override { return std::wstring(); }

 private:
  std::mutex lock_;
  std::condition_variable reached_;
  std::atomic<long> count_{0};
  std::atomic<long> target_{0};
};

RestMessage MakeMessage() {
  RestMessage m;
  m.setType(CANCEL_RECEIVED_ACK_REQ);
  const std::string body = R"([{"UploadID":1,"UpdateSchedulerId":2,"Status":"Success"}])";
  m.setData(body.data(), body.size());
  return m;
}

void BM_BareHandoff(benchmark::State& state) {
  std::mutex lock;
  std::condition_variable available;
  std::deque<RestMessage> messages;
  std::atomic<long> consumed{0};
  std::atomic<bool> stop{false};
  std::thread consumer([&] {
    for (;;) {
      std::unique_lock<std::mutex> hold(lock);
      available.wait(hold, [&] { return !messages.empty() || stop.load(); });
      if (messages.empty()) return;
      RestMessage m = messages.front();
      messages.pop_front();
      hold.unlock();
      benchmark::DoNotOptimize(m);
      consumed.fetch_add(1);
    }
  });
  const RestMessage message = MakeMessage();
  long target = 0;
  for (auto _ : state) {
    target += kMessages;
    for (int i = 0; i < kMessages; ++i) {
      std::lock_guard<std::mutex> hold(lock);
      messages.push_back(message);
      available.notify_all();
    }
    while (consumed.load() < target) std::this_thread::yield();
  }
  {
    std::lock_guard<std::mutex> hold(lock);
    stop = true;
  }
  available.notify_all();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_BareHandoff)->UseRealTime();

void BM_PipelineDispatch(benchmark::State& state) {
  IAgentUtils::setLogManager(std::make_shared<fennic_test::NullLogger>());
  auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
  config->token = L"token";
  config->tenantDetails = {{"URL", "https://server.test"}, {"TenantID", "tenant"}};
  auto transport = std::make_shared<CountingTransport>();
  auto executor = std::make_shared<CRestExecutor>(config, std::make_shared<fennic_test::RecordingResponseProcessor>(),
                                                  transport);
  executor->LoadTenantConfiguration();
  RestMsgQueue* queue = RestMsgQueue::getInstance();
  const RestMessage message = MakeMessage();
  long target = 0;
  for (auto _ : state) {
    target += kMessages;
    transport->Expect(target);
    for (int i = 0; i < kMessages; ++i) queue->pushMsg(message);
    transport->WaitReached();
  }
  executor->Shutdown();
  IAgentUtils::setLogManager(nullptr);
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_PipelineDispatch)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
