#include <gtest/gtest.h>

#include "support/ExecutorHarness.h"

using fennic_test::ExecutorHarness;

namespace {

const std::string kTenantFile = "/data/TenantConfiguration.dat";

struct MemberCase {
  const char* key;     // tenant detail set before the write
  const char* stored;
  const char* member;  // member of the file checked
  const char* written; // its serialised value; null when the member must be absent
};

// One executor for the whole table: each row changes one detail, rewrites the
// file and reads it back through the test cipher.
TEST(TenantConfigurationStoreTest, FileMembersFollowTheStoredText) {
  const std::vector<MemberCase> cases = {
      {"TenantName", "", "TenantName", nullptr},
      {"TenantName", "Acme", "TenantName", R"("Acme")"},
      {"CollectData", "", "CollectData", nullptr},
      {"CollectData", "Full", "CollectData", R"("Full")"},
      {"CollectCallStats", "true", "CollectCallStats", "false"},
      {"CollectCallStats", "True", "CollectCallStats", "true"},
      {"CollectSoftPhoneStats", "True", "CollectSoftPhoneStats", "true"},
      {"AllowDownGrade", "False", "AllowDownGrade", "false"},
      {"UpdateFromFile", "True", "UpdateFromFile", "true"},
      {"TimeInterval", "300", "TimeInterval", "300"},
      {"TimeInterval", "abc", "TimeInterval", "0"},
      {"TimeInterval", "42s", "TimeInterval", "42"},
      {"TimeInterval", "99999999999", "TimeInterval", "2147483647"},
      {"AnonymizePersonalData", "", "AnonymizePersonalData", "null"},
      {"AnonymizePersonalData", R"(["Email"])", "AnonymizePersonalData", R"(["Email"])"},
      {"AnonymizePersonalData", "[]", "AnonymizePersonalData", nullptr},
      {"AnonymizePersonalData", R"({"a":"Email","b":["Name"]})", "AnonymizePersonalData", R"(["Email",["Name"]])"},
      {"AnonymizePersonalData", "{}", "AnonymizePersonalData", nullptr},
      {"AnonymizePersonalData", R"("Email")", "AnonymizePersonalData", nullptr},
      {"BackendEndPoint", "https://b.test/x", "BackendEndPoint", nullptr},
      {"DeviceInfoUrl", "https://d.test", "DeviceInfoUrl", nullptr},
      {"UpgradeSupportMessage", "Upgrade \xC3\xA9", "UpgradeSupportMessage", "\"Upgrade \xC3\xA9\""},
  };
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  for (const auto& c : cases) {
    h.executor->SetTenantValue(c.key, c.stored);
    h.executor->WriteTenantConfigsToFile();
    const std::string plain = h.cipher->Decrypt(h.config->dataFiles[kTenantFile]);
    ASSERT_FALSE(plain.empty()) << c.key << "=" << c.stored;
    const web::json::value file = web::json::value::parse(plain);
    if (c.written == nullptr) {
      EXPECT_FALSE(file.has_field(c.member)) << c.key << "=" << c.stored;
    } else {
      ASSERT_TRUE(file.has_field(c.member)) << c.key << "=" << c.stored;
      EXPECT_EQ(file.at(c.member).serialize(), c.written) << c.key << "=" << c.stored;
    }
    EXPECT_EQ(file.at("URL").as_string(), "https://server.test");
    EXPECT_EQ(file.at("TenantID").as_string(), "tenant-1");
  }
  // Every successful write reconfigures the transport and is announced.
  const int writes = static_cast<int>(cases.size());
  EXPECT_EQ(h.listener.Count(11), writes);
  EXPECT_EQ(h.config->tenantDetailsChanged, writes);
  EXPECT_EQ(h.transport->Endpoints().size(), 1u + writes);
  EXPECT_EQ(h.transport->Endpoints().back(), std::make_pair(std::wstring(L"https://server.test"), std::wstring(L"tenant-1")));
}

TEST(TenantConfigurationStoreTest, FailedWriteIsLoggedAndNotAnnounced) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  h.config->ThrowOn("WriteDataFile", 3, "disk full");
  h.executor->WriteTenantConfigsToFile();
  EXPECT_EQ(h.logger->Count("disk full", "CRestExecutor::WriteTenantConfigsToFile"), 1);
  EXPECT_EQ(h.logger->FirstStartingWith("disk full").level, 5);
  EXPECT_EQ(h.listener.Count(11), 0);
  EXPECT_EQ(h.config->tenantDetailsChanged, 0);
  EXPECT_EQ(h.transport->Endpoints().size(), 1u) << "only the load set the endpoint";

}

// A text list from the server is kept as JSON text, so the same answer is no
// change next time; a bare text an earlier run stored is left out of the
// file with one line instead of failing every write.
TEST(TenantConfigurationStoreTest, AnonymisationTextIsStoredAsJsonAndABareTextNeverFailsTheWrite) {
  ExecutorHarness h;
  h.StopWorkerForDirectCalls();
  EXPECT_TRUE(h.executor->isAnonymizedataExceptionsChanged(web::json::value::string("Email")));
  EXPECT_EQ(h.executor->TenantValue("AnonymizePersonalData"), R"("Email")");
  EXPECT_FALSE(h.executor->isAnonymizedataExceptionsChanged(web::json::value::string("Email")));
  h.executor->SetTenantValue("AnonymizePersonalData", "Email");
  EXPECT_NO_THROW(h.executor->WriteTenantConfigsToFile());
  const web::json::value file = web::json::value::parse(h.cipher->Decrypt(h.config->dataFiles[kTenantFile]));
  EXPECT_FALSE(file.has_field("AnonymizePersonalData"));
  EXPECT_EQ(h.listener.Count(11), 1);
  EXPECT_EQ(h.logger->FirstStartingWith("Stored AnonymizePersonalData is not JSON text, left out: Email").level, 3);
}

}  // namespace
