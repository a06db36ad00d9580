#include "AgentException.h"
#include "CRestExecutor.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

void CRestExecutor::LoadTenantConfiguration() {
  const std::wstring token = configuration_->LoadToken();
  SetToken(token);
  if (!token.empty()) restClient_->SetToken(token);
  const std::map<std::string, std::string> details = configuration_->GetTenantDetails();
  ReplaceTenantDetails(details);
  auto find = [&details](const char* key) {
    auto it = details.find(key);
    return it == details.end() ? std::string() : it->second;
  };
  restClient_->SetTenantEndpoint(ToWide(find("URL")), ToWide(find("TenantID")));
}
