#include "AgentHost.h"

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <ctime>
#include <future>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "AesGcmCipher.h"
#include <fennic/CQLClientImplFactory.h>
#include "CRestClientFactory.h"
#include "Container.h"
#include "EventNames.h"
#include "FileConfigurationManager.h"
#include "FileTenantConfig.h"
#include "HeartBeatSchedule.h"
#include "HttpRestClient.h"
#include "IAgentUtils.h"
#include "IOCCManager.h"
#include "JournalLog.h"
#include "OncePass.h"
#include "PosixFileManager.h"
#include <fennic/RestExecutorFactory.h>
#include "SpdlogLogManager.h"
#include "SystemdNotify.h"
#include "TextConversion.h"

namespace zelvan::fennic::agent {

namespace {

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::ostringstream out;
  out << std::put_time(&parts, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << millis << 'Z';
  return out.str();
}

std::string Narrow(const std::wstring& text) { return ToUtf8(text); }

}  // namespace

void EventLog::OnRestEvent(int eventCode, const std::string& text, const char* payload) {
  const std::string body = payload ? payload : "";
  {
    std::lock_guard<std::mutex> guard(lock_);
    out_ << EventLine(Now(), eventCode, text, body) << std::endl;
    seen_.push_back(eventCode);
    changed_.notify_all();
  }
  if (forward_) forward_(eventCode, text, body);
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  seen_.clear();
}

bool EventLog::WaitFor(const std::set<int>& wanted, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] {
    for (int code : seen_)
      if (wanted.count(code)) return true;
    return false;
  });
}

AgentHost::AgentHost(AgentConfig config, std::ostream& out) : config_(std::move(config)), out_(out), events_(out) {}

AgentHost::~AgentHost() = default;

void AgentHost::Start() {
  // Before any thread exists, so every thread inherits the blocked mask.
  signals_ = std::make_unique<SignalSource>(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP});
  signals_->Attach(loop_, [this](int signal) { OnSignal(signal); });

  services::LogOptions logOptions;
  logOptions.minimumSeverity = config_.logLevel;
  logOptions.file = config_.logFile;
  const bool journal = StderrIsJournal();
  logOptions.console = !journal;
  logger_ = std::make_shared<services::SpdlogLogManager>(logOptions);
  std::shared_ptr<ILogManager> logger = logger_;
  if (journal) logger = std::make_shared<JournalLog>(logger_, config_.logLevel);
  auto cipher = std::make_shared<services::AesGcmCipher>(config_.services.dataFolder + "/agent.key");
  IAgentUtils::setLogManager(logger);
  IAgentUtils::setFileManager(std::make_shared<services::PosixFileManager>());
  IAgentUtils::setEncryptDecrypt(cipher);

  auto transport = std::make_shared<HttpRestClient>(config_.transport);
  transport_ = transport;
  AnnouncePackageTrust(false);
  CRestClientFactory::setRestClient(transport);
  configuration_ = std::make_shared<services::FileConfigurationManager>(config_.services, cipher, logger);
  auto tenantConfig = std::make_shared<services::FileTenantConfig>(configuration_, logger);
  tenantConfig->ReloadTenantConfig();

  auto builder = std::make_shared<ioc::ContainerBuilder>();
  builder->registerInstance<IRestClient>(transport);
  builder->registerInstance<IConfigurationManager>(configuration_);
  builder->registerInstance<ITenantConfig>(tenantConfig);
  IOCCManager::SetIOCBuilder(builder);
  // Everything is installed already; a library asking again finds it.
  IAgentUtils::SetAgentUtilsLoader([builder] {
    if (!IOCCManager::GetIOCBuilder()) IOCCManager::SetIOCBuilder(builder);
  });

  client_ = CQLClientImplFactory::getQLClient();
  executor_ = RestExecutorFactory::getRestExecutor();
  if (!client_ || !executor_) throw std::runtime_error("the REST library could not be set up");
  // Events arrive on the worker thread; the host reacts to them on the loop.
  events_.SetForward([this](int code, std::string text, std::string payload) {
    loop_.Post([this, code, text = std::move(text), payload = std::move(payload)] { Dispatch(code, text, payload); });
  });
  client_->SetEventListener(&events_);
  client_->LoadTenantConfiguration();
}

void AgentHost::Dispatch(int code, const std::string& text, const std::string& payload) {
  for (const auto& handler : handlers_) handler(code, text, payload);
  if (mode_.onEvent && !finished_) mode_.onEvent(code, text, payload);
}

void AgentHost::OnSignal(int signal) {
  if (signal == SIGHUP) {
    try {
      const std::vector<std::string> restart = Reconfigure(LoadAgentConfig(config_.configFile));
      std::string line = "fennic-agent: configuration re-read";
      for (std::size_t i = 0; i < restart.size(); ++i) line += (i ? ", " : "; a restart is needed for ") + restart[i];
      std::cerr << line << std::endl;
    } catch (const ConfigError& e) {
      std::cerr << JournalPriority(3) << "fennic-agent: configuration not re-read, keeping the running one: " << e.what() << std::endl;
    }
    return;
  }
  std::cerr << "fennic-agent: stopping on " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
  RequestStop();
}

namespace {

bool SameInstallers(const std::vector<InstallerConfig>& a, const std::vector<InstallerConfig>& b) {
  const auto same = [](const InstallerConfig& x, const InstallerConfig& y) {
    return x.product == y.product && x.command == y.command && x.timeoutSeconds == y.timeoutSeconds &&
           x.deviceId == y.deviceId;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

}  // namespace

std::vector<std::string> AgentHost::Reconfigure(const AgentConfig& fresh) {
  std::vector<std::string> restart;
  const auto& now = config_;
  const std::pair<const char*, bool> changes[] = {
      {"server", fresh.services.serverUrl != now.services.serverUrl},
      {"tenantId", fresh.services.tenantId != now.services.tenantId},
      {"dataFolder", fresh.services.dataFolder != now.services.dataFolder},
      {"downloadFolder", fresh.services.downloadFolder != now.services.downloadFolder},
      {"supportedProducts", fresh.services.supportedProducts != now.services.supportedProducts},
      {"softwareDownload", fresh.services.softwareDownloadEnabled != now.services.softwareDownloadEnabled},
      {"logLevel", fresh.logLevel != now.logLevel},
      {"logFile", fresh.logFile != now.logFile},
      {"transport", fresh.transportText != now.transportText},
      {"controlSocket", fresh.controlSocket != now.controlSocket},
      {"controlGroup", fresh.controlGroup != now.controlGroup},
      {"backoffJitterPercent", fresh.backoffJitterPercent != now.backoffJitterPercent},
      // The sources are set up once at start.
      {"sessionUser", fresh.sources.sessionUser != now.sources.sessionUser},
      {"usbVendorIds", fresh.sources.usbVendorIds != now.sources.usbVendorIds},
      {"callDurationSpool", fresh.sources.callDurationSpool != now.sources.callDurationSpool},
      {"softphoneListFile", fresh.sources.softphoneListFile != now.sources.softphoneListFile},
      {"userDetails", fresh.sources.userDetails.serialize() != now.sources.userDetails.serialize()},
      {"installers", !SameInstallers(fresh.sources.installers, now.sources.installers)},
  };
  for (const auto& [name, changed] : changes)
    if (changed) restart.push_back(name);
  // A revoked key stops counting with the next download, not the next start.
  config_.transport.packageTrust = fresh.transport.packageTrust;
  if (transport_) {
    transport_->SetPackageTrust(fresh.transport.packageTrust);
    AnnouncePackageTrust(true);
  }
  // Read at each use, so they take effect from the next step on.
  config_.heartBeatSeconds = fresh.heartBeatSeconds;
  config_.onceTimeoutSeconds = fresh.onceTimeoutSeconds;
  config_.firstHeartBeatSpreadSeconds = fresh.firstHeartBeatSpreadSeconds;
  config_.stopDrainSeconds = fresh.stopDrainSeconds;
  config_.backoffCapSeconds = fresh.backoffCapSeconds;
  return restart;
}

namespace {

// The trusted key ids, comma-separated, or "none".
std::string TrustedKeyIds(const PackageTrust& trust) {
  std::string ids;
  for (const auto& key : trust.keys) ids += (ids.empty() ? "" : ", ") + key.IdText();
  return ids.empty() ? "none" : ids;
}

}  // namespace

void AgentHost::AnnouncePackageTrust(bool reloaded) {
  const PackageTrust& trust = config_.transport.packageTrust;
  const auto logger = IAgentUtils::getLogManager();
  if (!logger || (trust.policy == SignaturePolicy::Off && reloaded)) return;
  if (trust.policy == SignaturePolicy::Off)
    logger->Log(3, "AgentHost::Start", "Package signatures are not checked (no \"packageSignatures\" key configured)");
  else
    logger->Log(6, reloaded ? "AgentHost::Reconfigure" : "AgentHost::Start",
                std::string("Package signatures: ") + SignaturePolicyName(trust.policy) + ", keys " + TrustedKeyIds(trust));
}

std::uint64_t AgentHost::AddTimer(std::chrono::milliseconds delay, Callback callback) {
  return loop_.AddTimer(EventLoop::Clock::now() + delay, std::move(callback));
}

bool AgentHost::HasToken() { return !executor_->GetToken().empty(); }

void AgentHost::Send(int code, const std::string& data) { client_->SendRequest(code, data); }

void AgentHost::Warn(const std::string& line) { std::cerr << JournalPriority(4) << "fennic-agent: " << line << std::endl; }

ModeHost::Pacing AgentHost::Paced() const {
  return {std::chrono::seconds(config_.backoffCapSeconds), config_.backoffJitterPercent / 100.0,
          std::chrono::seconds(config_.firstHeartBeatSpreadSeconds)};
}

std::chrono::milliseconds AgentHost::StepBound() const {
  return std::chrono::milliseconds(static_cast<long long>(config_.onceTimeoutSeconds) * 1000);
}

std::string AgentHost::LastFailure() { return client_ ? Narrow(client_->QueryTransportValue(5)) : std::string(); }

std::string AgentHost::LastRefusal() { return client_ ? Narrow(client_->QueryTransportValue(6)) : std::string(); }

std::string AgentHost::RegistrationFailure(const std::string& eventText) {
  const std::string refusal = LastRefusal();
  if (!refusal.empty()) return refusal;
  const std::string last = LastFailure();
  if (!last.empty()) return "registration failed: " + last;
  return "registration failed" + (eventText.empty() ? std::string(" (see the log)") : ": " + eventText);
}

std::chrono::seconds AgentHost::RetryAfter() {
  // Only digits count: anything else means the server named no wait.
  const std::string text = client_ ? Narrow(client_->QueryTransportValue(4)) : std::string();
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::chrono::seconds(0);
  return std::chrono::seconds(std::atol(text.c_str()));
}

std::chrono::seconds AgentHost::HeartBeatInterval() {
  return TenantHeartBeatInterval(configuration_->GetTenantDetails(), std::chrono::seconds(config_.heartBeatSeconds));
}

int AgentHost::PendingDownloads() {
  // Entries already downloaded stay listed (their packages may be gone,
  // handed to an installer): only the others are pending.
  const web::json::value list = configuration_->ReadJsonFile("Update.dat");
  if (!list.is_array()) return 0;
  int pending = 0;
  for (const auto& entry : list.as_array()) {
    const bool downloaded = entry.is_object() && entry.has_boolean_field("downloadStatus") &&
                            entry.at("downloadStatus").as_bool();
    if (!downloaded) ++pending;
  }
  return pending;
}

int AgentHost::Run(const std::function<void()>& begin) {
  result_ = 0;
  finished_ = false;
  loop_.Post([this, begin] {
    for (const auto& hook : startHooks_) hook();
    NotifyReady();
    begin();
  });
  loop_.Run();
  NotifyStopping();
  mode_ = Mode{};
  return result_;
}

void AgentHost::Finish(int result) {
  // Events already posted still run after a stop; the first outcome stands.
  if (finished_) return;
  finished_ = true;
  result_ = result;
  loop_.Stop();
}

int AgentHost::RunOnce(std::ostream& error) {
  OncePass pass(*this, error);
  return Run([&pass] { pass.Begin(); });
}

int AgentHost::RunForever(std::ostream& /*error*/) {
  HeartBeatSchedule schedule(*this);
  return Run([&schedule] { schedule.Begin(); });
}

void AgentHost::BeatNow() {
  if (mode_.onBeatNow) mode_.onBeatNow();
  else client_->SendRequest(1, "");
}

void AgentHost::RequestStop() {
  loop_.Post([this] {
    if (mode_.onStop) mode_.onStop();
    else Finish(0);
  });
}

bool AgentHost::DrainBeforeStop(std::chrono::milliseconds bound) {
  if (!executor_) return true;
  // Reports still queued at the bound are kept by the library and sent
  // after the next start.
  const bool drained = executor_->DrainQueue(bound);
  if (!drained)
    std::cerr << JournalPriority(4) << "fennic-agent: the queue had not drained after " << bound.count()
              << " ms; a transfer still in flight is aborted, reports still queued are kept for the next start"
              << std::endl;
  return drained;
}

bool AgentHost::Stop(std::chrono::milliseconds bound) {
  if (!client_) return true;
  const std::chrono::milliseconds drain(static_cast<long long>(config_.stopDrainSeconds) * 1000);
  {
    // The drain waits for the request in flight; a slow answer or a long
    // download would hold it past its bound, so the transfer is aborted there.
    std::mutex lock;
    std::condition_variable drained;
    bool done = false;
    std::thread abort([&, transport = transport_] {
      std::unique_lock<std::mutex> hold(lock);
      if (!drained.wait_for(hold, drain, [&] { return done; }) && transport) transport->AbortTransfers();
    });
    DrainBeforeStop(drain);
    {
      std::lock_guard<std::mutex> hold(lock);
      done = true;
    }
    drained.notify_all();
    abort.join();
  }
  // Nothing more is sent: what is still queued is kept for the next start.
  if (transport_) transport_->AbortTransfers();
  auto client = client_;
  // Shutdown joins the worker, which may be inside a request; bound the wait
  // so the process still leaves in time.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([client, done] {
    client->Shutdown();
    done->set_value();
  }).detach();
  const bool stopped = finished.wait_for(bound) == std::future_status::ready;
  if (stopped) {
    client_.reset();
    executor_.reset();
  }
  return stopped;
}

void AgentHost::FlushLog() {
  if (logger_) logger_->Flush();
}

}  // namespace zelvan::fennic::agent
