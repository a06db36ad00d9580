#pragma once

#include <cpprest/json.h>

#include <string>
#include <string_view>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// The REST transport. It owns addresses, headers and the HTTP exchange; the
// library names each server request by its request-type number. Called from
// the worker thread and, for voice prompts, transport values and tenant
// loading, from host threads at the same time: implementations must accept
// concurrent calls.
class FENNIC_EXPORT IRestClient {
 public:
  virtual ~IRestClient() = default;
  virtual void SetToken(const std::wstring& token) = 0;
  // May throw web::http::http_exception for an address this transport will
  // not use; the previous address then stays.
  virtual void SetTenantEndpoint(const std::wstring& url, const std::wstring& tenantId) = 0;
  // Returns the answer body (UTF-8), empty when no usable answer came.
  // May throw web::http::http_exception.
  virtual std::string ExecuteRequest(int requestType, std::string_view body) = 0;
  virtual bool DownloadFile(const std::string& answer, const std::wstring& localPath,
                            std::wstring& reason, web::json::value& urlSource,
                            std::wstring& product) = 0;
  virtual void RunTransportCommand() = 0;
  virtual void SetTransportOption(int value) = 0;
  virtual std::wstring GetTransportValue(int argument) = 0;
};

}  // namespace zelvan::fennic
