// Many mixed requests from several host threads against the local server:
// every request is answered or logged as failed, the worker never stops,
// and memory does not grow with the number of requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "CQLClientImpl.h"
#include "CRestClientFactory.h"
#include "HttpRestClient.h"
#include "IAgentUtils.h"
#include "ManagementServer.h"
#include "support/ChildProcess.h"
#include "support/ExecutorHarness.h"
#include "support/ScratchFolder.h"

using namespace zelvan::fennic;

namespace {

// Counts what the worker finished without keeping the lines, so the count
// itself does not grow memory.
class CountingLogger : public ILogManager {
 public:
  void Log(int level, const std::string& where, const std::string& text) override {
    if (where != "CRestExecutor::ExecuteRestCall") return;
    if (text.rfind("Leaving request type : ", 0) == 0) {
      ++answered;
    } else if (level == 5) {
      ++failed;
    } else if (text.rfind("Rest Message is not proceeded", 0) == 0) {
      ++dropped;
    }
  }
  std::atomic<long> answered{0};
  std::atomic<long> failed{0};
  std::atomic<long> dropped{0};
};

class EventCounter : public IRestEventListener {
 public:
  void OnRestEvent(int code, const std::string&, const char*) override {
    if (code == 1) registered = true;
  }
  std::atomic<bool> registered{false};
};

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long RequestCount() {
  const char* text = std::getenv("FENNIC_SOAK_REQUESTS");
  return text ? std::atol(text) : 100000;
}

TEST(SoakTest, MixedRequestsFromFourHostThreads) {
  const long total = RequestCount();
  const long checkpoint = total / 10;
  auto logger = std::make_shared<CountingLogger>();
  IAgentUtils::setLogManager(logger);

  // The server runs as its own process, so only the agent side is measured.
  ScratchFolder folder;
  std::ofstream(folder / "scenario.json") << R"({"tenants":[{"id":"tenant-1","name":"Soak Tenant","token":"soak-token"}]})";
  const int port = FreeLoopbackPort();
  ChildProcess server(FENNIC_SERVER_PROGRAM " --port " + std::to_string(port) + " --scenario scenario.json", folder.path, 600);
  ASSERT_TRUE(ChildProcess::AwaitPort(port)) << "fennic-server did not start: " << ScratchFolder::Slurp(folder / "log");

  auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
  config->recordOperations = false;
  config->tenantDetails = {{"URL", "http://127.0.0.1:" + std::to_string(port)}, {"TenantID", "tenant-1"}};
  auto transport = std::make_shared<HttpRestClient>(HttpTransportOptions{});
  auto processor = std::make_shared<fennic_test::RecordingResponseProcessor>();
  auto executor = std::make_shared<CRestExecutor>(config, processor, transport);
  CQLClientImpl client(executor, transport, config);
  EventCounter events;
  client.SetEventListener(&events);
  client.LoadTenantConfiguration();
  ASSERT_EQ(client.SendRequest(0, ""), 2);
  for (int i = 0; i < 500 && !events.registered; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(events.registered) << "registration against the local server";

  const long before = logger->answered + logger->failed;
  std::atomic<long> sent{0};
  std::atomic<long> rssAtCheckpoint{0};
  // Forwarded host requests, transport queries, device sync and plug events.
  const int codes[] = {9, 19, 4, 2};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([&, t] {
      for (long n = t; n < total; n += 4) {
        // Keep a bounded number in flight, as a host that waits on its work.
        while (sent - (logger->answered + logger->failed - before) > 64)
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        client.SendRequest(codes[n % 4], "{\"seq\":" + std::to_string(n) + ",\"name\":\"Ren\xC3\xA9\"}");
        if (++sent == checkpoint) {
          while (logger->answered + logger->failed - before < checkpoint)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          rssAtCheckpoint = ResidentKiB();
        }
      }
    });
  }
  for (auto& h : hosts) h.join();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (logger->answered + logger->failed - before < total && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const long rssAtEnd = ResidentKiB();

  EXPECT_EQ(logger->answered + logger->failed - before, total) << "every request answered or logged as failed";
  EXPECT_EQ(logger->dropped.load(), 0);
  // The worker is still running: one more request goes through.
  const long answered = logger->answered;
  client.SendRequest(9, "{\"last\":true}");
  for (int i = 0; i < 500 && logger->answered == answered; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(logger->answered, answered + 1);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer keeps freed memory in quarantine: resident size says nothing here.
  (void)rssAtEnd;
#else
  EXPECT_LE(rssAtEnd, rssAtCheckpoint + rssAtCheckpoint / 10)
      << "resident KiB after " << checkpoint << ": " << rssAtCheckpoint << ", after all: " << rssAtEnd;
#endif
  RecordProperty("failed", std::to_string(logger->failed.load()));

  client.Shutdown();
  IAgentUtils::setLogManager(nullptr);
}

}  // namespace
