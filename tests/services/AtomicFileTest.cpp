#include "AtomicFile.h"

#include <cpprest/json.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "support/ScratchFolder.h"

using zelvan::fennic::services::AtomicFile;

namespace {

// A document big enough that a write takes several system calls.
std::string Document(int round) {
  web::json::value list = web::json::value::array();
  for (int i = 0; i < 2000; ++i) {
    web::json::value entry = web::json::value::object();
    entry["UpdateSchedulerId"] = web::json::value::number(round * 10000 + i);
    entry["UpdatesURL"] = web::json::value::string("http://127.0.0.1/packages/" + std::to_string(i));
    list[i] = entry;
  }
  return list.serialize();
}

}  // namespace

TEST(AtomicFileTest, ReplacesWholeContentAndCreateExclusiveNeverOverwrites) {
  ScratchFolder folder;
  const std::string file = folder / "Update.dat";
  EXPECT_FALSE(AtomicFile::Read(file).has_value());
  AtomicFile::Write(file, "second, longer than the first");
  AtomicFile::Write(file, "3");
  EXPECT_EQ(AtomicFile::Read(file).value(), "3");
  EXPECT_FALSE(AtomicFile::CreateExclusive(file, "other"));
  EXPECT_EQ(AtomicFile::Read(file).value(), "3");
}

TEST(AtomicFileTest, AProcessKilledWhileWritingNeverLeavesATornFile) {
  ScratchFolder folder;
  const std::string file = folder / "Update.dat";
  AtomicFile::Write(file, Document(0));
  std::mt19937 random(12345);
  for (int round = 1; round <= 25; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) AtomicFile::Write(file, Document(round * 100 + i % 50));
    }
    // Kill at a random instant within the first few writes.
    ::usleep(static_cast<useconds_t>(random() % 20000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::optional<std::string> text = AtomicFile::Read(file);
    ASSERT_TRUE(text.has_value());
    std::error_code error;
    const web::json::value parsed = web::json::value::parse(*text, error);
    ASSERT_FALSE(error) << "round " << round << ": torn file of " << text->size() << " bytes";
    ASSERT_TRUE(parsed.is_array());
    EXPECT_EQ(parsed.size(), 2000u);
    // The killed writer may leave its temporary, never the target.
    for (const auto& entry : std::filesystem::directory_iterator(folder.path))
      if (entry.path().filename().string().find(".tmp.") != std::string::npos) std::filesystem::remove(entry.path());
  }
}
