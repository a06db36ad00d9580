#include "SpdlogLogManager.h"

#include <gtest/gtest.h>

#include <sstream>

#include "ScratchFolder.h"

using zelvan::fennic::services::LogOptions;
using zelvan::fennic::services::SpdlogLogManager;

TEST(SpdlogLogManagerTest, FileLinesCarryWhereAndSeverityAndRespectTheMinimum) {
  ScratchFolder folder;
  LogOptions options;
  options.console = false;
  options.file = folder / "agent.log";
  options.minimumSeverity = 2;  // info and above
  {
    SpdlogLogManager logger(options);
    logger.Log(2, "CRestExecutor::ManageHeartBeat", "Heart Beat Request :{}");  // debug: dropped
    logger.Log(6, "CRestExecutor::ManageAgentRegistration", "Agent Registration successful");
    logger.Log(3, "CRestExecutor::ManageGetUpdates", "Empty answer {0} %s");
    logger.Log(5, "zelvan::fennic::RestMsgQueue::pushMsg", "boom");
    logger.Log(0, "UpdatesDownload::ProcessDownloadFile", "http://127.0.0.1/p.bin");
    logger.Flush();
  }
  std::istringstream lines(ScratchFolder::Slurp(folder / "agent.log"));
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"[info]", "CRestExecutor::ManageAgentRegistration: Agent Registration successful"},
      {"[warning]", "CRestExecutor::ManageGetUpdates: Empty answer {0} %s"},
      {"[error]", "zelvan::fennic::RestMsgQueue::pushMsg: boom"},
      {"[info]", "UpdatesDownload::ProcessDownloadFile: http://127.0.0.1/p.bin"},
  };
  ASSERT_EQ(all.size(), expected.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_NE(all[i].find(expected[i].first), std::string::npos) << all[i];
    EXPECT_NE(all[i].find(expected[i].second), std::string::npos) << all[i];
  }
}

TEST(SpdlogLogManagerTest, UnopenableLogFileIsReportedByName) {
  LogOptions options;
  options.console = false;
  options.file = "/proc/no-such-folder/agent.log";
  try {
    SpdlogLogManager logger(options);
    ADD_FAILURE() << "opened an impossible log file";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(options.file), std::string::npos);
  }
}
