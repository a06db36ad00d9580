// What a download needs before its transfer: a usable details answer and
// room for the package in the download folder.
#include <algorithm>

#include "IAgentUtils.h"
#include "UpdatesDownload.h"

using namespace zelvan::fennic;

bool UpdatesDownload::CheckPermissionAndSpace(const std::wstring& type) { return SpaceFault(type, 0, 0).empty(); }

// Why the file cannot be written: no permission, or less free space than
// the type's floor or the announced size (and a megabyte to spare). With an
// update id, a lack of space is remembered until the free space grows.
std::string UpdatesDownload::SpaceFault(const std::wstring& type, std::uint64_t size, int id) {
  const std::string where = "UpdatesDownload::CheckPermissionAndSpace";
  const std::string folder = configuration_->GetLocalFirmwareServerFolder();
  std::shared_ptr<IFileManager> files = IAgentUtils::getFileManager();
  if (!files || !files->HasWritePermission(folder)) {
    Log(5, where, "Dont have read/write permission to LocalFirmwareServer folder!");
    return "no permission to write to the download folder";
  }
  const uint32_t free = files->GetFreeDiskSpaceMB(folder);
  const std::uint64_t floor = type == L"Firmware" ? 100 : type == L"Software" ? 500 : 0;
  constexpr std::uint64_t kMiB = 1024 * 1024;
  const std::uint64_t needed = std::max(floor, size == 0 ? 0 : (size + kMiB - 1) / kMiB + 1);
  if (free >= needed) return "";
  Log(5, where, "Available disk space is low " + std::to_string(free) + "MB, cannot download update file!");
  if (id != 0) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    lowSpace_[id] = free;
  }
  return "low disk space: " + std::to_string(free) + " MB free, " + std::to_string(needed) + " MB needed";
}

// The "StatusCode" and announced "FileSize" of a download-details answer,
// with why it is unusable. An answer that is not JSON or has no integer
// status fails its entry like any refused download, so the entry is
// acknowledged once and the list still drains.
UpdatesDownload::Details UpdatesDownload::ReadDetails(const std::string& answer) {
  Details details;
  if (answer.empty()) {  // the handler has said so
    details.fault = "download details answer is empty";
    return details;
  }
  try {
    const web::json::value parsed = web::json::value::parse(answer);
    if (parsed.has_field("FileSize") && parsed.at("FileSize").is_integer() && parsed.at("FileSize").as_number().is_uint64())
      details.size = parsed.at("FileSize").as_number().to_uint64();
    if (parsed.has_field("StatusCode") && parsed.at("StatusCode").is_integer() &&
        parsed.at("StatusCode").as_number().is_int32()) {
      details.status = parsed.at("StatusCode").as_integer();
      if (details.status != 200) details.fault = "download details answered StatusCode " + std::to_string(details.status);
      return details;
    }
    details.fault = "download details answer has no integer \"StatusCode\"";
    Log(3, "UpdatesDownload::ProcessDownloadFile", "Download details answer has no integer \"StatusCode\"");
  } catch (const web::json::json_exception& e) {
    details.fault = "download details answer is not JSON";
    Log(3, "UpdatesDownload::ProcessDownloadFile", std::string("Download details answer is not JSON: ") + e.what());
  }
  return details;
}
