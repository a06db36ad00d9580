// Processing a get-all-updates answer against stored lists, beside the
// floor of merely parsing the same answer text. Growth from N=1000 to
// N=10000 shows whether processing stays linear.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "CQLResponse.h"
#include "IAgentUtils.h"
#include "RestMsgQueue.h"
#include "UpdatesDownload.h"
#include "support/Fakes.h"
#include "support/MemoryConfigurationManager.h"
#include "support/RecordingLogger.h"

using namespace zelvan::fennic;

// Every allocation in the process passes through here, the JSON library's
// included, so the measured part's allocations can be counted. Unlike time,
// the count does not depend on the machine: allocations per update that stay
// the same from N=1000 to N=10000 show linear work even where caches make
// the time grow faster.
// Per thread, so that counting costs no locked instruction: the measured
// part runs on the benchmark's own thread.
namespace {
thread_local bool g_counting = false;
thread_local long long g_allocations = 0;
thread_local long long g_bytes = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (g_counting) {
    ++g_allocations;
    g_bytes += static_cast<long long>(size);
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The compiler pairs new with delete, not with malloc and free; here they are
// one pair by construction.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// Counts allocations from construction to Stop(), reported per update.
class AllocationCount {
 public:
  AllocationCount() {
    g_allocations = 0;
    g_bytes = 0;
  }
  void Start() { g_counting = true; }
  void Stop() { g_counting = false; }
  void Report(benchmark::State& state) {
    Stop();
    const double updates = static_cast<double>(state.range(0));
    state.counters["allocs_per_update"] =
        benchmark::Counter(static_cast<double>(g_allocations) / updates, benchmark::Counter::kAvgIterations);
    state.counters["bytes_per_update"] =
        benchmark::Counter(static_cast<double>(g_bytes) / updates, benchmark::Counter::kAvgIterations);
  }
};

std::string Update(int id, bool changedUrls, bool downloaded) {
  const std::string url = "https://s/pkg/f" + std::to_string(id) + (changedUrls ? "-new" : "") + ".bin";
  return R"({"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":)" + std::to_string(id + 100000) +
         R"(,"Action":"ScheduleUpdate","IProduct":"P100","Version":"1.0","Type":"Firmware","ScheduledTime":"t",)"
         R"("updateDeployedTime":"t","ForceUpdate":"False","UpdatesURLs":[{"IProduct":"P100","UpdatesURL":")" +
         url + R"("}])" + (downloaded ? R"(,"downloadStatus":true)" : "") + "}";
}

// The fastest repetition: interference from other work on a shared machine
// only ever adds time, so the minimum is the steadiest figure to compare.
double Fastest(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

struct Fixture {
  std::string answer;
  web::json::value storedUpdates;
  web::json::value storedConfigs;
};

Fixture Make(int n) {
  Fixture f;
  std::string updates, stored, configs;
  for (int id = 0; id < n; ++id) {
    updates += (id ? "," : "") + Update(id, id % 10 == 0, false);
    // Half are stored already, downloaded under their old addresses.
    if (id % 2 == 0) stored += (stored.empty() ? "" : ",") + Update(id, false, true);
  }
  for (int id = 0; id < n / 10; ++id)
    configs += std::string(id ? "," : "") + R"({"UpdateSchedulerId":)" + std::to_string(900000 + id) +
               R"(,"UploadID":)" + std::to_string(id) + R"(,"IProduct":"P100","configSettings":{"Volume":7}})";
  f.answer = R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,)"
             R"("validateResponseFromServer":true,"ErrorMessage":"","ResponseBody":{"Updates":[)" +
             updates + R"(],"ConfigurationUpdates":[)" + configs + "]}}";
  f.storedUpdates = web::json::value::parse("[" + stored + "]");
  f.storedConfigs = web::json::value::array();
  return f;
}

void BM_ParseOnly(benchmark::State& state) {
  const Fixture f = Make(static_cast<int>(state.range(0)));
  AllocationCount count;
  count.Start();
  for (auto _ : state) benchmark::DoNotOptimize(web::json::value::parse(f.answer));
  count.Report(state);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseOnly)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);

void BM_ProcessGetAllUpdates(benchmark::State& state) {
  IAgentUtils::setLogManager(std::make_shared<fennic_test::NullLogger>());
  const Fixture f = Make(static_cast<int>(state.range(0)));
  std::shared_ptr<fennic_test::MemoryConfigurationManager> config;
  std::unique_ptr<CQLResponse> processor;
  AllocationCount count;
  for (auto _ : state) {
    count.Stop();
    state.PauseTiming();
    // Set-up and tear-down of the stores stay outside the measured part.
    processor.reset();
    RestMsgQueue::releaseInstance();  // drop the queued download requests
    config = std::make_shared<fennic_test::MemoryConfigurationManager>();
    config->recordOperations = false;
    config->supportedProducts = {L"P100"};
    config->jsonFiles["Update.dat"] = f.storedUpdates;
    config->jsonFiles["Config.dat"] = f.storedConfigs;
    processor = std::make_unique<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                              std::make_shared<UpdatesDownload>(config));
    state.ResumeTiming();
    count.Start();
    benchmark::DoNotOptimize(processor->ProcessGetUpdtResponse(f.answer, true));
  }
  count.Report(state);
  processor.reset();
  RestMsgQueue::releaseInstance();
  IAgentUtils::setLogManager(nullptr);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ProcessGetAllUpdates)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);

}  // namespace

BENCHMARK_MAIN();
