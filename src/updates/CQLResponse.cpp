#include "CQLResponse.h"

#include "AgentException.h"
#include "IAgentUtils.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {
const char* const kFailedFile = "FailedConfig.dat";
const char* const kFailedKey = "FailedRequest";
const char* const kCcConfigEntry = "CC_CONFIG_REQUEST";
}  // namespace

CQLResponse::CQLResponse(std::shared_ptr<IConfigurationManager> configuration,
                         std::shared_ptr<ITenantConfig> tenantConfig, std::shared_ptr<IUpdatesDownload> downloader)
    : logger_(IAgentUtils::getLogManager()),
      queue_(RestMsgQueue::getInstance()),
      configuration_(std::move(configuration)),
      tenantConfig_(std::move(tenantConfig)),
      downloader_(std::move(downloader)) {
  web::json::value document = configuration_->ReadJsonFile(kFailedFile);
  if (document.is_object() && document.has_field(kFailedKey) && document.at(kFailedKey).is_array()) {
    for (const auto& entry : document.at(kFailedKey).as_array()) failedRequests_.push_back(entry);
  }
}

CQLResponse::~CQLResponse() = default;

bool CQLResponse::SetEventListener(IRestEventListener* listener) {
  return downloader_ ? downloader_->SetEventListener(listener) : listener != nullptr;
}

void CQLResponse::ReleaseQueue() {
  if (queue_.exchange(nullptr) != nullptr) RestMsgQueue::releaseInstance();
}

int CQLResponse::GetPendingDownloadCount() { return downloader_->GetPendingDownloadCount(); }

void CQLResponse::HandleDownloadResponse(const std::string& response, const std::wstring& url,
                                         const std::string& downloadKey, const std::string& origin) {
  downloader_->ProcessDownloadFile(response, BuildLocalFilePath(url), url, downloadKey, origin);
}

// The map that the downloader returns is not needed here.
void CQLResponse::ConstructDownloads(web::json::value updates, bool fromGetAllUpdates) {
  downloader_->ConstructDownloadObject(std::move(updates), fromGetAllUpdates);
}

// The folder, one backslash, and the last segment of the address. The
// downloader checks the result before anything is written under it.
std::string CQLResponse::BuildLocalFilePath(const std::wstring& url) {
  if (url.empty()) return std::string();
  const std::string text = ToUtf8(url);
  const auto slash = text.rfind('/');
  const std::string segment = slash == std::string::npos ? text : text.substr(slash + 1);
  return configuration_->GetLocalFirmwareServerFolder() + "\\" + segment;
}

void CQLResponse::UpdateFailedRequest(const bool& failed) {
  web::json::value document = web::json::value::object();
  {
    std::lock_guard<std::mutex> hold(failedLock_);
    for (auto it = failedRequests_.begin(); it != failedRequests_.end(); ++it) {
      if (it->is_object() && it->has_field(kCcConfigEntry)) {
        failedRequests_.erase(it);
        break;
      }
    }
    if (failed) {
      web::json::value entry = web::json::value::object();
      entry[kCcConfigEntry] = web::json::value::string("");
      failedRequests_.push_back(entry);
    }
    document[kFailedKey] = web::json::value::array(failedRequests_);
  }
  configuration_->WriteJsonFile(std::move(document), kFailedFile);
}

bool CQLResponse::IsRequestFailed(const std::wstring& requestName) {
  const std::string name = ToUtf8(requestName);
  std::lock_guard<std::mutex> hold(failedLock_);
  for (const auto& entry : failedRequests_)
    if (entry.is_object() && entry.has_field(name)) return true;
  return false;
}

void CQLResponse::FillTenantConfig() {
  try {
    tenantConfig_->ReloadTenantConfig();
  } catch (const AgentException& e) {
    Log(5, "CQLResponse::FillTenantConfig", e.what());
    if (e.code() == 0) PushRestMessageforUpdateSync();
  }
}

void CQLResponse::Log(int level, const std::string& where, const std::string& text) {
  if (logger_) logger_->Log(level, where, text);
}

void CQLResponse::PushMessage(const RestMessage& message) {
  if (RestMsgQueue* queue = queue_.load()) queue->pushMsg(message);
}
