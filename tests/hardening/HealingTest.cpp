// Faults that heal by themselves, at the executor: server values, update checks, the queue, start and stop.
#include <gtest/gtest.h>

#include <cerrno>

#include "AesGcmCipher.h"
#include "AtomicFile.h"
#include "CQLResponse.h"
#include "CRestClientFactory.h"
#include "FileConfigurationManager.h"
#include "IAgentUtils.h"
#include "RestRequestType.h"
#include "UpdatesDownload.h"
#include "support/ScratchFolder.h"
#include "support/ExecutorHarness.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;
using fennic_test::Message;

namespace {

const std::string kOk = R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true})";
std::string Accepted(const std::string& body) { return R"({"validateResponse":true,"ResponseBody":)" + body + "}"; }
std::string Registered(const std::string& token) {
  return R"({"ResposeCommand":0,"validateResponse":true,"Token":")" + token + R"(","DeviceInfoURL":"","ResponseBody":{}})";
}
std::shared_ptr<IQLResponse> Processor(std::shared_ptr<IConfigurationManager> config) {
  return std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                       std::make_shared<UpdatesDownload>(config));
}

using RefusalCase = std::tuple<const char*, int, std::string, const char*>;  // name, type, answer, log line
class StoredValueRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(StoredValueRefusalTest, ARefusedValueKeepsThePreviousOneAndTheHandlerGoesOn) {
  const auto& [name, type, answer, log] = GetParam();
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.transport->Answer(type, answer);
  if (type == HEART_BEAT_REQ) h.executor->ManageHeartBeat();
  else h.executor->ManageAgentRegistration(Message(AGENT_REGISTRATION_REQ, R"({"TenantID":"t"})"));
  EXPECT_EQ(h.executor->TenantValue("URL"), "https://server.test");
  EXPECT_EQ(h.executor->Token() + h.config->token, L"token-1token-1");
  EXPECT_EQ(h.logger->FirstStartingWith(log).level, 3) << log;
  // A heart beat goes on; a registration without a usable token fails (0).
  EXPECT_EQ(h.listener.Count(type == HEART_BEAT_REQ ? 17 : 0), 1) << "the handler's outcome";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, StoredValueRefusalTest,
    ::testing::Values(
        RefusalCase{"EndPointNumber", 3, Accepted(R"({"BackendEndPoint":12345})"), "BackendEndPoint refused (not an"},
        RefusalCase{"EndPointOtherScheme", 3, Accepted(R"({"BackendEndPoint":"ftp://h/x"})"), "BackendEndPoint refused (not an"},
        RefusalCase{"EndPointEmpty", 3, Accepted(R"({"BackendEndPoint":""})"), "BackendEndPoint refused (empty"},
        RefusalCase{"EndPointHuge", 3, Accepted(R"({"BackendEndPoint":"https://)" + std::string(4096, 'h') + R"("})"),
                    "BackendEndPoint refused (longer"},
        RefusalCase{"EndPointPlainHttpAbroad", 3, Accepted(R"({"BackendEndPoint":"http://moved.test/x"})"),
                    "BackendEndPoint refused (plain HTTP refused"},
        RefusalCase{"EndPointPortBeyondRange", 3, Accepted(R"({"BackendEndPoint":"https://moved.test:70000/x"})"),
                    "BackendEndPoint refused (invalid server address"},
        RefusalCase{"TokenHuge", 2, Registered(std::string(9000, 't')), "Registration failed: the server's token was refused (longer than 8192"},
        RefusalCase{"TokenWithLineBreak", 2, Registered(R"(a\r\nX: 1)"), "Registration failed: the server's token was refused (holds characters"}),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

class UpdateCheckEndsTest : public ::testing::TestWithParam<std::pair<const char*, void (*)(ExecutorHarness&)>> {};

TEST_P(UpdateCheckEndsTest, TheCheckEndsAndTheNextHeartBeatRunsAWholeOne) {
  ExecutorHarness::Options options;
  options.makeResponseProcessor = [](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) { return Processor(config); };
  ExecutorHarness h(options);
  const std::string emptyList = fennic_test::AcceptedUpdateAnswer(R"({"Updates":[],"ConfigurationUpdates":[]})");
  h.transport->AnswerAlways(HEART_BEAT_REQ, Accepted(R"({"HasUpdates":false})"));
  h.transport->AnswerAlways(GET_ALL_UPDATES_REQ, emptyList);
  GetParam().second(h);
  h.executor->SetClientState(1);
  h.Push(GET_ALL_UPDATES_REQ, "host");  // a host's request: sets the once-only flag
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{9, 4}));
  // The fault is gone: a heart beat in an update check asks for the full list, which ends the check.
  h.config->ClearThrows();
  h.transport->OnRequest(GET_ALL_UPDATES_REQ, [&](const std::string&) { return emptyList; });
  h.executor->SetClientState(1);
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.listener.WaitFor(4, 2));
  EXPECT_EQ(h.transport->CountOf(GET_ALL_UPDATES_REQ), 2);
}

template <typename Failure>
void Throw(ExecutorHarness& h) {
  h.transport->OnRequest(GET_ALL_UPDATES_REQ, [](const std::string&) -> std::string { throw Failure("x"); });
}
INSTANTIATE_TEST_SUITE_P(
    Failures, UpdateCheckEndsTest,
    ::testing::Values(std::make_pair("StoreWriteFails", +[](ExecutorHarness& h) { h.config->ThrowOn("WriteJsonFile", 2); }),
                      std::make_pair("SystemError", &Throw<std::ios_base::failure>),  // a std::system_error
                      std::make_pair("OtherException", &Throw<std::runtime_error>)),
    [](const auto& info) { return std::string(info.param.first); });

// A store that keeps asking for the full list (code 0): one resynchronisation
// per heart beat, not a storm of full lists.
TEST(ResyncTest, AStoreThatKeepsAskingGetsOneFullListPerHeartBeat) {
  ExecutorHarness::Options options;
  options.makeResponseProcessor = [](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) { return Processor(config); };
  ExecutorHarness h(options);
  h.config->ThrowOn("ReadJsonFile", 0);
  const std::string update = fennic_test::UpdateDescription(8, R"("UpdatesURL":"https://s.test/p8.bin")");
  h.transport->AnswerAlways(GET_ALL_UPDATES_REQ, fennic_test::AcceptedUpdateAnswer(R"({"Updates":[)" + update + "]}"));
  h.transport->AnswerAlways(HEART_BEAT_REQ, Accepted(R"({"HasUpdates":false})"));
  for (const int type : {GET_ALL_UPDATES_REQ, HEART_BEAT_REQ, GET_ALL_UPDATES_REQ}) {
    h.Push(type, type == GET_ALL_UPDATES_REQ ? "host" : "");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(h.Settle());
  }
  EXPECT_EQ(h.transport->CountOf(GET_ALL_UPDATES_REQ), 4) << "each host request and one resynchronisation each";
  EXPECT_EQ(h.logger->Count("Full list asked for again before the next heart beat; not sent"), 2);
}

struct ThrowOnTake : ILogManager {  // throws once, on the take's size line
  void Log(int, const std::string&, const std::string& text) override {
    if (text.rfind("Got new message", 0) == 0 && fail) std::exchange(fail, nullptr)();
  }
  void (*fail)();
};

TEST(QueueTakeTest, AThrowingLoggerLeavesTheMessageQueued) {
  for (auto fail : {+[] { throw std::system_error(std::make_error_code(std::errc::io_error)); },
                    +[] { throw std::bad_exception(); }}) {
    auto logger = std::make_shared<ThrowOnTake>();
    logger->fail = fail;
    IAgentUtils::setLogManager(logger);
    RestMsgQueue::releaseInstance();
    RestMsgQueue::getInstance()->pushMsg(Message(HEART_BEAT_REQ));
    EXPECT_EQ(RestMsgQueue::getInstance()->getNextRestMsg().getType(), 0);
    EXPECT_EQ(RestMsgQueue::getInstance()->getNextRestMsg().getType(), HEART_BEAT_REQ) << "the message was lost";
  }
  RestMsgQueue::releaseInstance();
  IAgentUtils::setLogManager(nullptr);
}

TEST(StartHealingTest, AnUnusableAddressAndAMalformedListAreSetAsideAndANewUpdateIsAcknowledged) {
  ScratchFolder folder;
  fennic_test::ServicesScope services;
  services::ServiceSettings settings{folder.path, folder.path, "http://127.0.0.1:9", "t1", {"P100"}, "1", true};
  auto cipher = std::make_shared<services::AesGcmCipher>(folder / "agent.key");
  auto config = std::make_shared<services::FileConfigurationManager>(settings, cipher, services.logger);
  IAgentUtils::setEncryptDecrypt(cipher);
  auto transport = std::make_shared<fennic_test::ScriptedTransport>();
  CRestClientFactory::setRestClient(transport);
  services::AtomicFile::Write(folder / "TenantConfiguration.dat", cipher->Encrypt(R"({"URL":"http://moved.test:8080/api","TenantID":"t1"})"));
  ScratchFolder::Put(folder / "Update.dat", "[1,2");  // torn
  config->SaveToken(L"token-1");
  transport->AnswerAlways(DOWNLOAD_FILES, R"({"StatusCode":200})");
  const std::string update = fennic_test::UpdateDescription(41, R"("UpdatesURL":"https://s.test/p41.bin")");
  transport->Answer(GET_ALL_UPDATES_REQ, fennic_test::AcceptedUpdateAnswer(R"({"ConfigurationUpdates":[],"Updates":[)" + update + "]}"));
  CRestExecutor executor(config, Processor(config), transport);
  executor.LoadTenantConfiguration();
  EXPECT_EQ(transport->Endpoints().back().first, L"http://127.0.0.1:9");
  EXPECT_EQ(services.logger->FirstStartingWith("Stored server address set aside (plain HTTP refused").level, 3);
  RestMsgQueue::getInstance()->pushMsg(Message(GET_ALL_UPDATES_REQ));
  const bool acknowledged = transport->WaitForCalls(DOWNLOAD_STATUS_REQ, 1);
  executor.Shutdown();
  CRestClientFactory::setRestClient(nullptr);
  ASSERT_TRUE(acknowledged);
  const std::string ack = transport->CallsOf(DOWNLOAD_STATUS_REQ)[0].body;
  EXPECT_NE(ack.find(R"("Status":"Success")"), std::string::npos) << ack;
  EXPECT_NE(ack.find(R"("UpdateSchedulerId":41)"), std::string::npos) << ack;
  EXPECT_EQ(ScratchFolder::Slurp(folder / "Update.dat.corrupt"), "[1,2");
}

// The guard drops a queued download (the token went meanwhile): the entry
// leaves the list with its reason and the check ends, instead of holding
// every later check open.
TEST(GuardDropTest, ADroppedDownloadLeavesTheListAndEndsTheCheck) {
  ExecutorHarness::Options options;
  options.makeResponseProcessor = [](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) { return Processor(config); };
  ExecutorHarness h(options);
  h.StopWorkerForDirectCalls();
  h.DrainQueue();
  h.config->supportedProducts = {L"P100"};
  h.executor->ConstructDownloads("[" + fennic_test::UpdateDescription(41, R"("UpdatesURL":"https://s.test/p41.bin")") + "]", 0);
  h.executor->SetToken(L"");
  h.executor->HandleNextMessage();
  EXPECT_EQ(h.listener.CodeList(), "4");
  const auto queued = h.DrainQueue();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].getData(), R"([{"Reason":"download details answer is empty","Status":"Failed","UpdateSchedulerId":41,"UploadID":1041}])");
}

// A download list still held after the executor's shutdown queues nothing:
// a push would make a fresh queue that no worker reads.
TEST(QueueGateTest, ADownloadListHeldAfterShutdownQueuesNothing) {
  std::shared_ptr<UpdatesDownload> downloads;
  ExecutorHarness::Options options;
  options.makeResponseProcessor = [&](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) {
    downloads = std::make_shared<UpdatesDownload>(config);
    return std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(), downloads);
  };
  ExecutorHarness h(options);
  h.config->supportedProducts = {L"P100"};
  h.Shutdown();
  downloads->ConstructDownloadObject(
      web::json::value::parse("[" + fennic_test::UpdateDescription(41, R"("UpdatesURL":"https://s.test/p41.bin")") + "]"), false);
  EXPECT_TRUE(h.logger->Has("Not queued: the executor is shut down", "UpdatesDownload::Push"));
  EXPECT_TRUE(fennic_test::TakeQueuedMessages().empty());
}

TEST(DrainQueueTest, ReportsQueuedAtTheBoundAreSentOnceAfterTheNextStart) {
  ExecutorHarness h;
  std::vector<std::pair<int, std::string>> sent;
  for (int i = 0; i < 6; ++i) {
    sent.push_back({DOWNLOAD_STATUS_REQ, "[" + std::to_string(i) + "]"});
    sent.push_back({i % 2 ? CONFIG_ACK_REQ : CANCEL_RECEIVED_ACK_REQ, "ack-" + std::to_string(i)});
    sent.push_back({DEVICE_UPDATE_STATUS_REQ, R"({"DeviceID":"d)" + std::to_string(i) +
                                                  R"(","Updatestatus":"S","Reason":"","UploadID":1,"UpdateSchedularID":7})"});
  }
  for (const auto& [type, data] : sent) {  // a slow server
    h.transport->OnRequest(type, [](const std::string&) { return std::this_thread::sleep_for(std::chrono::milliseconds(20)), kOk; });
    h.Push(type, data);
  }
  EXPECT_FALSE(h.executor->DrainQueue(std::chrono::milliseconds(50)));
  h.Shutdown();

  auto transport = std::make_shared<fennic_test::ScriptedTransport>();
  transport->AnswerAlways(HEART_BEAT_REQ, Accepted(R"({"HasUpdates":false})"));
  CRestExecutor next(h.config, std::make_shared<fennic_test::RecordingResponseProcessor>(), transport);
  next.LoadTenantConfiguration();
  RestMsgQueue::getInstance()->pushMsg(Message(HEART_BEAT_REQ));  // re-sends the stored status reports
  EXPECT_TRUE(next.DrainQueue(std::chrono::seconds(5)));
  next.Shutdown();
  std::map<std::pair<int, std::string>, int> seen;
  for (const auto& calls : {h.transport->Calls(), transport->Calls()})
    for (const auto& call : calls)
      if (call.type != HEART_BEAT_REQ) ++seen[{call.type, call.body}];
  for (const auto& report : sent) EXPECT_EQ(seen[report], 1) << report.first << " " << report.second;
  EXPECT_EQ(seen.size(), sent.size());
}

TEST(DrainQueueTest, OnlyUsableKeptAcknowledgementsAreQueuedAgainAndCounted) {
  ExecutorHarness h;
  {
    auto hold = h.config->Lock();
    h.config->jsonFiles["PendingAcks.dat"] = web::json::value::parse(R"([{"Type":11,"Data":"[1]"},{"Type":3,"Data":"x"},7])");
  }
  h.executor->LoadTenantConfiguration();
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->Types(), std::vector<int>{DOWNLOAD_STATUS_REQ});
  EXPECT_TRUE(h.logger->Has("Queued again: 1 kept acknowledgement(s)"));
  EXPECT_EQ(h.logger->Count("Kept acknowledgement dropped, not usable: 7"), 1);
}

// The disk is full at the stop: nothing reaches the host, and the line says
// what was kept, no more.
TEST(DrainQueueTest, AStoreThatFailsAtTheStopClaimsOnlyWhatItKept) {
  const std::string report = R"({"DeviceID":"d1","Updatestatus":"S","Reason":"","UploadID":1,"UpdateSchedularID":7})";
  const struct {
    const char *failing, *kept;
    std::size_t acks, reports;
  } cases[] = {{"WriteSilentUpdates", "1 acknowledgement(s), 0 update", 1, 0},
               {"WriteJsonFile", "0 acknowledgement(s), 1 update", 0, 1}};
  for (const auto& c : cases) {
    ExecutorHarness h;
    h.StopWorkerForDirectCalls();
    h.DrainQueue();
    h.config->ThrowOn(c.failing, -ENOSPC, "disk full");
    h.Push(DOWNLOAD_STATUS_REQ, "[1]");
    h.Push(DEVICE_UPDATE_STATUS_REQ, report);
    EXPECT_FALSE(h.executor->DrainQueue(std::chrono::milliseconds(10)));
    h.Shutdown();
    EXPECT_TRUE(h.logger->Has(std::string("Kept for the next start: ") + c.kept + " status report(s)")) << c.failing;
    EXPECT_EQ(h.logger->FirstStartingWith(c.acks ? "Update status report not stored: disk full" : "Not kept: 1 acknowledgement(s) (disk full").level, 3);
    const auto& acks = h.config->jsonFiles["PendingAcks.dat"];
    EXPECT_EQ(acks.is_array() ? acks.size() : 0, c.acks) << c.failing;
    EXPECT_EQ(h.config->silentUpdates[0].size() + h.config->silentUpdates[1].size(), c.reports) << c.failing;
  }
}

}  // namespace
