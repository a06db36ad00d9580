#pragma once

#include <cpprest/json.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "IConfigurationManager.h"
#include "ILogManager.h"
#include "ITenantConfig.h"

namespace zelvan::fennic::services {

// The deployed configuration settings per product, as "Config.dat" lists
// them. Reloaded by the library after the list changed; read by the host.
class FileTenantConfig : public ITenantConfig {
 public:
  FileTenantConfig(std::shared_ptr<IConfigurationManager> configuration, std::shared_ptr<ILogManager> logger);

  void ReloadTenantConfig() override;

  // Product identifier -> its latest "configSettings" (the later entry of
  // the list wins).
  std::map<std::string, web::json::value> SettingsByProduct() const;

 private:
  const std::shared_ptr<IConfigurationManager> configuration_;
  const std::shared_ptr<ILogManager> logger_;
  mutable std::mutex lock_;
  std::map<std::string, web::json::value> settings_;
};

}  // namespace zelvan::fennic::services
