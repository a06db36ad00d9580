// Local state that heals itself: key problems stop the start without
// touching data, stored lists of the wrong shape are set aside, a killed
// writer's temporaries are swept, a failed write is an AgentException.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "AesGcmCipher.h"
#include "AgentException.h"
#include "FileConfigurationManager.h"
#include "LocalStateError.h"
#include "ScratchFolder.h"
#include "support/RecordingLogger.h"

using namespace zelvan::fennic;
using services::FileConfigurationManager;
using services::LocalStateError;

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

struct Store {
  explicit Store(const std::string& folder) : logger(std::make_shared<fennic_test::RecordingLogger>()) {
    services::ServiceSettings settings;
    settings.dataFolder = folder;
    manager = std::make_unique<FileConfigurationManager>(
        settings, std::make_shared<services::AesGcmCipher>(folder + "/agent.key"), logger);
  }
  std::shared_ptr<fennic_test::RecordingLogger> logger;
  std::unique_ptr<FileConfigurationManager> manager;
};

struct KeyCase {
  const char* name;
  std::function<void(const ScratchFolder&)> prepare;
  const char* fault;  // empty: the start goes on
};

class KeyFileTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyFileTest, AKeyProblemStopsTheStartAndRenamesNothing) {
  ScratchFolder folder;
  ScratchFolder::Put(folder / "Token.dat", "sealed-before");
  GetParam().prepare(folder);
  const std::string fault = GetParam().fault;
  try {
    Store store(folder.path());
    EXPECT_TRUE(fault.empty()) << "started with a bad key";
  } catch (const LocalStateError& e) {
    EXPECT_NE(std::string(e.what()).find("key file " + (folder / "agent.key") + " " + fault), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(ScratchFolder::Slurp(folder / "Token.dat"), "sealed-before");
  EXPECT_FALSE(Exists(folder / "Token.dat.corrupt"));
}

void Bind(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyFileTest,
    ::testing::Values(
        KeyCase{"MissingWhileSealedDataExists", [](const ScratchFolder&) {}, "is missing"},
        KeyCase{"Empty", [](const ScratchFolder& f) { ScratchFolder::Put(f / "agent.key", ""); }, "is empty"},
        KeyCase{"WrongLength", [](const ScratchFolder& f) { ScratchFolder::Put(f / "agent.key", "short"); },
                "holds 5 bytes"},
        KeyCase{"Folder", [](const ScratchFolder& f) { ::mkdir((f / "agent.key").c_str(), 0700); }, "is a folder"},
        // A socket cannot be opened for reading, even by root.
        KeyCase{"Unreadable", [](const ScratchFolder& f) { Bind(f / "agent.key"); }, "cannot be read"},
        KeyCase{"ValidKey",
                [](const ScratchFolder& f) { ScratchFolder::Put(f / "agent.key", std::string(32, 'k')); }, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeyFileTest, AFirstStartMakesAKey) {
  ScratchFolder folder;
  Store store(folder.path());
  EXPECT_EQ(ScratchFolder::Slurp(folder / "agent.key").size(), 32u);
}

struct ShapeCase {
  const char* name;
  const char* file;
  const char* content;
  bool setAside;
};

class StoredListShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(StoredListShapeTest, AListOfTheWrongShapeIsSetAsideAndReadsAsEmpty) {
  const ShapeCase& c = GetParam();
  ScratchFolder folder;
  Store store(folder.path());
  ScratchFolder::Put(folder / c.file, c.content);
  const std::string file = c.file;
  const web::json::value read = file == FileConfigurationManager::kSilentFile       ? store.manager->ReadSilentUpdates(0)
                                : file == FileConfigurationManager::kFailedStatusFile ? store.manager->ReadSilentUpdates(1)
                                                                                      : store.manager->ReadJsonFile(file);
  EXPECT_EQ(Exists(folder / (file + ".corrupt")), c.setAside);
  EXPECT_EQ(read.serialize(), c.setAside ? "null" : web::json::value::parse(c.content).serialize());
  EXPECT_EQ(store.logger->FirstStartingWith("Corrupt data file " + (folder / file)).level, c.setAside ? 3 : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, StoredListShapeTest,
    ::testing::Values(ShapeCase{"UpdateEntriesNotObjects", "Update.dat", "[1,2]", true},
                      ShapeCase{"UpdateIdNotInteger", "Update.dat", R"([{"UpdateSchedulerId":"7"}])", true},
                      ShapeCase{"UpdateIdMissing", "Update.dat", R"([{"Action":"Silent"}])", true},
                      ShapeCase{"UpdateNotAList", "Update.dat", R"({"UpdateSchedulerId":7})", true},
                      ShapeCase{"UpdateWellFormed", "Update.dat", R"([{"UpdateSchedulerId":7}])", false},
                      ShapeCase{"ConfigEntryEmpty", "Config.dat", "[{}]", true},
                      ShapeCase{"SilentNull", "SilentUpdates.dat", "null", false},
                      ShapeCase{"SilentEntryNotObject", "SilentUpdates.dat", R"([[7]])", true},
                      ShapeCase{"FailedConfigAList", "FailedConfig.dat", "[]", true},
                      ShapeCase{"FailedConfigEntryNotObject", "FailedConfig.dat", R"({"FailedRequest":[1]})", true},
                      ShapeCase{"FailedConfigWellFormed", "FailedConfig.dat",
                                R"({"FailedRequest":[{"CC_CONFIG_REQUEST":""}]})", false},
                      ShapeCase{"FailedReportsEntryNotObject", "FailedUpdateStatus.dat", R"(["r"])", true},
                      ShapeCase{"OtherFilesUnchecked", "PendingAcks.dat", "[1]", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StoreOpenTest, TemporariesOfDeadWritersAreSweptOthersKept) {
  ScratchFolder folder;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead = folder / ("Update.dat.tmp." + std::to_string(child) + ".3");
  const std::string own = folder / ("Update.dat.tmp." + std::to_string(getpid()) + ".0");
  const std::string living = folder / "Config.dat.tmp.1.0";
  const std::string notTemporary = folder / "notes.tmp.txt";
  for (const auto& path : {dead, own, living, notTemporary}) ScratchFolder::Put(path, "partial");
  Store store(folder.path());
  EXPECT_FALSE(Exists(dead));
  EXPECT_TRUE(Exists(own) && Exists(living) && Exists(notTemporary));
  EXPECT_EQ(store.logger->FirstStartingWith("Removed temporary file left by a stopped writer: " + dead).level, 2);
}

TEST(StoreOpenTest, AFailedWriteRaisesTheCodeThatEndsTheUpdateCheck) {
  ScratchFolder folder;
  Store store(folder.path());
  ::mkdir((folder / "Update.dat").c_str(), 0700);  // the rename onto it fails
  try {
    store.manager->WriteJsonFile(web::json::value::array(), "Update.dat");
    ADD_FAILURE() << "the write claimed success";
  } catch (const AgentException& e) {
    EXPECT_EQ(e.code(), FileConfigurationManager::kWriteFailureCode);
    EXPECT_EQ(e.code(), 2);
    EXPECT_NE(std::string(e.what()).find(folder / "Update.dat"), std::string::npos) << e.what();
  }
}

}  // namespace
