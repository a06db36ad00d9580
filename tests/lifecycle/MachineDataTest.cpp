#include <gtest/gtest.h>

#include "support/ExecutorHarness.h"

using fennic_test::ExecutorHarness;

namespace {

const std::string kMachineFile = "/data/AgentMachineConfig.dat";

web::json::value MachineFile(ExecutorHarness& h) {
  return web::json::value::parse(h.cipher->Decrypt(h.config->dataFiles[kMachineFile]));
}

TEST(MachineDataTest, OneKeyPerProcessAndTheAgentIdOnlyWhenGiven) {
  std::string firstKey;
  {
    ExecutorHarness h;
    h.StopWorkerForDirectCalls();
    h.executor->SetDeviceInfoUrl(L"https://dev.test");
    h.executor->WriteMachineDataInConfigFile(L"help@acme.test", L"");
    EXPECT_EQ(h.config->CountOf("SetAgentIdentity"), 0);
    EXPECT_EQ(h.config->CountOf("GetAgentIdentity"), 1) << "asked for even without a new id";
    const web::json::value file = MachineFile(h);
    EXPECT_EQ(h.cipher->Decrypt(h.config->dataFiles[kMachineFile]),
              R"({"AgentDetails":{"AgentID":"agent-1","AgentVersion":"1.0.0"},"MachineDetails":{"HostName":"ws-01"},)"
              R"("DeviceInfoUrl":"https://dev.test","Key":")" + file.at("Key").as_string() +
                  R"(","SupportEmail":"help@acme.test"})");
    firstKey = file.at("Key").as_string();
    EXPECT_FALSE(firstKey.empty());

    h.executor->WriteMachineDataInConfigFile(L"", L"agent-9");
    EXPECT_EQ(h.config->agentIdentity, (zelvan::fennic::WideRecord{L"agent-9", L"1.0.0", L"fennic"}));
    EXPECT_EQ(MachineFile(h).at("Key").as_string(), firstKey);
    EXPECT_EQ(MachineFile(h).at("SupportEmail").as_string(), "") << "the file is rewritten whole";
  }
  ExecutorHarness other;  // a second executor of the same process
  other.StopWorkerForDirectCalls();
  other.executor->WriteMachineDataInConfigFile(L"", L"");
  EXPECT_EQ(MachineFile(other).at("Key").as_string(), firstKey);

  other.config->ThrowOn("WriteDataFile", 3, "locked");
  other.executor->WriteMachineDataInConfigFile(L"", L"");
  EXPECT_EQ(other.logger->Count("locked", "CRestExecutor::WriteMachineDataInConfigFile"), 1);
  EXPECT_EQ(other.listener.Codes(), std::vector<int>{}) << "machine data raises no event";
}

struct ListCase {
  const char* stored;
  const char* received;
  bool changed;
  const char* storedAfter;
};

TEST(MachineDataTest, AnonymisationListIsComparedAsText) {
  const std::vector<ListCase> cases = {
      {"", "[]", false, ""},
      {"", "null", false, ""},
      {R"(["Email"])", "[]", true, "[]"},
      {R"(["Email"])", "null", true, "null"},
      {R"(["Email"])", R"(["Email"])", false, R"(["Email"])"},
      {R"(["Email","Name"])", R"(["Name","Email"])", true, R"(["Name","Email"])"},
      {"", R"("Email")", true, R"("Email")"},  // kept as JSON text, quotes and all
      {R"("Email")", R"("Email")", false, R"("Email")"},
  };
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  for (const auto& c : cases) {
    h.logger->Clear();
    h.executor->SetTenantValue("AnonymizePersonalData", c.stored);
    EXPECT_EQ(h.executor->isAnonymizedataExceptionsChanged(web::json::value::parse(c.received)), c.changed)
        << c.stored << " vs " << c.received;
    EXPECT_EQ(h.executor->TenantValue("AnonymizePersonalData"), c.storedAfter);
    EXPECT_EQ(h.logger->Texts("CRestExecutor::isAnonymizedataExceptionsChanged"),
              (std::vector<std::string>{std::string("The new recieved JSON value for comparision is: ") + c.received,
                                        std::string("The existing AnonymizePersonalData value from the map is: ") +
                                            c.stored,
                                        c.changed ? "return value:1" : "return value:0"}));
  }
  EXPECT_TRUE(h.config->dataFiles.empty()) << "the comparison never writes the file itself";
}

}  // namespace
