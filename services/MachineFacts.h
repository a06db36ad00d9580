#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelvan::fennic::services {

using NamedValues = std::vector<std::pair<std::string, std::string>>;

// Facts about this workstation and its user, read from the system each call
// (host name, OS release, kernel, user account). Fixed order: the records
// handed to the library keep it.
NamedValues MachineFacts();  // eleven entries
NamedValues UserFacts();     // eight entries

// The value of KEY=VALUE in an os-release text (quotes removed), or empty.
std::string OsReleaseValue(const std::string& text, const std::string& key);

// A fresh random identifier in the 8-4-4-4-12 hexadecimal form.
std::string NewAgentId();

// Hexadecimal SHA-256 of the text, used to hide personal data.
std::string Sha256Hex(const std::string& text);

}  // namespace zelvan::fennic::services
