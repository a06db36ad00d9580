#include "support/ScriptedTransport.h"

#include <cpprest/http_msg.h>

#include <algorithm>
#include <cstdlib>

#include "HttpAddress.h"
#include "TextConversion.h"

namespace fennic_test {

void ScriptedTransport::SetTenantEndpoint(const std::wstring& url, const std::wstring& tenantId) {
  if (!url.empty()) zelvan::fennic::ParseHttpAddress(zelvan::fennic::ToUtf8(url), false);
  Locked([&] { endpoints_.emplace_back(url, tenantId); });
}

std::vector<TransportCall> ScriptedTransport::CallsOf(int type) {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<TransportCall> out;
  for (const auto& c : calls_)
    if (c.type == type) out.push_back(c);
  return out;
}

std::vector<int> ScriptedTransport::Types() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<int> out;
  for (const auto& c : calls_) out.push_back(c.type);
  return out;
}

bool ScriptedTransport::WaitForCalls(int type, int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, [&] {
    return std::count_if(calls_.begin(), calls_.end(), [&](const TransportCall& c) { return c.type == type; }) >= count;
  });
}

std::string ScriptedTransport::ExecuteRequest(int requestType, std::string_view body) {
  Handler handler;
  Reply reply;
  bool haveReply = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    calls_.push_back({requestType, std::string(body)});
    auto q = oneShot_.find(requestType);
    if (q != oneShot_.end() && !q->second.empty()) {
      reply = q->second.front();
      q->second.pop_front();
      haveReply = true;
    } else if (auto h = handlers_.find(requestType); h != handlers_.end()) {
      handler = h->second;
    } else if (auto s = standing_.find(requestType); s != standing_.end()) {
      reply.body = s->second;
      haveReply = true;
    }
  }
  changed_.notify_all();
  if (haveReply) {
    // A failure that names an HTTP status carries it, as the HTTP transport's does.
    const auto status = reply.body.find("HTTP ");
    if (reply.httpError)
      throw web::http::http_exception(status == std::string::npos ? 0 : std::atoi(reply.body.c_str() + status + 5), reply.body);
    return reply.body;
  }
  if (handler) return handler(std::string(body));
  return std::string();
}

bool ScriptedTransport::DownloadFile(const std::string& answer, const std::wstring& localPath, std::wstring& reason,
                                     web::json::value& urlSource, std::wstring& product) {
  DownloadCall call{answer, localPath, urlSource, product};
  DownloadHandler handler;
  {
    std::lock_guard<std::mutex> hold(lock_);
    downloads_.push_back(call);
    handler = downloadHandler_;
  }
  changed_.notify_all();
  return handler ? handler(call, reason) : true;
}

}  // namespace fennic_test
