#include "UserReports.h"

#include <pwd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <vector>

#include "SourceLog.h"

namespace zelvan::fennic::agent {

namespace {

using web::json::value;
constexpr const char* kWhere = "UserReports";

std::string Folder(const std::string& file) {
  const auto cut = file.find_last_of('/');
  return cut == std::string::npos ? "." : cut == 0 ? "/" : file.substr(0, cut);
}

std::string BaseName(const std::string& file) {
  const auto cut = file.find_last_of('/');
  return cut == std::string::npos ? file : file.substr(cut + 1);
}

bool IsSoftphoneList(const value& v) {
  if (!v.has_array_field("Softphones")) return false;
  for (const auto& entry : v.at("Softphones").as_array())
    if (!entry.has_string_field("Name") || !entry.has_string_field("Version")) return false;
  return true;
}

}  // namespace

UserReports::UserReports(EventLoop& loop, std::string softphoneFile, value extraDetails, Send send)
    : loop_(loop), file_(std::move(softphoneFile)), extra_(std::move(extraDetails)), send_(std::move(send)) {}

UserReports::~UserReports() {
  if (fd_ >= 0) {
    loop_.Unwatch(fd_);
    ::close(fd_);
  }
}

value UserReports::DetailsOf(const std::string& user, const value& extra) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (user.empty() || ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return value::null();
  // GECOS: full name, office, work phone, home phone, separated by commas.
  std::vector<std::string> gecos(4);
  const std::string text = found->pw_gecos ? found->pw_gecos : "";
  size_t field = 0;
  for (char c : text) {
    if (c == ',') {
      if (++field >= gecos.size()) break;
    } else {
      gecos[field] += c;
    }
  }
  value d = value::object();
  d["UserName"] = value::string(found->pw_name);
  d["FullName"] = value::string(gecos[0]);
  d["Office"] = value::string(gecos[1]);
  d["WorkPhone"] = value::string(gecos[2]);
  d["HomePhone"] = value::string(gecos[3]);
  for (const auto& member : extra.as_object())
    if (!d.has_field(member.first)) d[member.first] = member.second;
  return d;
}

void UserReports::Start(const std::string& user) {
  user_ = user;
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) SourceLog(3, kWhere, "Changes cannot be watched: inotify unavailable");
  // The details come from passwd: a rewritten /etc/passwd may change them.
  const int passwd = fd_ >= 0 ? ::inotify_add_watch(fd_, "/etc", IN_CLOSE_WRITE | IN_MOVED_TO) : -1;
  const int softphones =
      fd_ >= 0 && !file_.empty() ? ::inotify_add_watch(fd_, Folder(file_).c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) : -1;
  if (!file_.empty() && softphones < 0) SourceLog(3, kWhere, "Softphone list folder cannot be watched: " + Folder(file_));
  if (fd_ >= 0)
    loop_.Watch(fd_, [this, passwd, softphones] {
      alignas(inotify_event) char buffer[4096];
      bool list = false, details = false;
      ssize_t n;
      while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < n;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
          const std::string name = event->len ? event->name : "";
          list = list || (event->wd == softphones && name == BaseName(file_));
          details = details || (event->wd == passwd && name == "passwd");
        }
      if (list) SendSoftphones();
      if (details) UserChanged(user_);
    });
  if (!file_.empty()) SendSoftphones();
  UserChanged(user);
}

void UserReports::SendSoftphones() {
  std::string text;
  std::error_code error;
  value list;
  if (!ReadPlainFile(file_, 1 << 20, text) || (list = value::parse(text, error), error) || !IsSoftphoneList(list)) {
    SourceLog(3, kWhere, "Softphone list not sent: " + file_ + " is not a readable {\"Softphones\": [...]} file");
    return;
  }
  const std::string body = list.serialize();
  if (body == lastSoftphones_) return;
  lastSoftphones_ = body;
  send_(12, body);
}

void UserReports::UserChanged(const std::string& user) {
  user_ = user;
  const value details = DetailsOf(user, extra_);
  if (details.is_null()) {
    // No one signed in is the normal state of a headless machine; a named
    // user without an account is not.
    if (user.empty()) SourceLog(2, kWhere, "User details not sent: no session user found");
    else SourceLog(3, kWhere, "User details not sent: no account found for session user " + user);
    return;
  }
  const std::string body = details.serialize();
  if (body == lastDetails_) return;
  lastDetails_ = body;
  send_(7, body);
}

}  // namespace zelvan::fennic::agent
