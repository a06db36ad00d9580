// The agent as a service with its data and download folders on a 16 MiB disk
// of its own (a tmpfs in a mount namespace of its own). A package larger than
// the disk is refused before its transfer and not asked for again; the disk
// filled to the last byte for a while (state writes fail, a new server asks
// for a new registration) stops neither the agent nor its heart beats; once
// the disk is freed a package that fits is downloaded and acknowledged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "../agent/AgentHarness.h"
#include "support/ChildProcess.h"
#include "support/ServerRecords.h"

using namespace fennic_agent_test;
using namespace fennic_test;
using web::json::value;
using zelvan::fennic::ManagementServer;

namespace {

constexpr int kCapSeconds = 8;
constexpr int64_t kTmpfsMagic = 0x01021994, kBigBytes = 24 << 20, kFitBytes = 2 << 20;
const std::map<int, int> kUploadOf{{701, 5701}, {702, 5702}};  // scheduler id -> upload id
const std::map<std::string, int> kIdOf{{"big.bin", 701}, {"fit.bin", 702}};

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool WaitFor(const std::function<bool()>& done, int limitMs) {
  for (int waited = 0; waited <= limitMs; waited += 50, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
    if (done()) return true;
  return false;
}

std::string Update(int id, const std::string& package) {
  return R"({"UpdateSchedulerId":)" + std::to_string(id) + R"(,"UploadID":)" + std::to_string(kUploadOf.at(id)) +
         R"(,"IProduct":"P100","Version":"4.)" + std::to_string(id) + R"(","Type":"Data","package":")" + package + "\"}";
}

std::unique_ptr<ManagementServer> Serve(const ScratchFolder& folder, const std::string& updates, int port) {
  const std::string text = R"({"tenants":[{"id":"demo-tenant","name":"Demo Tenant","token":"demo-token-1"}],)"
                           R"("heartbeat":{"TimeInterval":1},"packagesFolder":")" + folder / "packages" +
                           R"(","updates":[)" + updates + "]}";
  zelvan::fennic::ServerOptions options;
  options.port = port;
  auto server = std::make_unique<ManagementServer>(zelvan::fennic::Scenario::FromJson(value::parse(text), ""), options);
  // The port a stopped server held may take a moment to be free again.
  for (int attempt = 0;; ++attempt, std::this_thread::sleep_for(std::chrono::milliseconds(100))) try {
      server->Start();
      return server;
    } catch (const std::runtime_error&) {
      if (attempt == 30) throw;
    }
}

// The package a details request (type 12) or a transfer ("package") is for.
std::string PackageOf(const value& r) {
  const std::string path = r.at("type").as_string() == "package" ? TextOf(r, "path") : TextOf(r.at("body"), "DownloadUrl");
  return path.substr(path.find_last_of('/') + 1);
}

// Appends to `fd` until the disk refuses; the errno of the refusal.
int Fill(int fd) {
  static const std::string chunk(1 << 20, '\0');
  for (size_t size = chunk.size(); size >= 512;)
    if (::write(fd, chunk.data(), size) < 0) {
      if (errno != ENOSPC) return errno;
      size /= 2;
    }
  return ENOSPC;
}

TEST(DiskFullDaemonTest, FullDiskStopsNothingAndAFittingPackageFollowsOnceFreed) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs in a mount namespace needs root";
  const std::string unshare = std::filesystem::exists("/usr/bin/unshare") ? "/usr/bin/unshare" : "/bin/unshare";
  ScratchFolder folder;
  const std::string disk = folder / "disk";
  std::filesystem::create_directories(disk);
  const std::vector<std::string> prefix{unshare, "-m", "--propagation", "private", "sh", "-c",
                                        "mount -t tmpfs -o size=16m,mode=0755 tmpfs \"$0\" && exec \"$@\"", disk};
  if (!ChildProcess::Shell("timeout 10 " + unshare + " -m --propagation private sh -c 'mount -t tmpfs -o size=1m tmpfs " +
                           disk + "' 2>/dev/null"))
    GTEST_SKIP() << "unshare -m or a tmpfs mount is not possible here";

  std::filesystem::create_directories(folder / "packages");
  ScratchFolder::Put(folder / "packages/big.bin", "");
  std::filesystem::resize_file(folder / "packages/big.bin", kBigBytes);  // sparse: only its size matters
  ScratchFolder::Put(folder / "packages/fit.bin", std::string(kFitBytes, 'P'));
  const int port = zelvan::fennic::FreeLoopbackPort();
  std::string config = ValidConfig(folder, "http://127.0.0.1:" + std::to_string(port));
  for (const auto& [member, text] : {std::pair<const char*, std::string>{"dataFolder", '"' + disk + "/data\""},
                                     {"downloadFolder", '"' + disk + "/downloads\""},
                                     {"backoffCapSeconds", std::to_string(kCapSeconds)},
                                     {"transport", R"({"requestTimeoutMs":2000,"connectTimeoutMs":1000})"}})
    config = WithMember(config, member, text);
  ScratchFolder::Put(folder / "config.json", config);

  AgentProcess agent(folder, {"--config", folder / "config.json"}, {}, prefix);
  auto first = Serve(folder, Update(701, "big.bin"), port);
  // The agent's own view of the disk, which the test reaches as root.
  const std::string seen = "/proc/" + std::to_string(agent.Pid()) + "/root" + disk;
  struct statfs info {};
  ASSERT_TRUE(WaitFor([&] { return ::statfs(seen.c_str(), &info) == 0 && info.f_type == kTmpfsMagic; }, 5000)) << agent.Err();
  // The too-large package is refused before its transfer, for lack of space.
  ASSERT_TRUE(WaitFor([&] { return AckedAs(first->Records(), 701, "Failed"); }, 12000)) << agent.Err();

  // The disk is filled and kept full; halfway a new server (which knows no
  // token, so the agent registers again) offers a package that fits as well.
  const int filler = ::open((seen + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(filler, 0) << seen;
  ASSERT_EQ(Fill(filler), ENOSPC);
  const int64_t fullFrom = NowMs();
  std::unique_ptr<ManagementServer> second;
  for (; NowMs() - fullFrom < 7000; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
    if (!second && NowMs() - fullFrom > 3000) {
      first->Stop();
      second = Serve(folder, Update(701, "big.bin") + "," + Update(702, "fit.bin"), port);
    }
    Fill(filler);  // whatever the agent removed is taken again
  }
  const int64_t fullUntil = NowMs();
  ::close(filler);
  ASSERT_EQ(::unlink((seen + "/filler").c_str()), 0);

  // Once freed, the package that fits follows; the failed writes left no temporary file.
  const bool fitted = WaitFor([&] { return AckedAs(second->Records(), 702, "Success"); }, 20000);
  const int64_t endMs = NowMs();
  for (const auto& entry : std::filesystem::directory_iterator(seen + "/data"))
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  const bool ran = agent.Wait(0) == -1;
  agent.Signal(SIGTERM);
  const int code = agent.Wait(10000);
  second->Stop();
  std::vector<value> records = first->Records();
  for (const auto& r : second->Records()) records.push_back(r);
  const std::string err = agent.Err(), log = ScratchFolder::Slurp(folder / "agent.log");
  const std::string tail = "\nstderr:\n" + err + "\nlog tail:\n" + log.substr(log.size() > 8000 ? log.size() - 8000 : 0);

  // (11) The agent lived through it all and works again.
  EXPECT_TRUE(ran && code == 0) << "the agent ended during the run, or not cleanly at the stop" << tail;
  EXPECT_TRUE(fitted) << "the fitting package was not acknowledged \"Success\" after the disk was freed" << tail;

  // (6), (12) Acknowledgements: offered ids, one per attempt, a one-line reason for each failure.
  std::map<int, int> open;  // details requests not yet acknowledged, per update
  std::map<std::string, int> details, transfers, fullDetails;
  for (const auto& r : records) {
    const std::string type = r.at("type").as_string();
    const int64_t ms = r.at("ms").as_number().to_int64();
    if (type == "12" || type == "package") {
      const std::string package = PackageOf(r);
      ++(type == "12" ? details : transfers)[package];
      if (type == "12" && kIdOf.count(package)) ++open[kIdOf.at(package)];
      if (type == "12" && ms >= fullFrom && ms < fullUntil) ++fullDetails[package];
    }
  }
  const auto acks = AcksIn(records);
  ASSERT_FALSE(acks.empty());
  std::map<int, int> successes;
  EXPECT_EQ(FirstBadAcknowledgement(records, successes, kUploadOf), "");
  for (const auto& e : acks)
    EXPECT_GT(open[IdOf(e, "UpdateSchedulerId")]--, 0) << "a second terminal acknowledgement for one attempt: " << e.serialize();
  EXPECT_TRUE(std::regex_match(TextOf(acks.front(), "Reason"), std::regex("low disk space: 1[0-5] MB free, 25 MB needed")))
      << acks.front().serialize();
  EXPECT_FALSE(AckedAs(records, 701, "Success")) << "the package larger than the disk was acknowledged as downloaded";
  // Never transferred; asked for once (the free space never grows past what it was then), never while full.
  EXPECT_EQ(transfers["big.bin"] * 100 + details["big.bin"] * 10 + fullDetails["big.bin"], 10) << "transfers, asks, asks while full";
  EXPECT_EQ(transfers["fit.bin"], 1) << "the fitting package was transferred other than once";

  // (9) No silence longer than the back-off step in force plus 2 s, and heart beats went on while the disk was full.
  double step = 1;
  const std::regex backoff("next attempt in ([0-9.]+) s");
  for (std::sregex_iterator m(err.begin(), err.end(), backoff), end; m != end; ++m) step = std::max(step, std::stod((*m)[1]));
  EXPECT_LE(step, kCapSeconds) << "a back-off step beyond the cap" << tail;
  int64_t longest = 0, previous = -1, beatsWhileFull = 0;
  for (const auto& r : records) {
    const int64_t ms = r.at("ms").as_number().to_int64();
    if (previous >= 0) longest = std::max(longest, ms - previous);
    previous = std::max(previous, ms);
    beatsWhileFull += r.at("type").as_string() == "3" && ms >= fullFrom && ms < fullUntil;
  }
  longest = std::max(longest, endMs - previous);
  RecordProperty("longestSilenceMs", static_cast<int>(longest));
  EXPECT_LE(longest, static_cast<int64_t>((step + 2) * 1000)) << "the longest silence" << tail;
  EXPECT_GE(beatsWhileFull, 3) << "hardly any heart beat while the disk was full" << tail;
}

}  // namespace
