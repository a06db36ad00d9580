// Every handler that reads the answer envelope itself refuses an answer whose
// server reports an error or an unknown command: one level-5 line, and no
// store, list or host file changed.
#include <gtest/gtest.h>

#include <fstream>

#include "CQLResponse.h"
#include "RestRequestType.h"
#include "UpdatesDownload.h"
#include "support/ExecutorHarness.h"
#include "support/ScratchFolder.h"

using namespace zelvan::fennic;
using web::json::value;

namespace {

struct Handler { const char* name; int type; std::string where; };  // where: of the level-5 line
const std::string kProcessor = "CQLResponse::", kDispatcher = "CRestExecutor::ExecuteRestCall";

class EnvelopeRejectionTest : public ::testing::TestWithParam<std::tuple<Handler, bool>> {};

TEST_P(EnvelopeRejectionTest, LogsOnceAtLevel5AndChangesNoStore) {
  const auto& [handler, unknownCommand] = GetParam();
  fennic_test::ExecutorHarness::Options options;
  options.makeResponseProcessor = [](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) {
    return std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                         std::make_shared<UpdatesDownload>(config));
  };
  fennic_test::ExecutorHarness h(options);
  // Accepted, this body would empty every store and cancel every stored entry.
  const std::string entries = R"([{"UpdateSchedulerId":1,"UploadID":101,"downloadStatus":true}])";
  h.config->jsonFiles["Config.dat"] = h.config->jsonFiles["Update.dat"] = h.config->silentUpdates[0] =
      value::parse(entries);
  const ScratchFolder folder;  // rows run side by side under ctest
  const std::string file = folder / "rejected-calls.json";
  std::ofstream(file) << "calls";
  h.transport->Answer(handler.type, std::string(R"({"validateResponseStatus":)") + (unknownCommand ? "true" : "false") +
                                        R"(,"ResposeCommand":45,"validateResponse":true,"ErrorMessage":"",)"
                                        R"("validateResponseFromServer":true,"ResponseBody":{"Updates":[],)"
                                        R"("ConfigurationUpdates":[],"CancelledUpdates":)" + entries +
                                        R"(,"CancelledConfigs":)" + entries + "}}");
  h.Push(handler.type, R"({"FileInfo":")" + file + R"(","CallData":{}})");
  ASSERT_TRUE(h.Settle());
  std::vector<std::string> errors;
  for (const auto& l : h.logger->Lines())
    if (l.level >= 4) errors.push_back(std::to_string(l.level) + " " + l.where + " " + l.text);
  EXPECT_EQ(errors, std::vector<std::string>{"5 " + handler.where + " " +
                                             (unknownCommand ? "Unknown Command received from server"
                                                             : "Server throws Exception")});
  auto hold = h.config->Lock();
  EXPECT_EQ(h.config->jsonWrites, 0);
  for (const value* store : {&h.config->jsonFiles["Config.dat"], &h.config->jsonFiles["Update.dat"],
                             &h.config->silentUpdates[0]})
    EXPECT_EQ(store->serialize(), value::parse(entries).serialize());
  EXPECT_EQ(h.config->CountOf("WriteSilentUpdates"), 0);
  EXPECT_TRUE(std::ifstream(file).good()) << "the host's call-duration file was deleted";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, EnvelopeRejectionTest,
    ::testing::Combine(
        ::testing::Values(Handler{"GetUpdates", GET_UPDATES_REQ, kProcessor + "ProcessGetUpdtResponse"},
                          Handler{"GetAllUpdates", GET_ALL_UPDATES_REQ, kProcessor + "ProcessGetUpdtResponse"},
                          Handler{"CancelUpdate", CANCEL_UPDATE_REQ, kProcessor + "ProcessGetCancelResponse"},
                          Handler{"Softphones", SOFTPHONE_DETAILS_REQ, kDispatcher},
                          Handler{"CallDuration", CALL_DURATION_REQ, kDispatcher}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<Handler, bool>>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "UnknownCommand" : "ServerError");
    });

}  // namespace
