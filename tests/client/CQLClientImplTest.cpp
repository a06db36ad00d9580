#include "CQLClientImpl.h"

#include <gmock/gmock.h>

#include <stdexcept>

#include "TextConversion.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

struct CodeCase {
  int code;
  std::string data;
  int queuedType;  // -1: nothing queued
  int result;
};

class SendRequestTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(SendRequestTest, QueuesTheMappedTypeWithTheHostsText) {
  const CodeCase& c = GetParam();
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.DrainQueue();  // the stop message
  CQLClientImpl client(h.executor, h.transport, h.config);
  EXPECT_EQ(client.SendRequest(c.code, c.data), c.result);
  auto queued = h.DrainQueue();
  if (c.queuedType < 0) {
    EXPECT_TRUE(queued.empty());
  } else {
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].getType(), c.queuedType);
    EXPECT_EQ(queued[0].getData(), c.data);
  }
  EXPECT_EQ(h.logger->Count("RestCallType : " + std::to_string(c.code), "CQLClientImpl::SendRequest"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SendRequestTest,
    ::testing::Values(CodeCase{1, "", 3, 0}, CodeCase{2, "{\"Device\":\"H\xC3\xA9\"}", 4, 0}, CodeCase{3, "{}", 5, 0},
                      CodeCase{4, "[1]", 8, 0}, CodeCase{6, "", 9, 0}, CodeCase{7, "{\"u\":1}", 21, 0},
                      CodeCase{8, "{\"DeviceID\":\"d\"}", 7, 0}, CodeCase{9, "fwd", 15, 0}, CodeCase{10, "", 6, 0},
                      CodeCase{11, "{}", 17, 0}, CodeCase{12, "[]", 19, 0}, CodeCase{13, "x", 24, 0},
                      CodeCase{14, "{}", 20, 0}, CodeCase{15, "{\"Status\":[1]}", 25, 0}, CodeCase{17, "", 26, 0},
                      CodeCase{18, "", 27, 0}, CodeCase{19, "", 28, 0}, CodeCase{20, "ignored", -1, 1},
                      CodeCase{-1, "", -1, 1}, CodeCase{99, "", -1, 1}),
    [](const ::testing::TestParamInfo<CodeCase>& info) {
      return info.param.code < 0 ? "CodeMinus" + std::to_string(-info.param.code) : "Code" + std::to_string(info.param.code);
    });

TEST(CQLClientImplTest, ImmediateCodesAndTokenlessResult) {
  ExecutorHarness::Options options;
  options.registered = false;
  ExecutorHarness h(options);
  h.StopWorkerForDirectCalls();
  h.DrainQueue();
  CQLClientImpl client(h.executor, h.transport, h.config);

  EXPECT_EQ(client.SendRequest(16, " -2x"), 1);
  EXPECT_EQ(h.executor->ClientState(), -2) << "leading blanks and sign read, trailing text ignored";
  EXPECT_EQ(client.SendRequest(16, " 1"), 1);
  EXPECT_EQ(h.executor->ClientState(), 1);
  using testing::ThrowsMessage, testing::StrEq;
  EXPECT_THAT([&] { client.SendRequest(16, "99999999999"); },
              ThrowsMessage<std::out_of_range>(StrEq("stoi argument out of range")));
  EXPECT_THAT([&] { client.SendRequest(16, "x"); }, ThrowsMessage<std::invalid_argument>(StrEq("invalid stoi argument")));
  EXPECT_EQ(client.SendRequest(5, "[{\"UpdateSchedulerId\":4}]"), 1);
  // Code 5 with a text that is not JSON: no exception, nothing handed on, one level-3 line.
  EXPECT_EQ(client.SendRequest(5, "{not json"), 1);
  EXPECT_EQ(h.logger->FirstStartingWith("Not a list of update descriptions, nothing queued: ").level, 3);
  ASSERT_FALSE(h.recordingProcessor->Calls().empty());
  EXPECT_EQ(h.recordingProcessor->Calls().back(), "ConstructDownloads:all:[{\"UpdateSchedulerId\":4}]");
  EXPECT_TRUE(h.DrainQueue().empty()) << "codes 5 and 16 queue nothing";

  // Registration ignores the host's text and queues the body it builds; 2
  // because no token is held yet.
  EXPECT_EQ(client.SendRequest(0, "ignored"), 2);
  auto queued = h.DrainQueue();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].getType(), 2);
  auto body = web::json::value::parse(queued[0].getData());
  EXPECT_EQ(body.at("TenantID").as_string(), "tenant-1");
  EXPECT_EQ(body.at("AgentDetails").serialize(), h.config->registrationAgentDetails.serialize());
  EXPECT_EQ(body.at("MachineDetails").serialize(), h.config->machineDetails.serialize());
  EXPECT_EQ(body.at("UserDetails").serialize(), h.config->userDetails.serialize());
  EXPECT_TRUE(h.logger->Has("Inside SendAgentRegMsg", "CQLClientImpl::SendAgentRegMsg"));

  // A store that fails while the details are read (a full disk, a store's own
  // error): nothing reaches the host, and the registration still goes out.
  for (const int code : {-ENOSPC, 3}) {
    h.config->ThrowOn("GetMachineDetails", code, "store failed");
    EXPECT_EQ(client.SendRequest(0, ""), 2) << code;
    EXPECT_EQ(h.DrainQueue().size(), 1u) << code;
  }
  EXPECT_EQ(h.logger->Count("Registration details not read: store failed"), 1) << "the errno's text follows";
  EXPECT_EQ(h.logger->FirstStartingWith("Registration details not read: store failed").level, 3);
}

// The pass-throughs to the executor in every state are in the misuse table
// (FactoriesTest); here the calls that need only the transport.
TEST(CQLClientImplTest, VoicePromptVersionOnCallersThread) {
  ExecutorHarness h;
  CQLClientImpl client(h.executor, h.transport, h.config);
  EXPECT_EQ(CQLClientImpl(h.executor, nullptr, h.config).QueryTransportValue(3), L"");
  h.transport->Answer(23, R"({"validateResponse":true,"VPVersion":"4.2"})");
  EXPECT_EQ(client.RequestVoicePromptVersion(L"VP1", "Head Set Pro", "1.0"), "4.2");
  auto sent = web::json::value::parse(h.transport->CallsOf(23).at(0).body);
  EXPECT_EQ(sent.at("DeviceName").as_string(), "Head_Set_Pro");
  EXPECT_EQ(sent.at("RequiredVP").as_string(), "VP1");

  h.transport->Answer(23, R"({"validateResponse":false})");
  EXPECT_EQ(client.RequestVoicePromptVersion(L"VP1", "d", "1"), "");
  EXPECT_TRUE(h.logger->Has("Invalid Response", "CQLClientImpl::RequestVoicePromptVersion"));
  h.transport->Answer(23, "");
  EXPECT_EQ(client.RequestVoicePromptVersion(L"VP1", "d", "1"), "");
  EXPECT_TRUE(h.logger->Has("Response is empty"));
  h.transport->Answer(23, R"({"validateResponse":true})");
  EXPECT_EQ(client.RequestVoicePromptVersion(L"VP1", "d", "1"), "") << "a missing version is a JSON error";
  h.transport->FailWithHttpError(23);
  EXPECT_EQ(client.RequestVoicePromptVersion(L"VP1", "d", "1"), "");
}

TEST(CQLClientImplTest, DownloadVoicePromptFileRefusesUnsafeNames) {
  ExecutorHarness h;
  CQLClientImpl client(h.executor, h.transport, h.config);
  client.DownloadVPfile("https://server.test/vp/a.bin");
  EXPECT_TRUE(h.logger->Has("deviceInfoUrl is null, so not attempting to download the file"));
  EXPECT_TRUE(h.transport->Downloads().empty());

  h.config->deviceInfoUrl = L"https://server.test/info";
  h.config->firmwareFolder = ::testing::TempDir() + "vp";
  client.DownloadVPfile("https://server.test/vp/a.bin");
  ASSERT_EQ(h.transport->Downloads().size(), 1u);
  EXPECT_EQ(h.transport->Downloads()[0].localPath, ToWide(h.config->firmwareFolder + "/a.bin"));
  EXPECT_EQ(h.transport->CallsOf(12).at(0).body, R"({"DownloadUrl":"https://server.test/vp/a.bin"})");

  for (const std::string& bad : std::vector<std::string>{"https://server.test/vp/..", "https://server.test/vp/",
                                                         "https://s/a\\..\\b", std::string("https://s/a\0b", 13)}) {
    client.DownloadVPfile(bad);
  }
  EXPECT_EQ(h.transport->Downloads().size(), 1u) << "no unsafe name reaches the transport";
  EXPECT_EQ(h.logger->Count("Refused unsafe file name in address : https://server.test/vp/.."), 1);
}

}  // namespace
