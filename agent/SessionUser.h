#pragma once

#include <functional>
#include <string>

#include "EventLoop.h"

struct sd_login_monitor;

namespace zelvan::fennic::agent {

// The user the host answers directory queries for: the configured one, or
// else the owner of the active graphical login session (logind first, utmp
// when logind knows none). Empty when no user can be found.
std::string FindSessionUser(const std::string& configured);

// Watches logind's session list on the loop and reports the session user
// whenever it changes. Without logind nothing is watched.
class SessionUserWatch {
 public:
  using Changed = std::function<void(const std::string& user)>;
  SessionUserWatch(EventLoop& loop, std::string configured, Changed changed);
  ~SessionUserWatch();
  SessionUserWatch(const SessionUserWatch&) = delete;
  SessionUserWatch& operator=(const SessionUserWatch&) = delete;

  const std::string& User() const { return user_; }

 private:
  void Recheck();

  EventLoop& loop_;
  const std::string configured_;
  Changed changed_;
  std::string user_;
  ::sd_login_monitor* monitor_ = nullptr;
  int fd_ = -1;
};

}  // namespace zelvan::fennic::agent
