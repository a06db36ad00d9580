#include <fennic/CommonUtils.h>

#include <cpprest/json.h>

#include <exception>

#include "IAgentUtils.h"

namespace zelvan::fennic {

std::string CommonUtils::TenantDetailsMaptoJsonstring(std::map<std::string, std::string>& details) {
  try {
    web::json::value summary = web::json::value::object(true);
    summary["TenantID"] = web::json::value::string(utility::conversions::to_string_t(details["TenantID"]));
    summary["TenantName"] = web::json::value::string(utility::conversions::to_string_t(details["TenantName"]));
    summary["TenantURL"] = web::json::value::string(utility::conversions::to_string_t(details["URL"]));
    summary["TenantSetting"] = web::json::value::string(utility::conversions::to_string_t(details["CollectData"]));
    return utility::conversions::to_utf8string(summary.serialize());
  } catch (const web::json::json_exception& e) {
    if (auto logger = IAgentUtils::getLogManager())
      logger->Log(5, "zelvan::fennic::CommonUtils::TenantDetailsMaptoJsonstring", e.what());
  } catch (const std::bad_exception& e) {
    if (auto logger = IAgentUtils::getLogManager())
      logger->Log(5, "zelvan::fennic::CommonUtils::TenantDetailsMaptoJsonstring", e.what());
  }
  return std::string();
}

}  // namespace zelvan::fennic
