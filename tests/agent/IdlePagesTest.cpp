#include "IdlePages.h"

#include <gtest/gtest.h>

#include <cpprest/json.h>
#include <fstream>
#include <string>

#include "Sha256.h"

namespace {

long StatusKib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

std::string Digest(const std::string& text) {
  zelvan::fennic::Sha256 sha;
  sha.Update(text.data(), text.size());
  return sha.HexDigest();
}

const char* const kAnswer = "{\"Status\": true, \"List\": [1, {\"Id\": \"a\"}]}";

int written = 7;  // in the program's data: a page the release must keep

}  // namespace

// What the process wrote (data, relocated pointers into libraries) survives;
// only clean code and constants leave the resident set, and come back on use.
TEST(IdlePages, ReleasesCleanLibraryPagesAndKeepsWhatWasWritten) {
  written = 42;
  const std::string digest = Digest("heart beat");
  const auto json = web::json::value::parse(kAnswer);
  const long fileBefore = StatusKib("RssFile");

  EXPECT_GT(zelvan::fennic::agent::ReleaseIdlePages(), 1024u * 1024u);

  EXPECT_LT(StatusKib("RssFile"), fileBefore / 2);
  EXPECT_EQ(written, 42);
  EXPECT_EQ(Digest("heart beat"), digest);
  EXPECT_EQ(web::json::value::parse(kAnswer), json);
  EXPECT_EQ(json.at("List").at(1).at("Id").as_string(), "a");
}
