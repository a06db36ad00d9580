#include <gtest/gtest.h>

#include "RestRequestType.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

const std::string kQueries =
    R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,"ADUpdates":[)"
    R"({"ADSelectQuery":"CN=Sales\\,OU=Groups","QueryId":7},{"ADSelectQuery":"CN=\u00c9quipe \u5f20","QueryId":8}]})";

TEST(DirectoryQueriesTest, HostAnswersAndTheUpdateCheckGoesOn) {
  ExecutorHarness h;
  h.executor->SetFlags(true, true, false);
  // The listener acts as host: it answers the queries it is shown.
  std::string payload;
  h.listener.SetReaction([&](const fennic_test::Event& e) {
    if (e.code != 14) return;
    payload = e.payload;
    h.Push(IN_GROUP_RESULT_REQ, R"({"Status":[1,0]})");
  });
  h.transport->Answer(GET_AD_QUERY_REQ, kQueries);
  h.Push(GET_AD_QUERY_REQ);
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.Settle());

  auto shown = web::json::value::parse(payload);
  ASSERT_EQ(shown.at("Query").size(), 2u);
  EXPECT_EQ(shown.at("Query").at(0).as_string(), "CN=Sales\\,OU=Groups");
  EXPECT_EQ(shown.at("Query").at(1).as_string(), "CN=\xC3\x89quipe \xE5\xBC\xA0");

  auto uploads = h.transport->CallsOf(AD_UPDATES_REQ);
  ASSERT_EQ(uploads.size(), 1u);
  auto upload = web::json::value::parse(uploads[0].body).at("ADUpdates");
  EXPECT_EQ(upload.at(1).at("QueryId").as_integer(), 8) << "other members travel back unchanged";
  EXPECT_EQ(h.transport->CountOf(GET_UPDATES_REQ), 1) << "the update check goes on";
  EXPECT_FALSE(h.executor->PendingADQueries().is_array()) << "the batch is over";
}

// The first element has no query: it is answered "NA" without asking the host.
const std::string kOneUnusable =
    R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,"ADUpdates":[)"
    R"({"QueryId":6},{"ADSelectQuery":"CN=Sales","QueryId":7}]})";

struct VerdictCase {
  const char* name;
  std::string answer;
  std::string line;      // level-3 line, empty when none
  std::string statuses;  // uploaded "UserStatus" values, comma separated
  std::string queries = kQueries;
  bool uploadFails = false;  // the upload's exchange fails: the check goes on all the same
};

class InGroupResultTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(InGroupResultTest, MergesOrRefusesTheHostsVerdicts) {
  const VerdictCase& c = GetParam();
  ExecutorHarness h;
  h.transport->Answer(GET_AD_QUERY_REQ, c.queries);
  if (c.uploadFails) h.transport->FailWithHttpError(AD_UPDATES_REQ, "connection reset");
  h.Push(GET_AD_QUERY_REQ);
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.executor->PendingADQueries().is_array());
  if (c.answer == "terminated")
    h.Push(USER_SESSION_TERMINATED_REQ);
  else
    h.Push(IN_GROUP_RESULT_REQ, c.answer);
  ASSERT_TRUE(h.Settle());
  EXPECT_FALSE(h.executor->PendingADQueries().is_array()) << "every answer ends the batch";
  if (!c.line.empty()) {
    EXPECT_EQ(h.logger->FirstStartingWith(c.line).level, 3) << c.line;
  }
  auto uploads = h.transport->CallsOf(AD_UPDATES_REQ);
  ASSERT_EQ(uploads.size(), 1u) << "every answer is uploaded, unusable verdicts as NA";
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CountOf(GET_UPDATES_REQ), 1) << "the update check goes on";
  std::string got;
  const web::json::value upload = web::json::value::parse(uploads[0].body);
  for (const auto& e : upload.at("ADUpdates").as_array())
    got += (got.empty() ? "" : ",") + e.at("UserStatus").as_string();
  EXPECT_EQ(got, c.statuses);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, InGroupResultTest,
    ::testing::Values(VerdictCase{"MemberAndNot", R"({"Status":[1,0]})", "", "Valid,InValid"},
                      VerdictCase{"NoVerdictOrOutOfIntRange", R"({"Status":[2,4294967297]})", "", "NA,NA"},
                      VerdictCase{"SessionEnded", "terminated", "", "NA,NA"},
                      VerdictCase{"SizeMismatch", R"({"Status":[1]})",
                                  "isUserInGroup status is size not matching to array size!", "NA,NA"},
                      VerdictCase{"NoStatus", R"({})", "isUserInGroup status is empty!", "NA,NA"},
                      VerdictCase{"EmptyStatus", R"({"Status":[]})", "isUserInGroup status is empty!", "NA,NA"},
                      VerdictCase{"StatusNotAList", R"({"Status":"1"})", "isUserInGroup status is empty!", "NA,NA"},
                      VerdictCase{"NotJson", "<html>", "isUserInGroup status is empty!", "NA,NA"},
                      VerdictCase{"UploadFails", R"({"Status":[1,0]})", "", "Valid,InValid", kQueries, true},
                      VerdictCase{"QueryMissing", R"({"Status":[1]})", "", "NA,Valid", kOneUnusable},
                      VerdictCase{"QueryMissingSessionEnded", "terminated", "", "NA,NA", kOneUnusable},
                      // What the server puts in "UserStatus" is no answer: the host's verdicts count.
                      VerdictCase{"ServerStatusIsNoAnswer", R"({"Status":[1,0]})", "", "Valid,InValid",
                                  R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,"ADUpdates":[)"
                                  R"({"ADSelectQuery":"CN=A","UserStatus":"Valid"},{"ADSelectQuery":"CN=B","UserStatus":7}]})"}),
    [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

TEST(DirectoryQueriesTest, NoUsableQueryClosesTheBatchAtOnce) {
  ExecutorHarness h;
  h.transport->Answer(GET_AD_QUERY_REQ, R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,)"
                                        R"("ADUpdates":[{"QueryId":6},7]})");
  h.Push(GET_AD_QUERY_REQ);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.listener.Count(14), 0);
  auto uploads = h.transport->CallsOf(AD_UPDATES_REQ);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(web::json::value::parse(uploads[0].body).serialize(),
            R"({"ADUpdates":[{"QueryId":6,"UserStatus":"NA"},{"UserStatus":"NA"}]})");
  EXPECT_FALSE(h.executor->PendingADQueries().is_array()) << "the batch is over";
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CountOf(GET_UPDATES_REQ), 1) << "the update check goes on";
}

TEST(DirectoryQueriesTest, OneBatchAtATime) {
  ExecutorHarness h;
  h.transport->AnswerAlways(GET_AD_QUERY_REQ, kQueries);
  h.Push(GET_AD_QUERY_REQ);
  h.Push(GET_AD_QUERY_REQ);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.listener.Count(14), 1);
  EXPECT_TRUE(h.logger->Has("isUserInGroup check is in progress. Ignoring!"));
}

TEST(DirectoryQueriesTest, NoAnswerEndsTheUpdateCheck) {
  ExecutorHarness h;
  h.executor->SetFlags(true, true, false);  // a heart beat reported updates and queries
  h.Push(GET_AD_QUERY_REQ);                 // answered with nothing
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.listener.Codes(), std::vector<int>{4});
}

TEST(DirectoryQueriesTest, EmptyListContinuesAtOnceAndRefusalFails) {
  ExecutorHarness idle;
  idle.transport->Answer(GET_AD_QUERY_REQ,
                         R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true,"ADUpdates":[]})");
  idle.Push(GET_AD_QUERY_REQ);
  ASSERT_TRUE(idle.Settle());
  EXPECT_EQ(idle.listener.Codes(), std::vector<int>{4}) << "nothing pending: the check ends";
  idle.transport->Answer(GET_AD_QUERY_REQ, R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":false})");
  idle.Push(GET_AD_QUERY_REQ);
  ASSERT_TRUE(idle.Settle());
  EXPECT_TRUE(idle.logger->Has("Getting updates failed"));
}

}  // namespace
