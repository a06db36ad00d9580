#include "MachineFacts.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zelvan::fennic::services {

namespace {

std::string ReadWhole(const char* path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string FirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string MemoryMB() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || size <= 0) return "";
  return std::to_string(static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(size) /
                        (1024ULL * 1024ULL));
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string OsReleaseValue(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return "";
}

NamedValues MachineFacts() {
  std::string release = ReadWhole("/etc/os-release");
  if (release.empty()) release = ReadWhole("/usr/lib/os-release");
  struct utsname uts {};
  const bool haveUts = ::uname(&uts) == 0;
  return {
      {"HostName", HostName()},
      {"OSName", OsReleaseValue(release, "NAME")},
      {"OSVersion", OsReleaseValue(release, "VERSION_ID")},
      {"OSDescription", OsReleaseValue(release, "PRETTY_NAME")},
      {"KernelName", haveUts ? uts.sysname : ""},
      {"KernelRelease", haveUts ? uts.release : ""},
      {"Architecture", haveUts ? uts.machine : ""},
      {"MachineId", FirstLine("/etc/machine-id")},
      {"Processors", std::to_string(std::thread::hardware_concurrency())},
      {"MemoryMB", MemoryMB()},
      {"TimeZone", FirstLine("/etc/timezone")},
  };
}

NamedValues UserFacts() {
  std::string name, fullName, home, shell;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found) {
    name = found->pw_name ? found->pw_name : "";
    fullName = found->pw_gecos ? found->pw_gecos : "";
    const auto comma = fullName.find(',');
    if (comma != std::string::npos) fullName.resize(comma);
    home = found->pw_dir ? found->pw_dir : "";
    shell = found->pw_shell ? found->pw_shell : "";
  }
  if (name.empty()) name = Environment("USER");
  return {
      {"UserName", name},
      {"FullName", fullName},
      {"HomeFolder", home},
      {"Shell", shell},
      {"UserId", std::to_string(::getuid())},
      {"GroupId", std::to_string(::getgid())},
      {"HostName", HostName()},
      {"Locale", Environment("LANG")},
  };
}

std::string NewAgentId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes for an agent id");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  static const char* hex = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += hex[bytes[i] >> 4];
    id += hex[bytes[i] & 0x0f];
  }
  return id;
}

std::string Sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) return "";
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 0x0f];
  }
  return out;
}

}  // namespace zelvan::fennic::services
