#pragma once

#include <functional>
#include <string>

#include "EventLoop.h"

struct sd_login_monitor;

namespace zelvan::fennic::agent {

// The user the host answers directory queries for: the configured one, or
// else the owner of the active graphical login session (logind first, the
// login records in `utmpFile` when logind knows none). Empty when no user
// can be found.
std::string FindSessionUser(const std::string& configured, const std::string& utmpFile);

// Watches logind's session list and the login records on the loop and
// reports the session user whenever it changes. A configured user is never
// watched.
class SessionUserWatch {
 public:
  using Changed = std::function<void(const std::string& user)>;
  SessionUserWatch(EventLoop& loop, std::string configured, std::string utmpFile, Changed changed);
  ~SessionUserWatch();
  SessionUserWatch(const SessionUserWatch&) = delete;
  SessionUserWatch& operator=(const SessionUserWatch&) = delete;

  const std::string& User() const { return user_; }

 private:
  void Recheck();

  EventLoop& loop_;
  const std::string configured_;
  const std::string utmpFile_;
  Changed changed_;
  std::string user_;
  ::sd_login_monitor* monitor_ = nullptr;
  int fd_ = -1;
  int records_ = -1;  // inotify on the login records
};

}  // namespace zelvan::fennic::agent
