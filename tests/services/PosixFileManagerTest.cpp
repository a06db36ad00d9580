#include "PosixFileManager.h"

#include <gtest/gtest.h>

#include "support/ScratchFolder.h"

// Only a folder this process may create files in is writable; space is
// reported for anything that exists, and 0 for what does not.
TEST(PosixFileManagerTest, AnswersForWhatThePathNames) {
  ScratchFolder folder;
  ScratchFolder::Put(folder / "plain", "x");
  zelvan::fennic::services::PosixFileManager files;
  const struct { std::string path; bool writable, hasSpace; } rows[] = {{folder.path.string(), true, true}, {folder / "plain", false, true}, {folder / "missing", false, false},
              {"", false, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(files.HasWritePermission(row.path), row.writable) << "'" << row.path << "'";
    EXPECT_EQ(files.GetFreeDiskSpaceMB(row.path) > 0, row.hasSpace) << "'" << row.path << "'";
  }
}
