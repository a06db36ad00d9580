// Faults that must heal by themselves: refused server values, an update
// check that a failure leaves, a logger that throws inside the queue's take,
// a stored list of the wrong shape, and a stop with reports still queued.
#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "AesGcmCipher.h"
#include "AgentException.h"
#include "AtomicFile.h"
#include "CQLResponse.h"
#include "CRestClientFactory.h"
#include "FileConfigurationManager.h"
#include "IAgentUtils.h"
#include "RestRequestType.h"
#include "TextConversion.h"
#include "UpdatesDownload.h"
#include "services/ScratchFolder.h"
#include "support/ExecutorHarness.h"
#include "updates/UpdateAnswers.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;
using fennic_test::TestableExecutor;

namespace {

std::string Accepted(const std::string& body) { return R"({"validateResponse":true,"ResponseBody":)" + body + "}"; }

std::string Registered(const std::string& token) {
  return R"({"ResposeCommand":0,"validateResponse":true,"Token":")" + token +
         R"(","DeviceInfoURL":"https://dev.test","ResponseBody":{}})";
}

// --- values an answer hands over ---------------------------------------------

struct RefusalCase {
  const char* name;
  int type;
  std::string answer;
  const char* reason;
  int goesOnEvent;  // raised only when the handler went on past the refusal
};

class StoredValueRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(StoredValueRefusalTest, ARefusedValueKeepsThePreviousOneAndTheHandlerGoesOn) {
  const RefusalCase& c = GetParam();
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.transport->Answer(c.type, c.answer);
  if (c.type == HEART_BEAT_REQ) {
    h.executor->ManageHeartBeat();
  } else {
    RestMessage message;
    message.setType(AGENT_REGISTRATION_REQ);
    const std::string body = R"({"TenantID":"tenant-1"})";
    message.setData(body.data(), body.size());
    h.executor->ManageAgentRegistration(message);
  }
  EXPECT_EQ(h.executor->TenantValue("URL"), "https://server.test");
  EXPECT_EQ(h.executor->Token(), L"token-1");
  EXPECT_EQ(h.config->token, L"token-1");
  const auto line = h.logger->FirstStartingWith(c.type == HEART_BEAT_REQ ? "BackendEndPoint refused (" : "Token refused (");
  EXPECT_EQ(line.level, 3);
  EXPECT_NE(line.text.find(c.reason), std::string::npos) << line.text;
  EXPECT_EQ(h.listener.Count(c.goesOnEvent), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, StoredValueRefusalTest,
    ::testing::Values(
        RefusalCase{"EndPointNumber", HEART_BEAT_REQ, Accepted(R"({"BackendEndPoint":12345})"), "not an absolute", 17},
        RefusalCase{"EndPointOtherScheme", HEART_BEAT_REQ, Accepted(R"({"BackendEndPoint":"ftp://h.test/x"})"),
                    "not an absolute", 17},
        RefusalCase{"EndPointEmpty", HEART_BEAT_REQ, Accepted(R"({"BackendEndPoint":""})"), "empty", 17},
        RefusalCase{"EndPointNoHost", HEART_BEAT_REQ, Accepted(R"({"BackendEndPoint":"https://"})"), "no host", 17},
        RefusalCase{"EndPointHuge", HEART_BEAT_REQ,
                    Accepted(R"({"BackendEndPoint":"https://)" + std::string(4096, 'h') + R"("})"), "longer than", 17},
        RefusalCase{"TokenHuge", AGENT_REGISTRATION_REQ, Registered(std::string(9000, 't')), "longer than", 1},
        RefusalCase{"TokenWithSpace", AGENT_REGISTRATION_REQ, Registered("a b"), "cannot carry", 1},
        RefusalCase{"TokenWithLineBreak", AGENT_REGISTRATION_REQ, Registered(R"(a\r\nX-Evil: 1)"), "cannot carry",
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the update check ends whatever leaves a handler ---------------------------

struct LeftHandlerCase {
  const char* name;
  std::function<void(ExecutorHarness&)> fail;
};

class UpdateCheckEndsTest : public ::testing::TestWithParam<LeftHandlerCase> {};

ExecutorHarness::Options WithRealProcessor() {
  ExecutorHarness::Options options;
  options.makeResponseProcessor = [](std::shared_ptr<fennic_test::MemoryConfigurationManager> config) {
    return std::make_shared<CQLResponse>(config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                         std::make_shared<UpdatesDownload>(config));
  };
  return options;
}

TEST_P(UpdateCheckEndsTest, TheCheckEndsAndTheNextHeartBeatRunsAWholeOne) {
  ExecutorHarness h(WithRealProcessor());
  const std::string emptyList = fennic_test::AcceptedUpdateAnswer(R"({"Updates":[],"ConfigurationUpdates":[]})");
  h.transport->AnswerAlways(GET_ALL_UPDATES_REQ, emptyList);
  h.transport->AnswerAlways(HEART_BEAT_REQ, Accepted(R"({"HasUpdates":false})"));
  GetParam().fail(h);
  h.executor->SetClientState(1);
  h.Push(GET_ALL_UPDATES_REQ, "host");  // a host's request: sets the once-only flag
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{9, 4}));
  EXPECT_FALSE(h.executor->GetAllUpdatesSent());

  // The fault is gone: a heart beat in an update check asks for the full
  // list, which ends the check.
  h.config->ClearThrows();
  h.transport->OnRequest(GET_ALL_UPDATES_REQ, [&](const std::string&) { return emptyList; });
  h.listener.Clear();
  h.executor->SetClientState(1);
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.listener.WaitFor(4));
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.transport->CountOf(GET_ALL_UPDATES_REQ), 2);
  EXPECT_EQ(h.executor->ClientState(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UpdateCheckEndsTest,
    ::testing::Values(
        LeftHandlerCase{"StoreWriteFails", [](ExecutorHarness& h) { h.config->ThrowOn("WriteJsonFile", 2, "disk full"); }},
        LeftHandlerCase{"SystemError",
                        [](ExecutorHarness& h) {
                          h.transport->OnRequest(GET_ALL_UPDATES_REQ, [](const std::string&) -> std::string {
                            throw std::system_error(std::make_error_code(std::errc::no_space_on_device), "write");
                          });
                        }},
        LeftHandlerCase{"OtherException",
                        [](ExecutorHarness& h) {
                          h.transport->OnRequest(GET_ALL_UPDATES_REQ, [](const std::string&) -> std::string {
                            throw std::runtime_error("unexpected");
                          });
                        }}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the queue's take survives its logger ---------------------------------------

template <typename Failure>
class ThrowingOnceLogger : public ILogManager {
 public:
  void Log(int, const std::string&, const std::string& text) override {
    if (!thrown_ && text.rfind("Got new message", 0) == 0) {
      thrown_ = true;
      throw Failure();
    }
  }

 private:
  bool thrown_ = false;
};

struct LockFailure : std::system_error {
  LockFailure() : std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur)) {}
};

template <typename Failure>
void TakeSurvives() {
  IAgentUtils::setLogManager(std::make_shared<ThrowingOnceLogger<Failure>>());
  RestMsgQueue::releaseInstance();
  RestMsgQueue* queue = RestMsgQueue::getInstance();
  RestMessage message;
  message.setType(HEART_BEAT_REQ);
  queue->pushMsg(message);
  EXPECT_EQ(queue->getNextRestMsg().getType(), 0);
  EXPECT_EQ(queue->getNextRestMsg().getType(), HEART_BEAT_REQ) << "the message was lost";
  RestMsgQueue::releaseInstance();
  IAgentUtils::setLogManager(nullptr);
}

TEST(QueueTakeTest, SystemErrorWhileLoggingKeepsTheMessage) { TakeSurvives<LockFailure>(); }
TEST(QueueTakeTest, BadExceptionWhileLoggingKeepsTheMessage) { TakeSurvives<std::bad_exception>(); }

// --- real files -----------------------------------------------------------------

services::ServiceSettings SettingsIn(const ScratchFolder& folder) {
  services::ServiceSettings settings;
  settings.dataFolder = folder.path();
  settings.downloadFolder = folder / "downloads";
  settings.serverUrl = "http://127.0.0.1:9";
  settings.tenantId = "tenant-1";
  settings.supportedProducts = {"P100"};
  std::filesystem::create_directories(settings.downloadFolder);
  return settings;
}

struct FileAgent {
  FileAgent(const ScratchFolder& folder, fennic_test::ServicesScope& services)
      : cipher(std::make_shared<services::AesGcmCipher>(folder / "agent.key")),
        config(std::make_shared<services::FileConfigurationManager>(SettingsIn(folder), cipher, services.logger)) {
    IAgentUtils::setEncryptDecrypt(cipher);
    CRestClientFactory::setRestClient(transport);
  }
  void Start(std::shared_ptr<IQLResponse> processor) {
    executor = std::make_shared<CRestExecutor>(config, processor, transport);
    executor->SetEventListener(&listener);
    executor->LoadTenantConfiguration();
  }
  ~FileAgent() {
    if (executor) executor->Shutdown();
    CRestClientFactory::setRestClient(nullptr);
  }
  std::shared_ptr<services::AesGcmCipher> cipher;
  std::shared_ptr<services::FileConfigurationManager> config;
  std::shared_ptr<fennic_test::ScriptedTransport> transport = std::make_shared<fennic_test::ScriptedTransport>();
  fennic_test::RecordingListener listener;
  std::shared_ptr<CRestExecutor> executor;
};

TEST(StartHealingTest, AnUnusableStoredAddressIsSetAsideOnce) {
  ScratchFolder folder;
  fennic_test::ServicesScope services;
  for (int start = 0; start < 2; ++start) {
    FileAgent agent(folder, services);
    if (start == 0)
      services::AtomicFile::Write(folder / "TenantConfiguration.dat",
                                  agent.cipher->Encrypt(R"({"URL":"12345","TenantID":"tenant-1"})"));
    agent.Start(std::make_shared<fennic_test::RecordingResponseProcessor>());
    EXPECT_EQ(agent.transport->Endpoints().back().first, L"http://127.0.0.1:9") << "start " << start;
  }
  int setAside = 0;
  for (const auto& line : services.logger->Lines())
    if (line.text.rfind("Stored server address set aside (not an absolute http or https address): 12345", 0) == 0 &&
        line.level == 3)
      ++setAside;
  EXPECT_EQ(setAside, 1);
}

TEST(StartHealingTest, AMalformedUpdateListNoLongerBlocksANewUpdate) {
  ScratchFolder folder;
  fennic_test::ServicesScope services;
  FileAgent agent(folder, services);
  ScratchFolder::Put(folder / "Update.dat", "[1,2]");
  agent.config->SaveToken(L"token-1");
  agent.transport->OnDownload([](const fennic_test::DownloadCall& call, std::wstring&) {
    ScratchFolder::Put(ToUtf8(call.localPath), "package");
    return true;
  });
  agent.transport->AnswerAlways(DOWNLOAD_FILES, R"({"StatusCode":200})");
  agent.transport->Answer(
      GET_ALL_UPDATES_REQ,
      fennic_test::AcceptedUpdateAnswer(
          R"({"ConfigurationUpdates":[],"Updates":[{"UpdateSchedulerId":41,"UploadID":1041,"Action":"ScheduleUpdate",)"
          R"("IProduct":"P100","Version":"2","Type":"Firmware","ScheduledTime":"t","updateDeployedTime":"t",)"
          R"("ForceUpdate":"False","UpdatesURL":"https://s.test/p41.bin"}]})"));
  auto downloader = std::make_shared<UpdatesDownload>(agent.config);
  agent.Start(std::make_shared<CQLResponse>(agent.config, std::make_shared<fennic_test::CountingTenantConfig>(),
                                            downloader));
  RestMessage request;
  request.setType(GET_ALL_UPDATES_REQ);
  RestMsgQueue::getInstance()->pushMsg(request);
  ASSERT_TRUE(agent.transport->WaitForCalls(DOWNLOAD_STATUS_REQ, 1));
  const std::string ack = agent.transport->CallsOf(DOWNLOAD_STATUS_REQ)[0].body;
  EXPECT_NE(ack.find(R"("UpdateSchedulerId":41)"), std::string::npos) << ack;
  EXPECT_NE(ack.find(R"("Status":"Success")"), std::string::npos) << ack;
  EXPECT_EQ(ScratchFolder::Slurp(folder / "Update.dat.corrupt"), "[1,2]");
}

// --- a stop loses nothing queued --------------------------------------------------

TEST(DrainQueueTest, ReportsQueuedAtTheBoundAreSentOnceAfterTheNextStart) {
  ExecutorHarness h;
  // A slow server: each report takes a while to be answered.
  for (int type : {DOWNLOAD_STATUS_REQ, CONFIG_ACK_REQ, CANCEL_RECEIVED_ACK_REQ, DEVICE_UPDATE_STATUS_REQ})
    h.transport->OnRequest(type, [](const std::string&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return std::string(R"({"validateResponseStatus":true,"ResposeCommand":0,"validateResponse":true})");
    });
  std::vector<std::pair<int, std::string>> sent;
  for (int i = 0; i < 6; ++i) {
    sent.push_back({DOWNLOAD_STATUS_REQ, R"([{"UploadID":)" + std::to_string(i) + "}]"});
    sent.push_back({i % 2 ? CONFIG_ACK_REQ : CANCEL_RECEIVED_ACK_REQ, "ack-" + std::to_string(i)});
    sent.push_back({DEVICE_UPDATE_STATUS_REQ, R"({"DeviceID":"d)" + std::to_string(i) +
                                                  R"(","Updatestatus":"Success","Reason":"","UploadID":)" +
                                                  std::to_string(i) + R"(,"UpdateSchedularID":7})"});
  }
  for (const auto& [type, data] : sent) h.Push(type, data);
  EXPECT_FALSE(h.executor->DrainQueue(std::chrono::milliseconds(50)));
  h.Shutdown();

  auto transport = std::make_shared<fennic_test::ScriptedTransport>();
  transport->AnswerAlways(HEART_BEAT_REQ, Accepted(R"({"HasUpdates":false})"));
  auto next = std::make_shared<TestableExecutor>(h.config, std::make_shared<fennic_test::RecordingResponseProcessor>(),
                                                 transport);
  next->LoadTenantConfiguration();
  RestMessage beat;
  beat.setType(HEART_BEAT_REQ);  // re-sends the stored update-status reports
  RestMsgQueue::getInstance()->pushMsg(beat);
  EXPECT_TRUE(next->DrainQueue(std::chrono::seconds(5)));
  next->Shutdown();

  std::map<std::pair<int, std::string>, int> seen;
  for (const auto& calls : {h.transport->Calls(), transport->Calls()})
    for (const auto& call : calls)
      if (call.type != HEART_BEAT_REQ) ++seen[{call.type, call.body}];
  for (const auto& report : sent) EXPECT_EQ(seen[report], 1) << report.first << " " << report.second;
  EXPECT_EQ(seen.size(), sent.size());
}

}  // namespace
