#include "FileTenantConfig.h"

namespace zelvan::fennic::services {

FileTenantConfig::FileTenantConfig(std::shared_ptr<IConfigurationManager> configuration,
                                   std::shared_ptr<ILogManager> logger)
    : configuration_(std::move(configuration)), logger_(std::move(logger)) {}

void FileTenantConfig::ReloadTenantConfig() {
  std::map<std::string, web::json::value> fresh;
  const web::json::value list = configuration_->ReadJsonFile("Config.dat");
  if (list.is_array())
    for (const auto& entry : list.as_array())
      if (entry.has_string_field("IProduct") && entry.has_field("configSettings"))
        fresh[entry.at("IProduct").as_string()] = entry.at("configSettings");
  const std::size_t count = fresh.size();
  {
    std::lock_guard<std::mutex> guard(lock_);
    settings_.swap(fresh);
  }
  if (logger_)
    logger_->Log(2, "FileTenantConfig::ReloadTenantConfig",
                 "Deployed configurations reloaded for products: " + std::to_string(count));
}

std::map<std::string, web::json::value> FileTenantConfig::SettingsByProduct() const {
  std::lock_guard<std::mutex> guard(lock_);
  return settings_;
}

}  // namespace zelvan::fennic::services
