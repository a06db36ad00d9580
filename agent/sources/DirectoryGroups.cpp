#include "DirectoryGroups.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cctype>
#include <cpprest/json.h>
#include <vector>

namespace zelvan::fennic::agent {

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string GroupOfQuery(const std::string& query) {
  // The first RDN ends at the first comma that is not escaped; its value
  // keeps escaped characters without their backslash.
  std::string rdn;
  bool escaped = false;
  for (char c : query) {
    if (escaped) {
      rdn += c;
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == ',') {
      break;
    } else {
      rdn += c;
    }
  }
  const auto equals = rdn.find('=');
  const bool isDn = equals != std::string::npos && equals > 0 &&
                    std::all_of(rdn.begin(), rdn.begin() + static_cast<long>(equals),
                                [](unsigned char c) { return std::isalnum(c) || c == ' ' || c == '-'; });
  return Trim(isDn ? rdn.substr(equals + 1) : query);
}

Verdict MembershipOf(const std::string& user, const std::string& group) {
  if (user.empty() || group.empty()) return kNoVerdict;
  std::vector<char> buffer(65536);
  struct group entry {};
  struct group* foundGroup = nullptr;
  if (::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &foundGroup) != 0 || !foundGroup)
    return kNoVerdict;
  const gid_t wanted = foundGroup->gr_gid;
  std::vector<char> userBuffer(16384);
  passwd account{};
  passwd* foundUser = nullptr;
  if (::getpwnam_r(user.c_str(), &account, userBuffer.data(), userBuffer.size(), &foundUser) != 0 || !foundUser)
    return kNoVerdict;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (::getgrouplist(user.c_str(), foundUser->pw_gid, groups.data(), &count) < 0)
    groups.resize(static_cast<size_t>(count));
  groups.resize(static_cast<size_t>(count));
  return std::find(groups.begin(), groups.end(), wanted) != groups.end() ? kMember : kNotMember;
}

std::string AnswerQueries(const std::string& payload, const std::string& user) {
  using web::json::value;
  value status = value::array();
  std::error_code error;
  const value document = value::parse(payload, error);
  if (!error && document.has_array_field("Query")) {
    size_t i = 0;
    for (const auto& query : document.at("Query").as_array())
      status[i++] = value::number(query.is_string() ? MembershipOf(user, GroupOfQuery(query.as_string())) : kNoVerdict);
  }
  value answer = value::object();
  answer["Status"] = status;
  return answer.serialize();
}

}  // namespace zelvan::fennic::agent
