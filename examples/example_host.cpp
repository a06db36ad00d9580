// A minimal host: installs a console logger, an in-memory configuration
// store and a transport that answers like a friendly server, then pushes a
// registration, a heart beat and a forwarded request through the library.
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include <fennic/CQLClientImplFactory.h>
#include <fennic/RestExecutorFactory.h>
#include <fennic/outside/IAgentUtils.h>
#include <fennic/outside/IConfigurationManager.h>
#include <fennic/outside/IOCCManager.h>
#include <fennic/outside/IRestClient.h>
#include <fennic/outside/ITenantConfig.h>

using namespace zelvan::fennic;

namespace {

class ConsoleLogger : public ILogManager {
 public:
  void Log(int level, const std::string& where, const std::string& text) override {
    if (level >= 2) std::cout << "  log " << level << " " << where << ": " << text << "\n";
  }
};

const char* kOk = R"("validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,"ErrorMessage":"")";

class FriendlyTransport : public IRestClient {
 public:
  void SetToken(const std::wstring&) override {}
  void SetTenantEndpoint(const std::wstring&, const std::wstring&) override {}
  std::string ExecuteRequest(int type, std::string_view) override {
    std::cout << "  transport: request type " << type << "\n";
    if (type == 2) return std::string("{") + kOk + R"(,"Token":"example-token","DeviceInfoURL":"https://example.invalid/info","ResponseBody":{"TenantName":"Example"}})";
    if (type == 3) return std::string("{") + kOk + R"(,"ResponseBody":{"HasUpdates":false,"HasCancelUpdates":false,"HasADQuery":false}})";
    return std::string("{") + kOk + "}";
  }
  bool DownloadFile(const std::string&, const std::wstring&, std::wstring&, web::json::value&, std::wstring&) override {
    return false;
  }
  void RunTransportCommand() override {}
  void SetTransportOption(int) override {}
  std::wstring GetTransportValue(int) override { return L""; }
};

class MemoryStore : public IConfigurationManager {
 public:
  WideRecord GetUserRecord(int&) override { return WideRecord(8); }
  WideRecord GetMachineRecord() override { return WideRecord(11); }
  WideRecord GetAgentIdentity() override { return {L"example-agent", L"1.0", L"example"}; }
  std::wstring GetMachineDataValue(const std::wstring&) override { return L""; }
  std::wstring LoadToken() override { return token; }
  void SaveToken(const std::wstring& t) override { token = t; }
  web::json::value GetUserDetails() override { return web::json::value::object(); }
  web::json::value GetMachineDetails() override { return web::json::value::object(); }
  web::json::value GetAgentDetails() override { return web::json::value::object(); }
  web::json::value GetRegistrationAgentDetails() override { return web::json::value::object(); }
  void SetAgentIdentity(const WideRecord&) override {}
  std::string GetLocalFirmwareServerFolder() override { return "/tmp"; }
  void WriteDataFile(const std::string&, const std::string& path, std::shared_ptr<IFileManager>) override {
    std::cout << "  store: wrote " << path << "\n";
  }
  std::string GetDataFolder() override { return "/tmp/example-"; }
  std::vector<std::wstring> GetSupportedProducts() override { return {}; }
  void SaveDeviceInfoUrl(const std::wstring&) override {}
  std::wstring GetDeviceInfoUrl() override { return L""; }
  web::json::value ReadJsonFile(const std::string&) override { return web::json::value::array(); }
  void WriteJsonFile(web::json::value, const std::string&) override {}
  void TenantDetailsChanged() override {}
  std::vector<web::json::value> GetVoicePromptDownloads(web::json::value&) override { return {}; }
  web::json::value ReadSilentUpdates(int) override { return web::json::value::array(); }
  void WriteSilentUpdates(web::json::value, int) override {}
  std::map<std::string, std::string> GetTenantDetails() override {
    return {{"URL", "https://example.invalid"}, {"TenantID", "example-tenant"}};
  }
  bool IsSoftwareDownloadEnabled() override { return false; }
  std::wstring ResolveUpdateUrl(web::json::value, const std::string&, const std::string&) override { return L""; }
  bool ApplyDeviceConfiguration(web::json::value&, const std::wstring&) override { return true; }
  std::wstring token;
};

class NoReload : public ITenantConfig {
 public:
  void ReloadTenantConfig() override {}
};

class PrintingListener : public IRestEventListener {
 public:
  void OnRestEvent(int code, const std::string& text, const char*) override {
    std::cout << "event " << code << (text.empty() ? "" : " (" + text + ")") << "\n";
    std::lock_guard<std::mutex> hold(lock);
    last = code;
    changed.notify_all();
  }
  bool WaitFor(int code) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(10), [&] { return last == code; });
  }
  std::mutex lock;
  std::condition_variable changed;
  int last = -1;
};

}  // namespace

int main() {
  IAgentUtils::setLogManager(std::make_shared<ConsoleLogger>());
  auto builder = std::make_shared<ioc::ContainerBuilder>();
  builder->registerInstance<IRestClient>(std::make_shared<FriendlyTransport>());
  builder->registerInstance<IConfigurationManager>(std::make_shared<MemoryStore>());
  builder->registerInstance<ITenantConfig>(std::make_shared<NoReload>());
  IOCCManager::SetIOCBuilder(builder);

  std::shared_ptr<IQLClient> client = CQLClientImplFactory::getQLClient();
  if (!client) {
    std::cerr << "example: the library could not be loaded\n";
    return 1;
  }
  PrintingListener listener;
  client->SetEventListener(&listener);
  client->LoadTenantConfiguration();
  std::cout << "SendRequest(0) -> " << client->SendRequest(0, "") << "\n";
  const bool registered = listener.WaitFor(3);
  std::cout << "SendRequest(1) -> " << client->SendRequest(1, "") << "\n";
  const bool heartBeat = listener.WaitFor(5);
  client->Shutdown();
  std::cout << (registered && heartBeat ? "example: done\n" : "example: failed\n");
  return registered && heartBeat ? 0 : 1;
}
