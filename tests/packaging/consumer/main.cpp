// A tiny outside host built against the installed package: it calls the
// library's exported tenant summary and the seam's logger accessors, and
// starts no network work.
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include <fennic/CommonUtils.h>
#include <fennic/outside/IAgentUtils.h>
#include <fennic/outside/ILogManager.h>

using namespace zelvan::fennic;

namespace {

class CountingLogger : public ILogManager {
 public:
  void Log(int, const std::string&, const std::string&) override { ++lines; }
  int lines = 0;
};

int failures = 0;

void Expect(bool ok, const std::string& what) {
  if (!ok) {
    std::cerr << "consumer: FAILED " << what << "\n";
    ++failures;
  }
}

}  // namespace

int main() {
  auto logger = std::make_shared<CountingLogger>();
  IAgentUtils::setLogManager(logger);
  Expect(IAgentUtils::getLogManager() == logger, "the logger set through the seam is the one read back");

  std::map<std::string, std::string> details{
      {"TenantID", "tenant-7"}, {"TenantName", "Acme"}, {"URL", "https://acme.invalid"}, {"CollectData", "True"}};
  const std::string summary = CommonUtils::TenantDetailsMaptoJsonstring(details);
  std::cout << "summary: " << summary << "\n";
  Expect(summary ==
             R"({"TenantID":"tenant-7","TenantName":"Acme","TenantURL":"https://acme.invalid","TenantSetting":"True"})",
         "summary of a full map");

  std::map<std::string, std::string> empty;
  const std::string blank = CommonUtils::TenantDetailsMaptoJsonstring(empty);
  std::cout << "blank: " << blank << "\n";
  Expect(blank == R"({"TenantID":"","TenantName":"","TenantURL":"","TenantSetting":""})", "summary of an empty map");
  Expect(empty.size() == 4 && empty.count("URL") == 1 && empty.count("CollectData") == 1,
         "the keys read are inserted into the caller's map");
  Expect(logger->lines == 0, "nothing logged");

  IAgentUtils::setLogManager(nullptr);
  if (failures) return 1;
  std::cout << "consumer: ok\n";
  return 0;
}
