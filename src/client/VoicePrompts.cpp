#include <cpprest/http_msg.h>
#include <cpprest/json.h>

#include <cstdio>
#include <system_error>

#include "CQLClientImpl.h"
#include "PlainFileName.h"
#include "RestRequestType.h"
#include "StringUtil.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {
// The file name a server address leaves after its last "/". A name that
// could leave the download folder is refused (empty result).
std::string SafeFileName(const std::string& address) {
  const auto slash = address.find_last_of('/');
  std::string name = slash == std::string::npos ? address : address.substr(slash + 1);
  return IsPlainFileName(name) ? name : std::string();
}
}  // namespace

std::string CQLClientImpl::RequestVoicePromptVersion(const std::wstring& requiredVP, const std::string& deviceName,
                                                     const std::string& deviceVersion) {
  const std::string where = "CQLClientImpl::RequestVoicePromptVersion";
  try {
    web::json::value request = web::json::value::object();
    request["DeviceName"] =
        web::json::value::string(StringUtil::changeHSNametoUSBuserfriendlyname(deviceName, " ", '_'));
    request["DeviceVersion"] = web::json::value::string(deviceVersion);
    request["RequiredVP"] = web::json::value::string(ToUtf8(requiredVP));
    const std::string answer = restClient_->ExecuteRequest(VOICE_PROMPT_VERSION_REQ, request.serialize());
    if (answer.empty()) {
      Log(2, where, "Response is empty");
      return std::string();
    }
    const web::json::value parsed = web::json::value::parse(answer);
    if (!parsed.at("validateResponse").as_bool()) {
      Log(2, where, "Invalid Response");
      return std::string();
    }
    return parsed.at("VPVersion").as_string();
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const web::http::http_exception& e) {
    Log(5, where, e.what());
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
  }
  return std::string();
}

void CQLClientImpl::DownloadVPfile(const std::string& address) {
  const std::string where = "CQLClientImpl::DownloadVPfile";
  try {
    if (configuration_->GetDeviceInfoUrl().empty()) {
      Log(3, where, "deviceInfoUrl is null, so not attempting to download the file");
      return;
    }
    web::json::value body = web::json::value::object();
    body["DownloadUrl"] = web::json::value::string(address);
    const std::string name = SafeFileName(address);
    if (name.empty()) {
      Log(3, where, "Refused unsafe file name in address : " + address);
      return;
    }
    // The folder and the name are joined with the platform's separator.
    const std::string path = configuration_->GetLocalFirmwareServerFolder() + "/" + name;
    Log(2, where, "Download file : " + path);
    const std::string answer = restClient_->ExecuteRequest(DOWNLOAD_FILES, body.serialize());
    std::wstring reason;
    web::json::value noSource = web::json::value::null();
    std::wstring noProduct;
    if (!restClient_->DownloadFile(answer, ToWide(path), reason, noSource, noProduct)) {
      Log(3, where, "Unable to Download file : " + address);
      return;
    }
    if (std::remove(path.c_str()) == 0)
      Log(2, where, path + " Removed Successfully");
    else
      Log(2, where, path + " failed to removed Successfully");
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
  }
}
