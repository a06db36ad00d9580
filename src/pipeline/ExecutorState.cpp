// The executor's shared machinery: the accessors of the state that host
// threads read, events, logging, the transport call and the retry wait.
#include <atomic>

#include "CRestExecutor.h"
#include "StringUtil.h"

using namespace zelvan::fennic;

namespace {
// Nothing runs without the tenant's address and identifier.
bool TenantKnown(const std::map<std::string, std::string>& details) {
  const auto url = details.find("URL");
  const auto id = details.find("TenantID");
  return url != details.end() && !url->second.empty() && id != details.end() && !id->second.empty();
}
}  // namespace

bool CRestExecutor::WaitFor(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> hold(stopMutex_);
  return !stopCondition_.wait_for(hold, wait, [this] { return !running_.load(); });
}

void CRestExecutor::RaiseEvent(int code, const std::string& text, const char* payload) {
  if (IRestEventListener* listener = listener_.load()) listener->OnRestEvent(code, text, payload ? payload : "");
}

void CRestExecutor::Log(int level, const std::string& where, const std::string& text) {
  if (logger_) logger_->Log(level, where, text);
}

std::wstring CRestExecutor::Token() {
  std::lock_guard<std::mutex> hold(stateLock_);
  return token_;
}

void CRestExecutor::SetToken(const std::wstring& token) {
  std::lock_guard<std::mutex> hold(stateLock_);
  token_ = token;
}

std::string CRestExecutor::TenantValue(const std::string& key) {
  std::lock_guard<std::mutex> hold(stateLock_);
  return tenantDetails_[key];
}

void CRestExecutor::SetTenantValue(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> hold(stateLock_);
  tenantDetails_[key] = value;
  tenantKnown_ = TenantKnown(tenantDetails_);
}

std::map<std::string, std::string> CRestExecutor::TenantSnapshot() {
  std::lock_guard<std::mutex> hold(stateLock_);
  return tenantDetails_;
}

void CRestExecutor::ReplaceTenantDetails(const std::map<std::string, std::string>& details) {
  std::lock_guard<std::mutex> hold(stateLock_);
  tenantDetails_ = details;
  tenantKnown_ = TenantKnown(tenantDetails_);
}

void CRestExecutor::SetLastSeenOfServer(const std::string& stamp) {
  std::lock_guard<std::mutex> hold(stateLock_);
  lastSeenOfServer_ = stamp;
}

void CRestExecutor::MarkServerSeen() { SetLastSeenOfServer(StringUtil::setLastSeenOfServer()); }

std::wstring CRestExecutor::DeviceInfoUrl() {
  std::lock_guard<std::mutex> hold(stateLock_);
  return deviceInfoUrl_;
}

void CRestExecutor::SetDeviceInfoUrl(const std::wstring& url) {
  std::lock_guard<std::mutex> hold(stateLock_);
  deviceInfoUrl_ = url;
}
