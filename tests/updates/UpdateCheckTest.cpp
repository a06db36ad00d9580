#include <gtest/gtest.h>

#include "CQLResponse.h"
#include "RestRequestType.h"
#include "UpdatesDownload.h"
#include "support/ExecutorHarness.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

using fennic_test::AcceptedUpdateAnswer;
using fennic_test::UpdateDescription;

// Update 7, stored as downloaded.
const std::string kStored = "[" +
                            UpdateDescription(7, R"("UpdatesURL":"https://s/p7.bin")", "ScheduleUpdate", "P100",
                                              R"(,"downloadStatus":true)") +
                            "]";

// The real processor and download list, with update 7 stored. No product is
// supported, so an update handed to the list is logged as skipped and nothing
// stays pending.
class UpdateCheckTest : public ::testing::Test {
 protected:
  static ExecutorHarness::Options WithProcessor() {
    ExecutorHarness::Options o;
    o.makeResponseProcessor = [](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) {
      return std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                           std::make_shared<UpdatesDownload>(config));
    };
    return o;
  }
  UpdateCheckTest() {
    auto hold = h.config->Lock();
    h.config->jsonFiles["Update.dat"] = web::json::value::parse(kStored);
  }
  // What reached the download list, one log line per description.
  std::vector<std::string> Handed() {
    std::vector<std::string> out;
    for (const auto& line : h.logger->Lines())
      if (line.where == "UpdatesDownload::ConstructDownloadObject") out.push_back(line.text);
    return out;
  }
  ExecutorHarness h{WithProcessor()};
};

TEST_F(UpdateCheckTest, CancellationsThenUpdatesThenFullListThenFinish) {
  h.transport->Answer(CANCEL_UPDATE_REQ,
                      AcceptedUpdateAnswer(
                          R"({"CancelledUpdates":[{"UpdateSchedulerId":7,"UploadID":1007}],"CancelledConfigs":[]})"));
  const std::string update = UpdateDescription(8, R"("UpdatesURL":"https://s/p8.bin")");
  h.transport->Answer(GET_UPDATES_REQ,
                      AcceptedUpdateAnswer(R"({"Updates":[)" + update + R"(],"ConfigurationUpdates":[]})"));
  h.transport->Answer(GET_ALL_UPDATES_REQ, AcceptedUpdateAnswer("{\"Updates\":[],\"ConfigurationUpdates\":[]}"));
  h.executor->SetFlags(false, true, true);
  h.executor->SetClientState(1);
  h.Push(CANCEL_UPDATE_REQ);
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.Settle());  // the follow-ups queued by each step

  // Cancel, its acknowledgement, updates, then the full list.
  EXPECT_EQ(h.transport->Types(),
            (std::vector<int>{CANCEL_UPDATE_REQ, CANCEL_RECEIVED_ACK_REQ, GET_UPDATES_REQ, GET_ALL_UPDATES_REQ}));
  const std::string ack = h.transport->CallsOf(CANCEL_RECEIVED_ACK_REQ).at(0).body;
  EXPECT_EQ(web::json::value::parse(ack).at(0).at("Status").as_string(), "Success");

  // The update went to the download list; the full list being empty cleared
  // the stored list and the check ended.
  EXPECT_EQ(Handed(), std::vector<std::string>{"P100 is not supported so skipping FW download!"});
  EXPECT_FALSE(h.executor->GetAllUpdatesSent());
  EXPECT_FALSE(h.executor->HasCancelUpdates());
  std::vector<int> codes = h.listener.Codes();
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(codes.front(), 8) << "the cancellation is reported first";
  EXPECT_EQ(codes.back(), 5);
  EXPECT_EQ(h.listener.Count(4), 1) << "the check ends exactly once";
  EXPECT_EQ(h.executor->ClientState(), 0);
  auto hold = h.config->Lock();
  EXPECT_EQ(h.config->jsonFiles["Update.dat"].serialize(), "[]");
}

struct BadAnswer {
  const char* name;
  std::string answer;
};

class UpdateAnswerTest : public UpdateCheckTest, public ::testing::WithParamInterface<BadAnswer> {};

TEST_P(UpdateAnswerTest, MalformedAnswersLeaveStoresIntactAndEndTheCheck) {
  h.transport->Answer(GET_UPDATES_REQ, GetParam().answer);
  h.executor->SetClientState(2);
  h.Push(GET_UPDATES_REQ);
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(Handed().empty());
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{4, 5})) << "no download: the check ends, then event 5";
  auto hold = h.config->Lock();
  EXPECT_EQ(h.config->jsonFiles["Update.dat"].serialize(), web::json::value::parse(kStored).serialize());
  EXPECT_EQ(h.transport->CountOf(GET_ALL_UPDATES_REQ), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UpdateAnswerTest,
    ::testing::Values(BadAnswer{"NotJson", "{\"Updates\":"},
                      BadAnswer{"UpdatesAsObject", AcceptedUpdateAnswer(R"({"Updates":{"a":1}})")},
                      BadAnswer{"IdAsText",
                                AcceptedUpdateAnswer(R"({"Updates":[{"UpdateSchedulerId":"8","Action":"x"}]})")},
                      BadAnswer{"NullLists", AcceptedUpdateAnswer(R"({"Updates":null,"ConfigurationUpdates":null})")},
                      BadAnswer{"StatusFalse", R"({"validateResponseStatus":false})"}),
    [](const ::testing::TestParamInfo<BadAnswer>& info) { return info.param.name; });

}  // namespace
