#include "LocalTarget.h"

#include <gtest/gtest.h>

using zelvan::fennic::ResolveLocalTarget;

TEST(LocalTarget, OnlyPlainNamesDirectlyInsideTheFolderPass) {
  struct Case {
    const char* path;
    const char* folder;
    const char* name;  // nullptr: refused
  } cases[] = {
      {"/dl\\fw.bin", "/dl", "fw.bin"},
      {"/dl\\fw.bin", "/dl/", "fw.bin"},
      {"/dl/fw.bin", "/dl", "fw.bin"},
      {"/dl\\fw.bin", "", "fw.bin"},
      {"/dl\\.\\fw.bin", "/dl", "fw.bin"},
      {"/dl\\..\\etc\\passwd", "/dl", nullptr},
      {"/dl\\sub\\fw.bin", "/dl", nullptr},
      {"/dl\\..\\dl2\\fw.bin", "", nullptr},
      {"", "/dl", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " in " + c.folder);
    auto target = ResolveLocalTarget(c.path, c.folder);
    if (c.name == nullptr) {
      EXPECT_FALSE(target);
    } else {
      ASSERT_TRUE(target);
      EXPECT_EQ(target->name, c.name);
      EXPECT_EQ(target->folder, "/dl");
    }
  }
}
