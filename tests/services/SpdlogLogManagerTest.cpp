#include "SpdlogLogManager.h"

#include <gmock/gmock.h>

#include <sstream>

#include "support/ScratchFolder.h"

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
  using testing::AllOf, testing::HasSubstr;
  std::istringstream lines(ScratchFolder::Slurp(folder / "agent.log"));
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  EXPECT_THAT(all, testing::ElementsAre(
                       AllOf(HasSubstr("[info]"), HasSubstr("CRestExecutor::ManageAgentRegistration: Agent Registration successful")),
                       AllOf(HasSubstr("[warning]"), HasSubstr("CRestExecutor::ManageGetUpdates: Empty answer {0} %s")),
                       AllOf(HasSubstr("[error]"), HasSubstr("zelvan::fennic::RestMsgQueue::pushMsg: boom")),
                       AllOf(HasSubstr("[info]"), HasSubstr("UpdatesDownload::ProcessDownloadFile: http://127.0.0.1/p.bin"))));
}

TEST(SpdlogLogManagerTest, UnopenableLogFileIsReportedByName) {
  LogOptions options;
  options.console = false;
  options.file = "/proc/no-such-folder/agent.log";
  EXPECT_THAT([&] { SpdlogLogManager logger(options); },
              testing::ThrowsMessage<std::runtime_error>(testing::HasSubstr(options.file)));
}
