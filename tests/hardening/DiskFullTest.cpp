// A data file written while the disk is full: the write fails, the previous
// file stays intact and readable, and no temporary file is left behind.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AesGcmCipher.h"
#include "FileConfigurationManager.h"
#include "support/RecordingLogger.h"

using namespace zelvan::fennic;
namespace fs = std::filesystem;

namespace {

services::ServiceSettings SettingsFor(const std::string& folder) {
  services::ServiceSettings settings;
  settings.dataFolder = folder;
  settings.downloadFolder = folder + "/downloads";
  settings.serverUrl = "http://127.0.0.1:1";
  settings.tenantId = "tenant-1";
  return settings;
}

web::json::value UpdateList(int entries, const std::string& filler) {
  web::json::value list = web::json::value::array();
  for (int i = 0; i < entries; ++i) {
    web::json::value update = web::json::value::object();
    update["UpdateSchedulerId"] = web::json::value::number(i);
    update["Version"] = web::json::value::string(filler);
    list[i] = update;
  }
  return list;
}

TEST(DiskFullTest, PreviousFileSurvivesAFailedWrite) {
  const std::string folder = ::testing::TempDir() + "fennic-diskfull-" + std::to_string(getpid());
  fs::remove_all(folder);
  auto logger = std::make_shared<fennic_test::RecordingLogger>();
  const web::json::value before = UpdateList(3, "1.0");
  {
    services::FileConfigurationManager config(SettingsFor(folder), std::make_shared<services::AesGcmCipher>(folder + "/key"),
                                              logger);
    config.WriteJsonFile(before, "Update.dat");
  }

  // The child may write at most 64 KiB per file, as on a nearly full disk.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG instead of killing us
    rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    int code = 0;
    try {
      services::FileConfigurationManager config(SettingsFor(folder),
                                                std::make_shared<services::AesGcmCipher>(folder + "/key"), logger);
      config.WriteJsonFile(UpdateList(2000, std::string(200, 'x')), "Update.dat");
      code = 1;  // the write claimed success
    } catch (const std::exception&) {
      code = 0;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the oversized write must fail, not pretend";

  services::FileConfigurationManager config(SettingsFor(folder), std::make_shared<services::AesGcmCipher>(folder + "/key"),
                                            logger);
  EXPECT_EQ(config.ReadJsonFile("Update.dat").serialize(), before.serialize());
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << "temporary file left: " << name;
    EXPECT_EQ(name.find(".corrupt"), std::string::npos) << name;
  }
  fs::remove_all(folder);
}

}  // namespace
