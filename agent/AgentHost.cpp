#include "AgentHost.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <future>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "AesGcmCipher.h"
#include "CQLClientImplFactory.h"
#include "CRestClientFactory.h"
#include "EventNames.h"
#include "Container.h"
#include "FileConfigurationManager.h"
#include "FileTenantConfig.h"
#include "HttpRestClient.h"
#include "IAgentUtils.h"
#include "IOCCManager.h"
#include "PosixFileManager.h"
#include "RestExecutorFactory.h"
#include "SpdlogLogManager.h"

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

const std::set<int> kRegistrationEnd = {0, 1};
// 4 ends the check; 9 (a failed heart beat or update request) precedes it on
// failure; 2 means the stored token was refused.
const std::set<int> kUpdateCheckEnd = {2, 4, 9};

}  // namespace

void EventLog::OnRestEvent(int eventCode, const std::string& text, const char* payload) {
  const std::string line = EventLine(Now(), eventCode, text, payload ? payload : "");
  std::lock_guard<std::mutex> guard(lock_);
  out_ << line << std::endl;
  seen_.push_back(eventCode);
  changed_.notify_all();
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  seen_.clear();
}

int EventLog::WaitFor(const std::set<int>& wanted, std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
  std::unique_lock<std::mutex> guard(lock_);
  int found = -1;
  changed_.wait_for(guard, timeout, [&] {
    for (int code : seen_)
      if (wanted.count(code)) {
        found = code;
        return true;
      }
    return stop.load();
  });
  return found;
}

void EventLog::Wake() {
  std::lock_guard<std::mutex> guard(lock_);
  changed_.notify_all();
}

AgentHost::AgentHost(AgentConfig config, std::ostream& out) : config_(std::move(config)), events_(out) {}

AgentHost::~AgentHost() = default;

void AgentHost::Start() {
  services::LogOptions logOptions;
  logOptions.minimumSeverity = config_.logLevel;
  logOptions.file = config_.logFile;
  auto logger = std::make_shared<services::SpdlogLogManager>(logOptions);
  logger_ = logger;
  auto cipher = std::make_shared<services::AesGcmCipher>(config_.services.dataFolder + "/agent.key");
  IAgentUtils::setLogManager(logger);
  IAgentUtils::setFileManager(std::make_shared<services::PosixFileManager>());
  IAgentUtils::setEncryptDecrypt(cipher);

  auto transport = std::make_shared<HttpRestClient>(config_.transport);
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
  client_->SetEventListener(&events_);
  client_->LoadTenantConfiguration();
}

std::chrono::milliseconds AgentHost::OnceBound() const {
  return std::chrono::milliseconds(static_cast<long long>(config_.onceTimeoutSeconds) * 1000);
}

bool AgentHost::Register(std::ostream& error) {
  events_.Clear();
  client_->SendRequest(0, "");
  const int outcome = events_.WaitFor(kRegistrationEnd, OnceBound(), stop_);
  if (outcome == 1) return true;
  if (stop_) error << "fennic-agent: stopped during registration\n";
  else if (outcome == 0) error << "fennic-agent: registration failed (see the log)\n";
  else error << "fennic-agent: no registration answer within " << config_.onceTimeoutSeconds << " s\n";
  return false;
}

int AgentHost::RunOnce(std::ostream& error) {
  bool registeredNow = false;
  if (executor_->GetToken().empty()) {
    if (!Register(error)) return 1;
    registeredNow = true;
  }
  for (;;) {
    events_.Clear();
    // Client state 1: the heart beat asks for all updates and the check runs
    // until its downloads drain.
    client_->SendRequest(16, "1");
    client_->SendRequest(1, "");
    const int outcome = events_.WaitFor(kUpdateCheckEnd, OnceBound(), stop_);
    if (outcome == 4) {
      // Acknowledgements queued just before the check ended are still in
      // the queue, and a stop discards the queue. A transport query goes in
      // behind them; its answer (event 19) means they have all been sent.
      events_.Clear();
      client_->SendRequest(19, "");
      events_.WaitFor({19}, std::chrono::milliseconds(5000), stop_);
      return 0;
    }
    if (outcome == 2 && !registeredNow) {
      // The stored token was refused: register once more and retry.
      if (!Register(error)) return 1;
      registeredNow = true;
      continue;
    }
    if (stop_) error << "fennic-agent: stopped during the update check\n";
    else if (outcome == 9) error << "fennic-agent: update check failed (see the log)\n";
    else if (outcome == 2) error << "fennic-agent: the server refused the new registration's token\n";
    else error << "fennic-agent: update check did not finish within " << config_.onceTimeoutSeconds << " s\n";
    return 1;
  }
}

std::chrono::seconds AgentHost::HeartBeatInterval() {
  // The tenant's interval, once the server has sent one, wins over the
  // host's configured default.
  const auto details = configuration_->GetTenantDetails();
  const auto it = details.find("TimeInterval");
  const int tenant = it == details.end() ? 0 : std::atoi(it->second.c_str());
  return std::chrono::seconds(tenant > 0 ? tenant : config_.heartBeatSeconds);
}

int AgentHost::RunForever(std::ostream& /*error*/) {
  while (!stop_) {
    if (executor_->GetToken().empty()) {
      events_.Clear();
      client_->SendRequest(0, "");
      events_.WaitFor(kRegistrationEnd, OnceBound(), stop_);
    }
    if (stop_) break;
    events_.Clear();
    client_->SendRequest(1, "");
    const auto due = std::chrono::steady_clock::now() + HeartBeatInterval();
    while (!stop_ && std::chrono::steady_clock::now() < due) {
      // Between heart beats the server may ask for a new registration.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
      const int asked = events_.WaitFor({2}, std::min(left, std::chrono::milliseconds(1000)), stop_);
      if (asked == 2 && !stop_) {
        events_.Clear();
        client_->SendRequest(0, "");
      }
    }
  }
  return 0;
}

void AgentHost::RequestStop() {
  stop_ = true;
  events_.Wake();
}
bool AgentHost::Stop(std::chrono::milliseconds bound) {
  if (!client_) return true;
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

}  // namespace zelvan::fennic::agent

namespace zelvan::fennic::agent {

void AgentHost::FlushLog() {
  if (logger_) logger_->Flush();
}

}  // namespace zelvan::fennic::agent
