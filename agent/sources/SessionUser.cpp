#include "SessionUser.h"

#include <pwd.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <systemd/sd-login.h>
#include <utmpx.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace zelvan::fennic::agent {

namespace {

std::string NameOfUid(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return "";
  return found->pw_name;
}

bool Graphical(const char* type) {
  return type != nullptr && (std::strcmp(type, "x11") == 0 || std::strcmp(type, "wayland") == 0 ||
                             std::strcmp(type, "mir") == 0);
}

std::string FromLogind() {
  char** sessions = nullptr;
  const int n = ::sd_get_sessions(&sessions);
  std::string user;
  for (int i = 0; i < n; ++i) {
    char* type = nullptr;
    uid_t uid = 0;
    if (user.empty() && ::sd_session_is_active(sessions[i]) > 0 && ::sd_session_get_type(sessions[i], &type) >= 0 &&
        Graphical(type) && ::sd_session_get_uid(sessions[i], &uid) >= 0)
      user = NameOfUid(uid);
    std::free(type);
    std::free(sessions[i]);
  }
  std::free(sessions);
  return user;
}

// A login on an X display (line ":0") is the graphical one; any other user
// process is taken only when no display login exists.
std::string FromUtmp(const std::string& file) {
  std::string display, other;
  if (::utmpxname(file.c_str()) != 0) return "";
  ::setutxent();
  while (const utmpx* entry = ::getutxent()) {
    if (entry->ut_type != USER_PROCESS) continue;
    const std::string name(entry->ut_user, strnlen(entry->ut_user, sizeof(entry->ut_user)));
    if (name.empty()) continue;
    if (display.empty() && (entry->ut_line[0] == ':' || entry->ut_host[0] == ':')) display = name;
    if (other.empty()) other = name;
  }
  ::endutxent();
  return display.empty() ? other : display;
}

}  // namespace

std::string FindSessionUser(const std::string& configured, const std::string& utmpFile) {
  if (!configured.empty()) return configured;
  const std::string user = FromLogind();
  return user.empty() ? FromUtmp(utmpFile) : user;
}

SessionUserWatch::SessionUserWatch(EventLoop& loop, std::string configured, std::string utmpFile, Changed changed)
    : loop_(loop), configured_(std::move(configured)), utmpFile_(std::move(utmpFile)), changed_(std::move(changed)) {
  user_ = FindSessionUser(configured_, utmpFile_);
  if (!configured_.empty()) return;
  if (::sd_login_monitor_new("session", &monitor_) >= 0) {
    fd_ = ::sd_login_monitor_get_fd(monitor_);
    if (fd_ >= 0) loop_.Watch(fd_, [this] { Recheck(); });
  }
  // Without logind, logins and logouts show only in the records.
  records_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (records_ >= 0 && ::inotify_add_watch(records_, utmpFile_.c_str(), IN_MODIFY | IN_CLOSE_WRITE) >= 0) {
    loop_.Watch(records_, [this] {
      alignas(inotify_event) char buffer[4096];
      while (::read(records_, buffer, sizeof buffer) > 0) {
      }
      Recheck();
    });
  } else if (records_ >= 0) {
    ::close(records_);
    records_ = -1;
  }
}

SessionUserWatch::~SessionUserWatch() {
  if (fd_ >= 0) loop_.Unwatch(fd_);
  if (monitor_) ::sd_login_monitor_unref(monitor_);
  if (records_ >= 0) {
    loop_.Unwatch(records_);
    ::close(records_);
  }
}

void SessionUserWatch::Recheck() {
  if (monitor_) ::sd_login_monitor_flush(monitor_);
  const std::string now = FindSessionUser(configured_, utmpFile_);
  if (now == user_) return;
  user_ = now;
  changed_(user_);
}

}  // namespace zelvan::fennic::agent
