#pragma once

#include <cpprest/json.h>

#include <functional>
#include <string>

#include "EventLoop.h"

namespace zelvan::fennic::agent {

// The softphone list (client code 12) read from the configured JSON file,
// {"Softphones": [{"Name": "...", "Version": "..."}, ...]}, and the user
// details (code 7) of the session user from passwd and GECOS:
// {"UserName", "FullName", "Office", "WorkPhone", "HomePhone"} plus the
// configuration's "userDetails" members. Each is sent at start and again
// whenever its content changes (the file rewritten, the user changed,
// /etc/passwd rewritten).
class UserReports {
 public:
  using Send = std::function<void(int code, const std::string& body)>;
  UserReports(EventLoop& loop, std::string softphoneFile, web::json::value extraDetails, Send send);
  ~UserReports();
  UserReports(const UserReports&) = delete;
  UserReports& operator=(const UserReports&) = delete;

  void Start(const std::string& user);
  void UserChanged(const std::string& user);

  // The user-details body for `user`; null when the user is unknown.
  static web::json::value DetailsOf(const std::string& user, const web::json::value& extra);

 private:
  void SendSoftphones();

  EventLoop& loop_;
  const std::string file_;
  const web::json::value extra_;
  Send send_;
  int fd_ = -1;
  std::string lastSoftphones_;
  std::string lastDetails_;
  std::string user_;
};

}  // namespace zelvan::fennic::agent
