#include "IdlePages.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cpprest/json.h>
#include <fstream>
#include <string>

namespace {

long StatusKib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

std::string Digest(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

int written = 7;  // in the program's data: a page the release must keep

}  // namespace

// What the process wrote (data, relocated pointers into libraries) survives;
// only clean code and constants leave the resident set, and come back on use.
TEST(IdlePages, ReleasesCleanLibraryPagesAndKeepsWhatWasWritten) {
  written = 42;
  const std::string digest = Digest("heart beat");
  const auto json = web::json::value::parse("{\"Status\": true, \"List\": [1, {\"Id\": \"a\"}]}");
  const long fileBefore = StatusKib("RssFile");

  EXPECT_GT(zelvan::fennic::agent::ReleaseIdlePages(), 1024u * 1024u);

  EXPECT_LT(StatusKib("RssFile"), fileBefore / 2);
  EXPECT_EQ(written, 42);
  EXPECT_EQ(Digest("heart beat"), digest);
  EXPECT_EQ(web::json::value::parse("{\"Status\": true, \"List\": [1, {\"Id\": \"a\"}]}"), json);
  EXPECT_EQ(json.at("List").at(1).at("Id").as_string(), "a");
}
