// Device update-status reports against the local server while it refuses
// some, holds others past the transport's time-out, drops connections and is
// stopped and started again: once heart beats have re-sent what was kept,
// the server has accepted every report exactly once.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "CQLClientImpl.h"
#include "HttpRestClient.h"
#include "ManagementServer.h"
#include "RestMsgQueue.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using web::json::value;

namespace {

constexpr int kReports = 30;
constexpr int kHeartBeatLimit = 20;
// The transport gives up on an answer that stalls this long; the server
// holds a hung request well past it before dropping it.
constexpr auto kStallLimit = std::chrono::milliseconds(1000);
constexpr int kHangMs = 3000;
constexpr auto kServerDown = std::chrono::milliseconds(300);
constexpr auto kWaitLimit = std::chrono::seconds(20);

// Host client codes.
constexpr int kRegister = 0;
constexpr int kHeartBeat = 1;
constexpr int kDeviceUpdateStatus = 8;

std::string Report(int n) {
  return R"({"DeviceID":"dev-)" + std::to_string(n) + R"(","Updatestatus":"Success","Reason":"","UploadID":)" +
         std::to_string(1000 + n) + R"(,"UpdateSchedularID":)" + std::to_string(2000 + n) + "}";
}

// What tells one report from another.
std::string KeyOf(const value& report) {
  return report.at("DeviceID").as_string() + "/" + std::to_string(report.at("UploadID").as_integer()) + "/" +
         std::to_string(report.at("UpdateSchedularID").as_integer());
}

// A fault on device update-status requests, placed by the index (from 0)
// of the first request it hits among those arriving after it was added.
struct PlannedFault {
  std::string action;
  int at;
  int times;
  int delayMs = 0;
};

// A fault counts only the requests that the faults listed before it let
// through, so each one skips its index less what the earlier ones took.
// REQUIRES: the plan is in order and its ranges do not overlap.
void AddFaults(ManagementServer& server, const std::vector<PlannedFault>& plan) {
  int taken = 0;
  for (const auto& p : plan) {
    Fault f;
    f.target = "7";
    f.action = p.action;
    f.skip = p.at - taken;
    f.times = p.times;
    f.delayMs = p.delayMs;
    server.AddFault(f);
    taken += p.times;
  }
}

int StoredReports(fennic_test::MemoryConfigurationManager& config) {
  const value stored = config.ReadSilentUpdates(1);
  return stored.is_array() ? static_cast<int>(stored.size()) : 0;
}

int CountRecords(const std::vector<value>& records, const std::string& type, const std::string& fault) {
  int n = 0;
  for (const auto& r : records)
    if (r.at("type").as_string() == type && r.at("fault").as_string() == fault) ++n;
  return n;
}

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Restores the production retry wait however the test ends.
struct ShortRetryWait {
  ShortRetryWait() { CRestExecutor::SetRetryWait(std::chrono::milliseconds(20)); }
  ~ShortRetryWait() { CRestExecutor::SetRetryWait(std::chrono::milliseconds(10000)); }
};

TEST(UpdateStatusDeliveryTest, EveryReportAcceptedOnceAcrossRefusalsTimeoutsAndARestart) {
  fennic_test::ServicesScope services;
  ShortRetryWait shortWait;

  Scenario scenario;
  scenario.tenants.push_back(ScenarioTenant{"tenant-1", "Status Tenant", "status-token"});
  ManagementServer server(scenario, ServerOptions{});
  ASSERT_GT(server.Start(), 0);

  HttpTransportOptions transportOptions;
  transportOptions.connectTimeout = kStallLimit;
  transportOptions.requestTimeout = 2 * kStallLimit;
  auto transport = std::make_shared<HttpRestClient>(transportOptions);
  auto config = std::make_shared<fennic_test::MemoryConfigurationManager>();
  config->tenantDetails = {{"URL", server.BaseUrl()}, {"TenantID", "tenant-1"}};
  auto executor =
      std::make_shared<CRestExecutor>(config, std::make_shared<fennic_test::RecordingResponseProcessor>(), transport);
  CQLClientImpl client(executor, transport, config);
  fennic_test::RecordingListener listener;
  client.SetEventListener(&listener);
  client.LoadTenantConfiguration();

  // Returns once every message queued so far has been handled.
  int sentinels = 0;
  auto settle = [&] {
    RestMessage sentinel;
    sentinel.setType(1);
    RestMsgQueue::getInstance()->pushMsg(sentinel);
    return services.logger->WaitFor("Unknown request type 1", ++sentinels, kWaitLimit);
  };

  client.SendRequest(kRegister, "");
  ASSERT_TRUE(listener.WaitFor(1)) << "registration against the local server";
  const auto started = std::chrono::steady_clock::now();

  // While the host's reports go out: three refused, one report hung twice
  // (its third try goes through), one dropped four times in a row (so kept
  // for later), and one hung when the server is stopped under it.
  constexpr int kStopAt = 18;
  AddFaults(server,
            {{"statusFalse", 2, 3}, {"refuse", 7, 2, kHangMs}, {"refuse", 12, 4}, {"refuse", kStopAt, 1, kHangMs}});
  // Every request before the last hang that no fault hit is accepted at once.
  constexpr int kAcceptedBeforeStop = kStopAt - 3 - 2 - 4;
  for (int n = 0; n < kReports; ++n) client.SendRequest(kDeviceUpdateStatus, Report(n));

  ASSERT_TRUE(WaitUntil(
      [&] { return server.AcceptedOf("7").size() >= static_cast<size_t>(kAcceptedBeforeStop); }, kWaitLimit));
  // The next report is now on its way, and the server holds it.
  std::this_thread::sleep_for(kStallLimit / 10);
  const int port = server.Port();
  server.Stop();
  std::this_thread::sleep_for(kServerDown);
  ASSERT_EQ(server.Start(), port);
  ASSERT_TRUE(settle()) << "the host's reports were handled";

  // The refused ones, the one dropped four times, and at least one given up
  // while the server was down.
  const int keptBeforeHeartBeats = StoredReports(*config);
  EXPECT_GE(keptBeforeHeartBeats, 3 + 1 + 1);

  // Heart beats re-send what was kept: the first two refused again, and one
  // hung once.
  AddFaults(server, {{"statusFalse", 0, 2}, {"refuse", 3, 1, kHangMs}});
  int heartBeats = 0;
  while (heartBeats < kHeartBeatLimit && StoredReports(*config) > 0) {
    client.SendRequest(kHeartBeat, "");
    ++heartBeats;
    ASSERT_TRUE(settle()) << "heart beat " << heartBeats;  // the kept reports are queued again
    ASSERT_TRUE(settle()) << "heart beat " << heartBeats;  // and handled
  }
  EXPECT_EQ(StoredReports(*config), 0) << "after " << heartBeats << " heart beats";
  EXPECT_GE(heartBeats, 2) << "a report refused again needs another heart beat";
  const auto elapsed = std::chrono::steady_clock::now() - started;

  std::map<std::string, int> accepted;
  for (const auto& r : server.AcceptedOf("7")) ++accepted[KeyOf(r.at("body"))];
  for (int n = 0; n < kReports; ++n) {
    const std::string key = KeyOf(value::parse(Report(n)));
    EXPECT_EQ(accepted[key], 1) << "report " << key << " accepted " << accepted[key] << " times";
  }
  EXPECT_EQ(accepted.size(), static_cast<size_t>(kReports)) << "no report the host did not send";
  EXPECT_EQ(services.logger->Count("Upgrade Status updated successfully", "CRestExecutor::ManageDeviceUpdtStatus"),
            kReports)
      << "the agent saw each report accepted once";

  // The faults did happen. A hung request is recorded when the server lets
  // go of it, which may be after the agent has moved on.
  constexpr int kDropsAndHangs = 2 + 4 + 1 + 1;
  EXPECT_TRUE(WaitUntil([&] { return CountRecords(server.Records(), "7", "refuse") >= kDropsAndHangs; },
                        std::chrono::milliseconds(kHangMs + 2000)));
  const auto records = server.Records();
  EXPECT_EQ(CountRecords(records, "7", "statusFalse"), 3 + 2);
  EXPECT_EQ(CountRecords(records, "7", "refuse"), kDropsAndHangs);
  // The executor's own retries: at least those of the four drops in a row.
  // (A hang may not reach it: the HTTP client can send the request again by
  // itself when its stall timer ends a kept-alive connection.)
  EXPECT_GE(services.logger->Count("Please check network connection", "CRestExecutor::ManageDeviceUpdtStatus"), 3);
  RecordProperty("heartBeats", heartBeats);
  RecordProperty("keptBeforeHeartBeats", keptBeforeHeartBeats);
  RecordProperty("elapsedMs",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));

  client.Shutdown();
}

}  // namespace
