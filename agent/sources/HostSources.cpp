#include "HostSources.h"

#include "AgentHost.h"
#include "CallDurationSpool.h"
#include "DirectoryGroups.h"
#include "IConfigurationManager.h"
#include "IOCCManager.h"
#include "InstallerRunner.h"
#include "SessionUser.h"
#include "SourceLog.h"
#include "UsbDevices.h"
#include "UserReports.h"

namespace zelvan::fennic::agent {

namespace {
constexpr const char* kWhere = "HostSources";
constexpr int kRegistered = 1;
constexpr int kUpdateCheckEnded = 4;
constexpr int kDirectoryQueries = 14;

// Each source stands alone: one that cannot start is logged and the others
// still run.
template <typename Make>
void Guarded(const char* what, Make make) {
  try {
    make();
  } catch (const std::exception& e) {
    SourceLog(5, kWhere, std::string(what) + ": " + e.what());
  }
}
}  // namespace

HostSources::HostSources(SourcesConfig config, IQLClient& client, EventLoop& loop, StoredUpdates storedUpdates)
    : config_(std::move(config)), client_(client), loop_(loop), storedUpdates_(std::move(storedUpdates)) {}

HostSources::~HostSources() = default;

void HostSources::Send(int code, const std::string& body) {
  SourceLog(2, kWhere, "Request " + std::to_string(code) + ": " + body);
  client_.SendRequest(code, body);
}

void HostSources::Start() {
  if (started_) return;
  started_ = true;
  auto send = [this](int code, const std::string& body) { Send(code, body); };
  Guarded("Session user watch", [&] {
    session_ = std::make_unique<SessionUserWatch>(loop_, config_.sessionUser, config_.utmpFile, [this](const std::string& user) {
      SourceLog(2, kWhere, "Session user changed to \"" + user + "\"");
      Send(18, "");
      if (reports_) reports_->UserChanged(user);
    });
  });
  if (!config_.usbVendorIds.empty())
    Guarded("USB devices", [&] {
      devices_ = std::make_unique<UsbDevices>(loop_, config_.usbVendorIds, send);
      devices_->Start();
    });
  if (!config_.callDurationSpool.empty())
    Guarded("Call-duration spool", [&] {
      spool_ = std::make_unique<CallDurationSpool>(loop_, config_.callDurationSpool, send);
      spool_->Start();
    });
  reports_ = std::make_unique<UserReports>(loop_, config_.softphoneListFile, config_.userDetails, send);
  reports_->Start(session_ ? session_->User() : "");
  installers_ = std::make_unique<InstallerRunner>(
      loop_, config_.packageStore, config_.installers, storedUpdates_,
      [this](const std::string&) -> std::string {
        // Without a configured device id, the first device watched stands
        // for the package's device.
        if (!devices_ || devices_->Present().empty()) return "";
        return devices_->Present().begin()->second.at("SerialNumber").as_string();
      },
      send);
}

void HostSources::OnEvent(int code, const std::string& /*text*/, const std::string& payload) {
  if (code == kRegistered) Start();
  if (code == kDirectoryQueries)
    Send(15, AnswerQueries(payload, session_ ? session_->User() : FindSessionUser(config_.sessionUser, config_.utmpFile)));
  else if (code == kUpdateCheckEnded && installers_)
    installers_->Scan();
}

bool HostSources::Settle(std::chrono::milliseconds bound) {
  return !installers_ || installers_->Drain(EventLoop::Clock::now() + bound);
}

std::unique_ptr<HostSources> PlugHostSources(AgentHost& host) {
  auto sources = std::make_unique<HostSources>(host.Config().sources, host.Client(), host.Loop(), [] {
    const auto container = IOCCManager::GetIOCContainer();
    const auto configuration = container ? container->resolve<IConfigurationManager>() : nullptr;
    return configuration ? configuration->ReadJsonFile("Update.dat") : web::json::value::null();
  });
  HostSources* raw = sources.get();
  host.AddStartHook([raw, &host] {
    if (!host.Executor().GetToken().empty()) raw->Start();
  });
  host.AddEventHandler([raw](int code, const std::string& text, const std::string& payload) {
    raw->OnEvent(code, text, payload);
  });
  return sources;
}

}  // namespace zelvan::fennic::agent
