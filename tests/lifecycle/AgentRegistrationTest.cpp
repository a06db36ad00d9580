#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <system_error>

#include "RestRequestType.h"
#include "TextConversion.h"
#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;
using fennic_test::ExecutorHarness;

namespace {

constexpr const char* kWhere = "CRestExecutor::ManageAgentRegistration";
const std::string kBody = R"({"TenantID":"tenant-1","AgentDetails":{"AgentVersion":"1.0.0"}})";
const std::string kAccepted =
    R"({"ResposeCommand":0,"validateResponse":true,"Token":"tok-2","DeviceInfoURL":"https://dev.test",)"
    R"("ResponseBody":{"TenantName":"Acme","AgentID":7,"SupportEmail":"help@acme.test"}})";

std::string Masked(const std::string& answer) {
  web::json::value masked = web::json::value::parse(answer);
  masked["Token"] = web::json::value::string("***");
  return masked.serialize();
}

int LevelOf(ExecutorHarness& h, const std::string& text) {
  for (const auto& line : h.logger->Lines())
    if (line.text == text) return line.level;
  return -1;
}

struct AnswerCase {
  const char* name;
  std::string body;
  std::string answer;
  int clientState;
  std::vector<int> events;  // in order
  std::string event3Text;   // text of event 3 when raised
  std::wstring token;       // token held afterwards
  std::vector<std::pair<int, std::string>> logs;  // (level, text) that must appear
  bool accepted = false;                           // "validateResponse" true was read
  std::string tenantName = "";                     // stored before
  int raises = 0;  // the transport raises 1 std::system_error, 2 AgentException, 3 std::bad_exception
};

class RegistrationAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(RegistrationAnswerTest, EventsStateAndLogFollowTheAnswer) {
  const AnswerCase& c = GetParam();
  ExecutorHarness::Options options;
  options.registered = false;
  ExecutorHarness h(options);
  {
    auto hold = h.config->Lock();
    h.config->tenantDetails["CollectData"] = "Full";
  }
  h.executor->SetTenantValue("CollectData", "Full");
  h.executor->SetClientState(c.clientState);
  if (!c.tenantName.empty()) h.executor->SetTenantValue("TenantName", c.tenantName);
  h.config->deviceInfoUrl = L"old";
  if (c.raises)
    h.transport->OnRequest(AGENT_REGISTRATION_REQ, [kind = c.raises](const std::string&) -> std::string {
      if (kind == 1) throw std::system_error(std::make_error_code(std::errc::io_error), "disk gone");
      if (kind == 2) throw AgentException("agent failure");
      throw std::bad_exception();
    });
  if (!c.answer.empty()) h.transport->Answer(AGENT_REGISTRATION_REQ, c.answer);
  h.Push(AGENT_REGISTRATION_REQ, c.body);
  // A registration with an empty TenantID runs without a token and ends
  // with a fixed line: it marks the end of the one under test.
  const std::string ignored = "Agent Registration ignored as TenantID is empty";
  h.Push(AGENT_REGISTRATION_REQ, R"({"TenantID":""})");
  ASSERT_TRUE(h.logger->WaitFor(ignored, c.body == kBody ? 1 : 2));
  h.Shutdown();

  EXPECT_EQ(h.listener.Codes(), c.events);
  for (const auto& e : h.listener.Events()) EXPECT_TRUE(e.code != 3 || e.text == c.event3Text) << e.text;
  EXPECT_EQ(h.executor->Token(), c.token);
  // Token and address are stored together or not at all.
  EXPECT_EQ(h.config->token, c.token);
  EXPECT_EQ(h.config->deviceInfoUrl == L"old", c.token.empty());
  for (const auto& [level, text] : c.logs) EXPECT_EQ(LevelOf(h, text), level) << text;
  EXPECT_EQ(h.logger->Has("Agent Registration Successfull", kWhere), c.accepted) << "the level-6 line: accepted only";
  EXPECT_EQ(h.executor->GetLastSeenOfServer().empty(), !c.accepted);
  // The token is a secret: the answer is logged with "***" in its place.
  for (const auto& line : h.logger->Lines())
    EXPECT_TRUE(c.token.empty() || line.text.find(ToUtf8(c.token)) == std::string::npos) << line.text;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RegistrationAnswerTest,
    ::testing::Values(
        // TenantName differs from the stored one: the file is written (11).
        AnswerCase{"Accepted", kBody, kAccepted, 0, {11, 1, 3}, "3", L"tok-2",
                   {{6, "Agent Registration Successfull"}, {2, "Found Tenant Name in Response"},
                    {2, "Registration Response: " + Masked(kAccepted)},
                    {2, "Found Agent ID in Response"}},
                   true},
        AnswerCase{"AcceptedKeepsUpdateCheckState", kBody, kAccepted, 1, {11, 1, 3}, "1", L"tok-2", {}, true},
        AnswerCase{"EmptyTenantIdSendsNothing", R"({"TenantID":""})", "", 0, {}, "", L"",
                   {{3, "TenantID is empty"}, {5, "Agent Registration ignored as TenantID is empty"}}},
        // A registration that leaves no usable token fails at once (0, 4)
        // and names its cause, so the host backs off instead of repeating it.
        AnswerCase{"EmptyAnswerFails", kBody, "", 0, {0, 4}, "", L"",
                   {{3, "Registration Response is Empty"},
                    {3, "Registration failed: the server's answer was empty"}}},
        AnswerCase{"EmptyTokenFails", kBody,
                   R"({"ResposeCommand":0,"validateResponse":true,"Token":"","DeviceInfoURL":"d","ResponseBody":{}})",
                   0, {0, 4}, "", L"", {{3, "Registration failed: the server's token was refused (empty)"}}, true},
        AnswerCase{"UnsendableTokenFails", kBody,
                   R"({"ResposeCommand":0,"validateResponse":true,"Token":"a b","DeviceInfoURL":"d","ResponseBody":{}})",
                   0, {0, 4}, "", L"",
                   {{3, "Registration failed: the server's token was refused (holds characters a request header cannot carry)"}},
                   true},
        // Event 0 first, then the dispatcher reports the failure (4).
        AnswerCase{"UnknownCommand", kBody, R"({"ResposeCommand":45,"validateResponse":true,"Token":"x"})", 0,
                   {0, 4}, "", L"", {{5, "Unknown Command received from server"}}},
        AnswerCase{"MalformedAnswer", kBody, "{not json", 0, {0, 4}, "", L"", {}},
        // Token and address are taken before the missing body is noticed.
        AnswerCase{"AcceptedWithoutBody", kBody,
                   R"({"ResposeCommand":0,"validateResponse":true,"Token":"tok-3","DeviceInfoURL":"d"})", 0, {0, 4},
                   "", L"tok-3", {}, true},
        AnswerCase{"RefusedSettingsChanged", kBody,
                   R"({"ResposeCommand":0,"validateResponse":false,"ErrorMessage":"Invalid data",)"
                   R"("DataSettings":"Limited","Token":"never"})",
                   0, {11, 2}, "", L"", {{2, "Invalid data, settings has changed"}}},
        // Same settings: handled from the token step on, without the success line.
        AnswerCase{"RefusedSettingsUnchanged", kBody,
                   R"({"ResposeCommand":0,"validateResponse":false,"ErrorMessage":"Invalid data",)"
                   R"("DataSettings":"Full","Token":"tok-4","DeviceInfoURL":"d","ResponseBody":{}})",
                   0, {1, 3}, "3", L"tok-4", {}},
        // Same settings, but the anonymisation list is new: register again.
        AnswerCase{"RefusedAnonymisationChanged", kBody,
                   R"({"ResposeCommand":0,"validateResponse":false,"ErrorMessage":"Invalid data",)"
                   R"("DataSettings":"Full","AnonymizePersonalData":["Email"],"Token":"never"})",
                   0, {11, 2}, "", L"", {{2, "Invalid data, settings has changed"}}},
        // The stored name: no tenant file (no event 11).
        AnswerCase{"AcceptedSameTenantName", kBody, kAccepted, 0, {1, 3}, "3", L"tok-2", {}, true, "Acme"},
        // Neither the token nor the address is stored without the other.
        AnswerCase{"AcceptedWithoutAddress", kBody, R"({"ResposeCommand":0,"validateResponse":true,"Token":"tok-5"})",
                   0, {0, 4}, "", L"", {}, true},
        AnswerCase{"SystemError", kBody, "", 0, {0, 4}, "", L"", {{5, "disk gone: Input/output error"}}, false, "", 1},
        AnswerCase{"AgentFailure", kBody, "", 0, {0, 4}, "", L"", {{5, "agent failure"}}, false, "", 2},
        AnswerCase{"BadException", kBody, "", 0, {0, 4}, "", L"", {{5, "std::bad_exception"}}, false, "", 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AgentRegistrationTest, AcceptedAnswerIsStoredEverywhere) {
  ExecutorHarness::Options options;
  options.registered = false;
  ExecutorHarness h(options);
  h.transport->Answer(AGENT_REGISTRATION_REQ, kAccepted);
  h.Push(AGENT_REGISTRATION_REQ, kBody);
  ASSERT_TRUE(h.listener.WaitFor(3));
  h.Shutdown();

  ASSERT_EQ(h.transport->CallsOf(AGENT_REGISTRATION_REQ).size(), 1u);
  EXPECT_EQ(h.transport->CallsOf(AGENT_REGISTRATION_REQ)[0].body, kBody) << "the body is sent unchanged";
  EXPECT_EQ(h.config->deviceInfoUrl, L"https://dev.test");
  EXPECT_EQ(h.transport->Tokens().back(), L"tok-2");
  EXPECT_EQ(h.config->agentIdentity[0], L"7");
  EXPECT_EQ(h.executor->TenantValue("TenantName"), "Acme");
  EXPECT_NE(h.config->dataFiles["/data/AgentMachineConfig.dat"].find("help@acme.test"), std::string::npos);
  // Address before token; the tenant file (announced) before the name
  // change is told; the machine data last, after the agent id was stored.
  std::vector<std::string> order;
  for (const auto& op : h.config->Operations())
    if (op == "SaveDeviceInfoUrl" || op == "SaveToken" || op == "WriteDataFile" || op == "TenantDetailsChanged" ||
        op == "SetAgentIdentity")
      order.push_back(op);
  EXPECT_EQ(order, (std::vector<std::string>{"SaveDeviceInfoUrl", "SaveToken", "WriteDataFile", "TenantDetailsChanged",
                                             "TenantDetailsChanged", "SetAgentIdentity", "WriteDataFile"}));
}

// The disk is full when the token is stored: the registration stands for
// this process, the executor and the transport hold the same token, and the
// next heart beat stores it.
TEST(AgentRegistrationTest, ATokenThatCannotBeStoredIsUsedAndStoredAtTheNextHeartBeat) {
  ExecutorHarness::Options options;
  options.registered = false;
  ExecutorHarness h(options);
  h.config->ThrowOn("SaveToken", -ENOSPC, "disk full");
  h.transport->Answer(AGENT_REGISTRATION_REQ, kAccepted);
  h.Push(AGENT_REGISTRATION_REQ, kBody);
  ASSERT_TRUE(h.listener.WaitFor(3));
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{11, 1, 3}));
  EXPECT_EQ(h.transport->Tokens().back() + h.executor->Token(), L"tok-2tok-2");
  EXPECT_EQ(h.config->token, L"");
  EXPECT_EQ(LevelOf(h, "Token not stored, tried again at the next heart beat: disk full: No space left on device"), 3);
  h.config->ClearThrows();
  h.transport->Answer(HEART_BEAT_REQ, R"({"validateResponse":true,"ResponseBody":{}})");
  h.Push(HEART_BEAT_REQ);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.config->token, L"tok-2");
}

TEST(AgentRegistrationTest, TransportFailuresLeaveTheRetryToTheHost) {
  ExecutorHarness h;
  for (int i = 0; i < 2; ++i) h.transport->FailWithHttpError(AGENT_REGISTRATION_REQ, "no route");
  h.transport->Answer(AGENT_REGISTRATION_REQ, kAccepted);
  for (int i = 0; i < 3; ++i) h.Push(AGENT_REGISTRATION_REQ, kBody);
  // No wait on the worker: the third registration is handled at once.
  ASSERT_TRUE(h.listener.WaitFor(3));
  // Per failure: the update-check report (4, and 16 once), then 0; never
  // a new registration asked for by the library itself (2).
  EXPECT_EQ(h.listener.Codes(), (std::vector<int>{4, 16, 0, 4, 0, 11, 1, 3}));
  EXPECT_EQ(h.logger->Count("Please check network connection", kWhere), 2);
  EXPECT_EQ(h.transport->CallsOf(AGENT_REGISTRATION_REQ).size(), 3u);
}

}  // namespace
