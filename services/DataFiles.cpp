#include "FileConfigurationManager.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "AesGcmCipher.h"
#include "AgentException.h"
#include "AtomicFile.h"
#include "LocalStateError.h"
#include "PlainFileName.h"

// How the configuration manager keeps its files in the data folder: plain
// names only, atomic writes, sealed files through the cipher, unreadable
// files set aside, and temporaries of killed writers swept.
namespace zelvan::fennic::services {

namespace {

using web::json::value;

bool UsableEntry(const value& entry, const char* idKey) {
  return entry.is_object() && (!idKey || (entry.has_field(idKey) && entry.at(idKey).is_integer()));
}

// Drops the entries a reader cannot use (not an object; with `idKey`, without
// an integer there), so one bad entry never costs the others; how many.
std::size_t DropUnusable(value& list, const char* idKey) {
  std::vector<value> kept;
  for (auto& entry : list.as_array())
    if (UsableEntry(entry, idKey)) kept.push_back(std::move(entry));
  const std::size_t dropped = list.size() - kept.size();
  list = value::array(std::move(kept));
  return dropped;
}

// The shape the readers of a stored list rely on; an empty text when `name`
// is not a list or `document` fits. JSON null is a list never written.
// Entries that do not fit are dropped; `dropped` says how many.
std::string ShapeFault(const std::string& name, value& document, std::size_t& dropped) {
  const bool updateList = name == "Update.dat" || name == "Config.dat" ||
                          name == FileConfigurationManager::kSilentFile;
  dropped = 0;
  if (document.is_null()) return "";
  if (updateList || name == FileConfigurationManager::kFailedStatusFile) {
    if (!document.is_array()) return "not a list";
    dropped = DropUnusable(document, updateList ? "UpdateSchedulerId" : nullptr);
  } else if (name == "FailedConfig.dat") {
    if (!document.has_array_field("FailedRequest")) return "no FailedRequest list";
    dropped = DropUnusable(document.at("FailedRequest"), nullptr);
  }
  return "";
}

// "NAME.tmp.PID.N" as AtomicFile names its temporaries: the writer's pid, or
// 0 for any other name.
pid_t TemporaryWriter(const std::string& name) {
  const auto mark = name.rfind(".tmp.");
  if (mark == std::string::npos) return 0;
  const std::string rest = name.substr(mark + 5);
  const auto dot = rest.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == rest.size()) return 0;
  if (rest.find_first_not_of("0123456789.") != std::string::npos || rest.find('.', dot + 1) != std::string::npos)
    return 0;
  return static_cast<pid_t>(std::strtol(rest.substr(0, dot).c_str(), nullptr, 10));
}

}  // namespace

// A writer killed between creating its temporary and the rename leaves the
// temporary for good; one whose process is gone is removed here. A living
// writer's (another process on the same folder) is left alone.
void FileConfigurationManager::SweepTemporaries() {
  DIR* folder = ::opendir(folder_.c_str());
  if (!folder) return;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    const pid_t writer = TemporaryWriter(name);
    if (writer <= 0 || writer == ::getpid() || ::kill(writer, 0) == 0 || errno != ESRCH) continue;
    if (::unlinkat(::dirfd(folder), name.c_str(), 0) == 0)
      Log(2, "SweepTemporaries", "Removed temporary file left by a stopped writer: " + folder_ + name);
    else
      Log(3, "SweepTemporaries", "Cannot remove temporary file " + folder_ + name + ": " +
                                     std::generic_category().message(errno));
  }
  ::closedir(folder);
}

// The key is checked once, at start: a key problem stops the agent here
// instead of making every sealed file look corrupt later. A fresh key is made
// only while no sealed file exists, since a new key could not open them.
void FileConfigurationManager::OpenKey() {
  auto* keyed = dynamic_cast<AesGcmCipher*>(cipher_.get());
  if (!keyed) return;
  bool sealedDataExists = false;
  for (const char* name : {kTenantFile, kMachineFile, kTokenFile}) {
    struct stat info {};
    sealedDataExists = sealedDataExists || ::lstat(PathOf(name).c_str(), &info) == 0;
  }
  keyed->OpenKey(!sealedDataExists);
}

std::string FileConfigurationManager::PathOf(const std::string& name) const {
  if (!IsPlainFileName(name)) throw AgentException("Data file name refused: " + name);
  return folder_ + name;
}

void FileConfigurationManager::MoveAsideLocked(const std::string& name, const std::string& reason) {
  const std::string path = PathOf(name);
  const std::string aside = path + ".corrupt";
  if (std::rename(path.c_str(), aside.c_str()) == 0)
    Log(3, "ReadDataFile", "Corrupt data file " + path + " moved aside to " + aside + ": " + reason);
  else
    Log(5, "ReadDataFile", "Corrupt data file " + path + " could not be moved aside: " + reason);
}

// A link where a data file belongs is removed, not kept: a kept link would
// still point outside the folder.
void FileConfigurationManager::RemoveLinkLocked(const std::string& name) {
  const std::string path = PathOf(name);
  if (::unlink(path.c_str()) == 0)
    Log(3, "ReadDataFile", "Data file " + path + " was a symbolic link, never followed; removed");
  else
    Log(5, "ReadDataFile", "Data file " + path + " is a symbolic link and could not be removed");
}

std::optional<std::string> FileConfigurationManager::ReadBytesLocked(const std::string& name) {
  try {
    return AtomicFile::Read(PathOf(name));
  } catch (const std::system_error& e) {
    if (e.code().value() == ELOOP) RemoveLinkLocked(name);
    else Log(5, "ReadDataFile", e.what());
  }
  return std::nullopt;
}

web::json::value FileConfigurationManager::ReadPlainLocked(const std::string& name) {
  const std::optional<std::string> text = ReadBytesLocked(name);
  if (!text) return value::null();
  std::error_code error;
  value document = value::parse(*text, error);
  if (error) {
    MoveAsideLocked(name, "not JSON (" + error.message() + ")");
    return value::null();
  }
  // A list of the wrong shape would fail every later update answer; set
  // aside, it reads as empty and the next full list rebuilds it.
  std::size_t dropped = 0;
  const std::string fault = ShapeFault(name, document, dropped);
  if (!fault.empty()) {
    MoveAsideLocked(name, fault);
    return value::null();
  }
  if (dropped > 0)
    Log(3, "ReadDataFile", "Skipped " + std::to_string(dropped) + " unreadable entr" + (dropped == 1 ? "y" : "ies") +
                               " of " + PathOf(name) + " (not an object, or without an integer id)");
  return document;
}

web::json::value FileConfigurationManager::ReadSealedLocked(const std::string& name) {
  const std::optional<std::string> sealed = ReadBytesLocked(name);
  if (!sealed) return value::null();
  std::string plain;
  try {
    plain = cipher_->Decrypt(*sealed);
  } catch (const LocalStateError&) {
    throw;  // the key is at fault, not this file
  } catch (const std::exception& e) {
    MoveAsideLocked(name, e.what());
    return value::null();
  }
  std::error_code error;
  value document = value::parse(plain, error);
  if (error) {
    MoveAsideLocked(name, "not JSON (" + error.message() + ")");
    return value::null();
  }
  return document;
}

void FileConfigurationManager::WritePlainLocked(const web::json::value& document, const std::string& name) {
  WriteFile(PathOf(name), document.serialize());
}

void FileConfigurationManager::WriteSealedLocked(const web::json::value& document, const std::string& name) {
  WriteFile(PathOf(name), cipher_->Encrypt(document.serialize()));
}

void FileConfigurationManager::WriteFile(const std::string& path, const std::string& data) {
  try {
    AtomicFile::Write(path, data, 0600);
  } catch (const std::system_error& e) {
    throw AgentException(std::string("Data file not written: ") + e.what(), kWriteFailureCode);
  }
}

}  // namespace zelvan::fennic::services
