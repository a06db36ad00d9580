// A data file written while the disk is full: the write fails, the previous
// file stays intact and readable, and no temporary file is left behind.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AesGcmCipher.h"
#include "FileConfigurationManager.h"
#include "support/ScratchFolder.h"
#include "support/RecordingLogger.h"

using namespace zelvan::fennic;
namespace fs = std::filesystem;

namespace {

web::json::value UpdateList(int entries, const std::string& filler) {
  web::json::value list = web::json::value::array();
  for (int i = 0; i < entries; ++i)
    list[i] = web::json::value::parse(R"({"UpdateSchedulerId":)" + std::to_string(i) + R"(,"Version":")" + filler + "\"}");
  return list;
}

TEST(DiskFullTest, PreviousFileSurvivesAFailedWrite) {
  ScratchFolder scratch;
  const std::string folder = scratch.path;
  auto logger = std::make_shared<fennic_test::RecordingLogger>();
  const auto open = [&] {
    return std::make_unique<services::FileConfigurationManager>(
        services::ServiceSettings{folder, folder + "/downloads", "http://127.0.0.1:1", "tenant-1", {}, "1.0.0", true},
        std::make_shared<services::AesGcmCipher>(folder + "/key"), logger);
  };
  const web::json::value before = UpdateList(3, "1.0");
  open()->WriteJsonFile(before, "Update.dat");

  // The child may write at most 64 KiB per file, as on a nearly full disk.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG instead of killing us
    rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      open()->WriteJsonFile(UpdateList(2000, std::string(200, 'x')), "Update.dat");
      _exit(1);  // the write claimed success
    } catch (const std::exception&) {
      _exit(0);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the oversized write must fail, not pretend";

  EXPECT_EQ(open()->ReadJsonFile("Update.dat").serialize(), before.serialize());
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << "temporary file left: " << name;
    EXPECT_EQ(name.find(".corrupt"), std::string::npos) << name;
  }
}

}  // namespace
