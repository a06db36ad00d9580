#include <climits>
#include <system_error>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "IAgentUtils.h"
#include "StoredValueChecks.h"
#include "StringUtil.h"
#include "TextConversion.h"

using namespace zelvan::fennic;

namespace {

const std::string kWriteWhere = "CRestExecutor::WriteTenantConfigsToFile";
const char* const kTenantFileName = "TenantConfiguration.dat";

std::string Lookup(const std::map<std::string, std::string>& details, const std::string& key) {
  auto it = details.find(key);
  return it == details.end() ? std::string() : it->second;
}

// Like atoi: optional blanks and sign, then the leading digits; 0 when there
// are none. Clamped instead of overflowing, since the text comes from a server.
int LeadingInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The file form of the tenant details. Only the exact text "True" is true.
// A stored anonymisation text that is not JSON is left out and `bad` set.
web::json::value TenantFileDocument(const std::map<std::string, std::string>& details, bool& bad) {
  web::json::value doc = web::json::value::object(true);
  doc["URL"] = web::json::value::string(Lookup(details, "URL"));
  doc["TenantID"] = web::json::value::string(Lookup(details, "TenantID"));
  const std::string name = Lookup(details, "TenantName");
  if (!name.empty()) doc["TenantName"] = web::json::value::string(name);
  doc["CollectSoftPhoneStats"] = web::json::value::boolean(Lookup(details, "CollectSoftPhoneStats") == "True");
  doc["CollectCallStats"] = web::json::value::boolean(Lookup(details, "CollectCallStats") == "True");
  const std::string collectData = Lookup(details, "CollectData");
  if (!collectData.empty()) doc["CollectData"] = web::json::value::string(collectData);
  doc["TimeInterval"] = web::json::value::number(LeadingInteger(Lookup(details, "TimeInterval")));
  doc["AllowDownGrade"] = web::json::value::boolean(Lookup(details, "AllowDownGrade") == "True");
  doc["UpdateFromFile"] = web::json::value::boolean(Lookup(details, "UpdateFromFile") == "True");

  const std::string anonymize = Lookup(details, "AnonymizePersonalData");
  if (anonymize.empty()) {
    doc["AnonymizePersonalData"] = web::json::value::null();
  } else {
    web::json::value parsed;
    try {
      parsed = web::json::value::parse(anonymize);
    } catch (const web::json::json_exception&) {
      // Stored by an earlier run without its quotes: a bare text has no
      // elements, like any scalar. Refusing it would fail every later write.
      bad = true;
    }
    // The elements are copied one by one: a list's items, an object's member
    // values in their stored order. A value without elements (null, "[]", "{}",
    // a scalar) leaves the member out.
    web::json::value list = web::json::value::array();
    std::size_t index = 0;
    if (parsed.is_array()) {
      for (const auto& element : parsed.as_array()) list[index++] = element;
    } else if (parsed.is_object()) {
      for (const auto& member : parsed.as_object()) list[index++] = member.second;
    }
    if (index > 0) doc["AnonymizePersonalData"] = list;
  }
  doc["UpgradeSupportMessage"] = web::json::value::string(Lookup(details, "UpgradeSupportMessage"));
  doc["NotSupportMessage"] = web::json::value::string(Lookup(details, "NotSupportMessage"));
  return doc;
}

}  // namespace

void CRestExecutor::LoadTenantConfiguration() {
  const std::wstring token = configuration_->LoadToken();
  SetToken(token);
  if (!token.empty()) restClient_->SetToken(token);
  std::map<std::string, std::string> details = configuration_->GetTenantDetails();
  const std::string url = Lookup(details, "URL");
  // Checked by the library's rules, then handed to the transport, whose own
  // rules (plain HTTP, the port's range) have the last word.
  std::string fault = url.empty() ? std::string() : ServerAddressFault(url);
  if (fault.empty()) fault = HandEndpointToTransport(url, Lookup(details, "TenantID"));
  if (!fault.empty()) {
    // Stored by an earlier run and unusable: cleared from the store, so the
    // configuration manager falls back to the configured server.
    Log(3, "CRestExecutor::LoadTenantConfiguration",
        "Stored server address set aside (" + fault + "): " + url.substr(0, 256));
    details["URL"].clear();
    ReplaceTenantDetails(details);
    WriteTenantConfigsToFile();
    details = configuration_->GetTenantDetails();
    const std::string refusal = HandEndpointToTransport(Lookup(details, "URL"), Lookup(details, "TenantID"));
    if (!refusal.empty())
      Log(3, "CRestExecutor::LoadTenantConfiguration",
          "Configured server address refused by the transport (" + refusal + ")");
  }
  ReplaceTenantDetails(details);
  if (!token.empty()) RequeueKeptAcknowledgements();
}

// The empty text when the transport took the address, else its reason (the
// previous address then stays in use).
std::string CRestExecutor::HandEndpointToTransport(const std::string& url, const std::string& tenantId) {
  try {
    restClient_->SetTenantEndpoint(ToWide(url), ToWide(tenantId));
    return "";
  } catch (const std::exception& e) {
    return std::string(e.what()).substr(0, 256);
  }
}

void CRestExecutor::WriteTenantConfigsToFile() {
  // One snapshot, so the file, the transport and the event all describe the
  // same state even if the host reloads meanwhile.
  const std::map<std::string, std::string> details = TenantSnapshot();
  bool badList = false;
  const web::json::value doc = TenantFileDocument(details, badList);
  if (badList)
    Log(3, kWriteWhere,
        "Stored AnonymizePersonalData is not JSON text, left out: " +
            Lookup(details, "AnonymizePersonalData").substr(0, 64));
  try {
    const std::string text = ToUtf8(StringUtil::stripQuotes(ToWide(doc.serialize())));
    std::shared_ptr<IEncryptDecrypt> cipher = IAgentUtils::getEncryptDecrypt();
    if (!cipher) throw AgentException("No cipher available for the tenant settings");
    const std::string sealed = cipher->Encrypt(text);
    configuration_->WriteDataFile(sealed, configuration_->GetDataFolder() + kTenantFileName,
                                  IAgentUtils::getFileManager());
    configuration_->TenantDetailsChanged();
    const std::string refusal = HandEndpointToTransport(Lookup(details, "URL"), Lookup(details, "TenantID"));
    if (!refusal.empty()) Log(3, kWriteWhere, "Server address refused by the transport (" + refusal + ")");
    RaiseEvent(11);
  } catch (const AgentException& e) {
    Log(5, kWriteWhere, e.what());
  } catch (const std::system_error& e) {
    Log(3, kWriteWhere, std::string("Exception while writing Tenant settings : ") + e.what());
  }
}
