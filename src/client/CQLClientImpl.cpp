#include "CQLClientImpl.h"

#include <cpprest/json.h>

#include <stdexcept>
#include <system_error>

#include "IAgentUtils.h"
#include "QueueGate.h"
#include "RestRequestType.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {
// Client request code -> request type. Codes 5 and 16 are handled at once
// and never queued; any other code is not a request.
const std::map<int, int>& RequestTypeTable() {
  static const std::map<int, int> table{
      {0, AGENT_REGISTRATION_REQ}, {1, HEART_BEAT_REQ},       {2, DEVICE_PLUGIN_REQ},
      {3, DEVICE_UNPLUG_REQ},      {4, DEVICE_SYNC_REQ},      {6, GET_UPDATES_REQ},
      {7, USER_DETAILS_REQ},       {8, DEVICE_UPDATE_STATUS_REQ}, {9, CLIENT_FORWARD_REQ},
      {10, AD_UPDATES_REQ},        {11, CC_CONFIG_REQ},       {12, SOFTPHONE_DETAILS_REQ},
      {13, GET_ALL_UPDATES_REQ},   {14, CALL_DURATION_REQ},   {15, IN_GROUP_RESULT_REQ},
      {17, TRANSPORT_COMMAND_REQ}, {18, USER_SESSION_TERMINATED_REQ}, {19, TRANSPORT_QUERY_REQ},
  };
  return table;
}

// std::stoi with the texts the host is promised, whichever library runs.
int ReadClientState(const std::string& text) {
  try {
    return std::stoi(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stoi argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stoi argument out of range");
  }
}
}  // namespace

CQLClientImpl::CQLClientImpl(std::shared_ptr<IRestExecutor> executor, std::shared_ptr<IRestClient> restClient,
                             std::shared_ptr<IConfigurationManager> configuration)
    : logger_(IAgentUtils::getLogManager()),
      executor_(std::move(executor)),
      restClient_(std::move(restClient)),
      configuration_(std::move(configuration)),
      requestTypeOf_(RequestTypeTable()) {}

void CQLClientImpl::Log(int level, const std::string& where, const std::string& text) {
  if (logger_) logger_->Log(level, where, text);
}

std::shared_ptr<IRestExecutor> CQLClientImpl::Executor() {
  std::lock_guard<std::mutex> hold(executorLock_);
  return executor_;
}

bool CQLClientImpl::SetEventListener(IRestEventListener* listener) {
  auto executor = Executor();
  return executor && executor->SetEventListener(listener);
}

void CQLClientImpl::Shutdown() {
  std::shared_ptr<IRestExecutor> executor;
  {
    std::lock_guard<std::mutex> hold(executorLock_);
    executor.swap(executor_);
  }
  if (executor) executor->Shutdown();
}

int CQLClientImpl::SendRequest(int code, const std::string& data) {
  static const std::string kWhere = "CQLClientImpl::SendRequest";
  Log(2, kWhere, "RestCallType : " + std::to_string(code));
  auto executor = Executor();
  if (!executor) {
    Log(3, kWhere, "Not queued: the executor is shut down");
    return 1;
  }
  const std::string body = code == 0 ? SendAgentRegMsg() : data;
  if (code == 5) {
    executor->ConstructDownloads(body, 1);
    return 1;
  }
  if (code == 16) {
    executor->SetClientState(ReadClientState(body));
    return 1;
  }
  auto it = requestTypeOf_.find(code);
  if (it == requestTypeOf_.end()) return 1;
  RestMessage message;
  message.setType(it->second);
  if (!body.empty()) message.setData(body.data(), body.size());
  // The token and once-only rules are the worker's business, not the facade's.
  if (!QueueGate::Push(message)) {
    Log(3, kWhere, "Not queued: the executor is shut down");
    return 1;
  }
  return executor->GetToken().empty() ? 2 : 0;
}

std::string CQLClientImpl::GetLastSeenOfServer() {
  auto executor = Executor();
  return executor ? executor->GetLastSeenOfServer() : std::string();
}

void CQLClientImpl::StopWorker() {
  if (auto executor = Executor()) executor->StopWorker();
}

void CQLClientImpl::LoadTenantConfiguration() {
  if (auto executor = Executor()) executor->LoadTenantConfiguration();
}

bool CQLClientImpl::IsRequestFailed(const std::wstring& requestName) {
  auto executor = Executor();
  return executor && executor->IsRequestFailed(requestName);
}

void CQLClientImpl::RearmFailureAlert(int value) {
  if (auto executor = Executor()) executor->RearmFailureAlert(value);
}

std::wstring CQLClientImpl::QueryTransportValue(int argument) {
  return restClient_ ? restClient_->GetTransportValue(argument) : std::wstring();
}

std::string CQLClientImpl::SendAgentRegMsg() {
  const std::string where = "CQLClientImpl::SendAgentRegMsg";
  Log(2, where, "Inside SendAgentRegMsg");
  try {
    const std::map<std::string, std::string> tenant = configuration_->GetTenantDetails();
    auto id = tenant.find("TenantID");
    web::json::value body = web::json::value::object();
    body["TenantID"] = web::json::value::string(id == tenant.end() ? std::string() : id->second);
    body["AgentDetails"] = configuration_->GetRegistrationAgentDetails();
    body["MachineDetails"] = configuration_->GetMachineDetails();
    body["UserDetails"] = configuration_->GetUserDetails();
    return body.serialize();
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::system_error& e) {
    Log(2, where, e.what());
  } catch (const std::exception& e) {
    // A store that fails (a full disk, say) must not reach the host: the
    // registration still goes out, and its refusal reaches the host as event 0.
    Log(3, where, std::string("Registration details not read: ") + e.what());
  }
  return std::string();
}
