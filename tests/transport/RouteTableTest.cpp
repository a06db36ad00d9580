#include "RouteTable.h"

#include <gtest/gtest.h>

#include "TransportFixtures.h"

using zelvan::fennic::RouteTable;

TEST(RouteTable, EveryTypeTheLibrarySendsHasADistinctRoute) {
  RouteTable table;
  const int sent[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 19, 20, 21, 22, 23, 24, 28};
  std::set<std::string> seen;
  for (int type : sent) {
    auto route = table.Find(type);
    ASSERT_TRUE(route) << type;
    EXPECT_TRUE(seen.insert(route->method + " " + route->path).second) << "shared route for " << type;
    EXPECT_EQ(table.TypeOf(route->method, RouteTable::Expand(route->path, "t"), "t"), type);
  }
  for (int unsent : {0, 1, 16, 18, 25, 26, 27}) EXPECT_FALSE(table.Find(unsent)) << unsent;
  EXPECT_EQ(RouteTable::Expand("a/{tenant}/b/{tenant}", "x"), "/a/x/b/x");
}

TEST(RouteTable, BadOverrideFilesAreRefusedWithTheirProblem) {
  ScratchFolder dir;
  const auto file = dir.path / "routes.json";
  const std::pair<const char*, const char*> cases[] = {
      {"not json", "not JSON"},
      {"{\"other\":1}", "no \"routes\""},
      {"{\"routes\":{\"x\":{\"path\":\"/a\"}}}", "not a request type"},
      {"{\"routes\":{\"3\":{\"method\":\"GET\"}}}", "has no \"path\""},
      {"{\"routes\":{\"3\":{\"path\":\"a\"}}}", "must start with /"},
      {"{\"routes\":{\"3\":{\"path\":\"/a\",\"method\":\"FETCH\"}}}", "unknown method"},
  };
  for (const auto& [text, problem] : cases) {
    std::ofstream(file) << text;
    const std::string refusal = fennic_test::Refusal([&] { RouteTable::FromFile(file.string()); });
    EXPECT_NE(refusal.find(problem), std::string::npos) << text << ": " << refusal;
  }
  std::filesystem::remove(file);
  EXPECT_THROW(RouteTable::FromFile(file.string()), std::runtime_error);
}
