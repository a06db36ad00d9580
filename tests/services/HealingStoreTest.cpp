// Local state that heals itself, against real files.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "AesGcmCipher.h"
#include "AgentException.h"
#include "FileConfigurationManager.h"
#include "LocalStateError.h"
#include "support/ScratchFolder.h"
#include "support/RecordingLogger.h"

using zelvan::fennic::services::FileConfigurationManager;
namespace {
bool Exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

struct Store {
  explicit Store(const ScratchFolder& folder)
      : manager({folder.path, "", "", "", {}, "1.0.0", true},
                std::make_shared<zelvan::fennic::services::AesGcmCipher>(folder / "agent.key"), logger) {}
  std::shared_ptr<fennic_test::RecordingLogger> logger = std::make_shared<fennic_test::RecordingLogger>();
  FileConfigurationManager manager;
};

using KeyCase = std::tuple<const char*, void (*)(const std::string& key), const char*>;  // fault "": start goes on
class KeyFileTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyFileTest, AKeyProblemStopsTheStartAndRenamesNothing) {
  ScratchFolder folder;
  ScratchFolder::Put(folder / "Token.dat", "sealed-before");
  std::get<1>(GetParam())(folder / "agent.key");
  const std::string fault = std::get<2>(GetParam());
  if (fault.empty()) EXPECT_NO_THROW(Store{folder});
  else EXPECT_THAT([&] { Store{folder}; }, testing::ThrowsMessage<zelvan::fennic::services::LocalStateError>(
                                                testing::StartsWith("key file " + (folder / "agent.key") + " " + fault)));
  EXPECT_EQ(ScratchFolder::Slurp(folder / "Token.dat"), "sealed-before");
  EXPECT_FALSE(Exists(folder / "Token.dat.corrupt"));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyFileTest,
    ::testing::Values(KeyCase{"MissingWhileSealedDataExists", [](const std::string&) {}, "is missing"},
                      KeyCase{"Empty", [](const std::string& k) { ScratchFolder::Put(k, ""); }, "is empty"},
                      KeyCase{"WrongLength", [](const std::string& k) { ScratchFolder::Put(k, "short"); }, "holds 5"},
                      KeyCase{"Folder", [](const std::string& k) { ::mkdir(k.c_str(), 0700); }, "is a folder"},
                      // A socket cannot be opened for reading, even by root.
                      KeyCase{"Unreadable", [](const std::string& k) { ::mknod(k.c_str(), S_IFSOCK | 0600, 0); },
                              "cannot be read"},
                      KeyCase{"Valid", [](const std::string& k) { ScratchFolder::Put(k, std::string(32, 'k')); }, ""}),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

// name, file, content, set aside, what is read when it is not ("": the content)
using ShapeCase = std::tuple<const char*, std::string, const char*, bool, const char*>;
class StoredListShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(StoredListShapeTest, AListOfTheWrongShapeIsSetAsideAndABadEntryIsSkippedAlone) {
  const auto& [name, file, content, setAside, reads] = GetParam();
  ScratchFolder folder;
  Store store(folder);
  ScratchFolder::Put(folder / file, content);
  const auto read = file == FileConfigurationManager::kSilentFile         ? store.manager.ReadSilentUpdates(0)
                    : file == FileConfigurationManager::kFailedStatusFile ? store.manager.ReadSilentUpdates(1)
                                                                          : store.manager.ReadJsonFile(file);
  EXPECT_EQ(Exists(folder / (file + ".corrupt")), setAside);
  EXPECT_EQ(read.serialize(), setAside ? "null" : web::json::value::parse(*reads ? reads : content).serialize());
  EXPECT_EQ(store.logger->FirstStartingWith("Skipped ").level, *reads ? 3 : -1) << "one line for the skipped entries";
  const fennic_test::LogLine line = store.logger->FirstStartingWith("Corrupt data file " + (folder / file) + " ");
  EXPECT_EQ(line.level, setAside ? 3 : -1);
  if (!setAside) return;
  EXPECT_EQ(line.where, "FileConfigurationManager::ReadDataFile");
  EXPECT_EQ(ScratchFolder::Slurp(folder / (file + ".corrupt")), content);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, StoredListShapeTest,
    ::testing::Values(
        ShapeCase{"UpdateTorn", "Update.dat", R"([{"UpdateSchedulerId":1)", true, ""},
        ShapeCase{"SilentNotJson", "SilentUpdates.dat", "garbage", true, ""},
        ShapeCase{"UpdateEntriesNotObjects", "Update.dat", "[1,2]", false, "[]"},
        ShapeCase{"UpdateIdNotIntegerAmongGood", "Update.dat",
                  R"([{"UpdateSchedulerId":"7"},{"UpdateSchedulerId":8},{"UpdateSchedulerId":7.5}])", false,
                  R"([{"UpdateSchedulerId":8}])"},
        ShapeCase{"UpdateNotAList", "Update.dat", R"({"UpdateSchedulerId":7})", true, ""},
        ShapeCase{"UpdateWellFormed", "Update.dat", R"([{"UpdateSchedulerId":7}])", false, ""},
        ShapeCase{"ConfigIdMissing", "Config.dat", R"([{},{"UpdateSchedulerId":3}])", false, R"([{"UpdateSchedulerId":3}])"},
        ShapeCase{"SilentNull", "SilentUpdates.dat", "null", false, ""},
        ShapeCase{"SilentEntryNotObject", "SilentUpdates.dat", "[[7]]", false, "[]"},
        ShapeCase{"FailedConfigAList", "FailedConfig.dat", "[]", true, ""},
        ShapeCase{"FailedConfigEntryNotObject", "FailedConfig.dat", R"({"FailedRequest":[1,{}]})", false,
                  R"({"FailedRequest":[{}]})"},
        ShapeCase{"FailedReportNotObject", "FailedUpdateStatus.dat", R"(["r"])", false, "[]"},
        ShapeCase{"OtherFilesUnchecked", "PendingAcks.dat", "[1]", false, ""}),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

TEST(StoredListShapeTest, ALinkIsRemovedUnfollowedAndSaysSo) {
  ScratchFolder folder, outside;
  Store store(folder);
  const std::string list = R"([{"UpdateSchedulerId":7}])";
  ScratchFolder::Put(outside / "list.json", list);
  std::filesystem::create_symlink(outside / "list.json", folder / "Update.dat");
  EXPECT_TRUE(store.manager.ReadJsonFile("Update.dat").is_null()) << "read through the link";
  EXPECT_FALSE(Exists(folder / "Update.dat") || Exists(folder / "Update.dat.corrupt")) << "a link kept";
  EXPECT_EQ(ScratchFolder::Slurp(outside / "list.json"), list);
  EXPECT_EQ(store.logger->FirstStartingWith("Data file " + (folder / "Update.dat") + " ").text,
            "Data file " + (folder / "Update.dat") + " was a symbolic link, never followed; removed");
}

TEST(StoreOpenTest, TemporariesOfDeadWritersAreSweptOthersKept) {
  ScratchFolder folder;
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead = folder / ("Update.dat.tmp." + std::to_string(child) + ".3");
  const std::string own = folder / ("Update.dat.tmp." + std::to_string(getpid()) + ".0");
  for (const auto& path : {dead, own, folder / "Config.dat.tmp.1.0", folder / "notes.tmp.txt"}) ScratchFolder::Put(path, "");
  Store store(folder);
  EXPECT_FALSE(Exists(dead));
  EXPECT_TRUE(Exists(own) && Exists(folder / "Config.dat.tmp.1.0") && Exists(folder / "notes.tmp.txt"));
  EXPECT_EQ(store.logger->FirstStartingWith("Removed temporary file left by a stopped writer: " + dead).level, 2);
}

TEST(StoreOpenTest, AFailedWriteRaisesTheCodeThatEndsTheUpdateCheck) {
  ScratchFolder folder;
  Store store(folder);
  ::mkdir((folder / "Update.dat").c_str(), 0700);  // the rename onto it fails
  EXPECT_THAT([&] { store.manager.WriteJsonFile(web::json::value::array(), "Update.dat"); },
              testing::Throws<zelvan::fennic::AgentException>(testing::Property(&zelvan::fennic::AgentException::code, 2)));
}
}  // namespace
