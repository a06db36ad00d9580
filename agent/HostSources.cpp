#include "HostSources.h"

#include <future>

#include "CallDurationSpool.h"
#include "DirectoryGroups.h"
#include "InstallerRunner.h"
#include "SessionUser.h"
#include "SourceLog.h"
#include "UsbDevices.h"
#include "UserReports.h"

namespace zelvan::fennic::agent {

namespace {
constexpr const char* kWhere = "HostSources";
constexpr int kDirectoryQueries = 14;
constexpr int kUpdateCheckEnded = 4;
}  // namespace

HostSources::HostSources(SourcesConfig config, IQLClient& client, StoredUpdates storedUpdates, EventLoop* loop)
    : config_(std::move(config)),
      client_(client),
      storedUpdates_(std::move(storedUpdates)),
      ownLoop_(loop ? nullptr : std::make_unique<EventLoop>()),
      loop_(loop ? *loop : *ownLoop_) {}

HostSources::~HostSources() { Stop(); }

void HostSources::Send(int code, const std::string& body) {
  SourceLog(2, kWhere, "Request " + std::to_string(code) + ": " + body);
  client_.SendRequest(code, body);
}

void HostSources::SetBusy(bool busy) {
  std::lock_guard<std::mutex> hold(lock_);
  busy_ = busy;
  if (!busy_) idle_.notify_all();
}

void HostSources::Start() {
  if (started_) return;
  started_ = true;
  loop_.Post([this] { StartOnLoop(); });
  if (ownLoop_) loopThread_ = std::thread([this] { loop_.Run(); });
}

void HostSources::StartOnLoop() {
  auto send = [this](int code, const std::string& body) { Send(code, body); };
  // Each source stands alone: one that cannot start is logged and the
  // others still run.
  try {
    session_ = std::make_unique<SessionUserWatch>(loop_, config_.sessionUser, [this](const std::string& user) {
      SourceLog(2, kWhere, "Session user changed to \"" + user + "\"");
      Send(18, "");
      if (reports_) reports_->UserChanged(user);
    });
  } catch (const std::exception& e) {
    SourceLog(5, kWhere, std::string("Session user watch: ") + e.what());
  }
  if (!config_.usbVendorIds.empty()) try {
      devices_ = std::make_unique<UsbDevices>(loop_, config_.usbVendorIds, send);
      devices_->Start();
    } catch (const std::exception& e) {
      SourceLog(5, kWhere, std::string("USB devices: ") + e.what());
    }
  if (!config_.callDurationSpool.empty()) try {
      spool_ = std::make_unique<CallDurationSpool>(loop_, config_.callDurationSpool, send);
      spool_->Start();
    } catch (const std::exception& e) {
      SourceLog(5, kWhere, std::string("Call-duration spool: ") + e.what());
    }
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
  installers_->OnIdle([this] { SetBusy(false); });
}

void HostSources::OnEvent(int code, const std::string& /*text*/, const std::string& payload) {
  if (code == kDirectoryQueries) {
    if (!started_) {
      Send(15, AnswerQueries(payload, FindSessionUser(config_.sessionUser)));
      return;
    }
    loop_.Post([this, payload] { Send(15, AnswerQueries(payload, session_ ? session_->User() : "")); });
  } else if (code == kUpdateCheckEnded && started_) {
    SetBusy(true);
    loop_.Post([this] {
      if (installers_) installers_->Scan();
      if (!installers_ || installers_->Running() == 0) SetBusy(false);
    });
  }
}

bool HostSources::Settle(std::chrono::milliseconds bound) {
  if (!started_) return true;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  // Work posted before this probe has run once the probe answers.
  auto probe = std::make_shared<std::promise<void>>();
  auto done = probe->get_future();
  loop_.Post([probe] { probe->set_value(); });
  if (done.wait_until(deadline) != std::future_status::ready) return false;
  std::unique_lock<std::mutex> hold(lock_);
  return idle_.wait_until(hold, deadline, [this] { return !busy_; });
}

void HostSources::Stop() {
  if (!started_) return;
  started_ = false;
  auto release = [this] {
    installers_.reset();
    reports_.reset();
    spool_.reset();
    devices_.reset();
    session_.reset();
  };
  if (ownLoop_) {
    loop_.Post([this, release] {
      release();
      loop_.Stop();
    });
    if (loopThread_.joinable()) loopThread_.join();
  } else {
    release();
  }
}

}  // namespace zelvan::fennic::agent
