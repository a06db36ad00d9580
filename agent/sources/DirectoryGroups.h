#pragma once

#include <string>

namespace zelvan::fennic::agent {

// Verdicts the host gives for one directory query.
enum Verdict { kNotMember = 0, kMember = 1, kNoVerdict = -1 };

// The group a query names: the value of the first RDN of a distinguished
// name ("CN=Sales,OU=Groups,DC=corp" names "Sales"), or the plain name.
std::string GroupOfQuery(const std::string& query);

// Whether `user` belongs to `group`, through NSS, so directory-served
// groups count as much as local ones. No verdict for an unknown group or
// user, or when there is no user.
Verdict MembershipOf(const std::string& user, const std::string& group);

// The host's answer to a batch of queries: the event payload
// {"Query": [...]} turned into {"Status": [...]}, one verdict per query in
// order. A payload that is not such an object gives an empty "Status".
std::string AnswerQueries(const std::string& payload, const std::string& user);

}  // namespace zelvan::fennic::agent
