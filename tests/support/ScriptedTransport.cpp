#include "support/ScriptedTransport.h"

#include <cpprest/http_msg.h>

namespace fennic_test {

void ScriptedTransport::Answer(int type, const std::string& body) {
  std::lock_guard<std::mutex> hold(lock_);
  oneShot_[type].push_back({false, body});
}

void ScriptedTransport::AnswerAlways(int type, const std::string& body) {
  std::lock_guard<std::mutex> hold(lock_);
  standing_[type] = body;
}

void ScriptedTransport::FailWithHttpError(int type, const std::string& what) {
  std::lock_guard<std::mutex> hold(lock_);
  oneShot_[type].push_back({true, what});
}

void ScriptedTransport::OnRequest(int type, Handler handler) {
  std::lock_guard<std::mutex> hold(lock_);
  handlers_[type] = std::move(handler);
}

void ScriptedTransport::OnDownload(DownloadHandler handler) {
  std::lock_guard<std::mutex> hold(lock_);
  downloadHandler_ = std::move(handler);
}

std::vector<TransportCall> ScriptedTransport::Calls() {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_;
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

int ScriptedTransport::CountOf(int type) { return static_cast<int>(CallsOf(type).size()); }

bool ScriptedTransport::WaitForCalls(int type, int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, [&] {
    int n = 0;
    for (const auto& c : calls_)
      if (c.type == type) ++n;
    return n >= count;
  });
}

std::vector<DownloadCall> ScriptedTransport::Downloads() {
  std::lock_guard<std::mutex> hold(lock_);
  return downloads_;
}

std::vector<std::wstring> ScriptedTransport::Tokens() {
  std::lock_guard<std::mutex> hold(lock_);
  return tokens_;
}

std::vector<std::pair<std::wstring, std::wstring>> ScriptedTransport::Endpoints() {
  std::lock_guard<std::mutex> hold(lock_);
  return endpoints_;
}

int ScriptedTransport::TransportCommands() {
  std::lock_guard<std::mutex> hold(lock_);
  return transportCommands_;
}

std::vector<int> ScriptedTransport::TransportOptions() {
  std::lock_guard<std::mutex> hold(lock_);
  return transportOptions_;
}

void ScriptedTransport::SetTransportValue(const std::wstring& value) {
  std::lock_guard<std::mutex> hold(lock_);
  transportValue_ = value;
}

void ScriptedTransport::SetToken(const std::wstring& token) {
  std::lock_guard<std::mutex> hold(lock_);
  tokens_.push_back(token);
}

void ScriptedTransport::SetTenantEndpoint(const std::wstring& url, const std::wstring& tenantId) {
  std::lock_guard<std::mutex> hold(lock_);
  endpoints_.emplace_back(url, tenantId);
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
    if (reply.httpError) throw web::http::http_exception(reply.body);
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

void ScriptedTransport::RunTransportCommand() {
  std::lock_guard<std::mutex> hold(lock_);
  ++transportCommands_;
}

void ScriptedTransport::SetTransportOption(int value) {
  std::lock_guard<std::mutex> hold(lock_);
  transportOptions_.push_back(value);
}

std::wstring ScriptedTransport::GetTransportValue(int) {
  std::lock_guard<std::mutex> hold(lock_);
  return transportValue_;
}

}  // namespace fennic_test
