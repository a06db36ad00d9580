#include "ManagementServer.h"

#include <chrono>
#include <mutex>

#include "BodyShape.h"
#include "ServerAnswer.h"

// The record: every request the server received, with the answer it got,
// kept in memory and, when asked, written as JSON lines.
namespace zelvan::fennic {

namespace http = web::http;
using web::json::value;

namespace {

value BodyForRecord(const std::string& body) {
  if (body.empty()) return value::null();
  try {
    return value::parse(body);
  } catch (const web::json::json_exception&) {
    return value::string(body);
  }
}

// Whether a JSON answer tells the agent its request was taken.
bool AcceptsRequest(int status, const std::string& text) {
  if (status < 200 || status > 299) return false;
  try {
    const value v = value::parse(text);
    return v.has_boolean_field("validateResponseStatus") && v.at("validateResponseStatus").as_bool() &&
           v.has_boolean_field("validateResponse") && v.at("validateResponse").as_bool();
  } catch (const web::json::json_exception&) {
    return false;
  }
}

}  // namespace

std::vector<value> ManagementServer::Records() const {
  std::lock_guard<std::mutex> hold(lock_);
  return records_;
}

int ManagementServer::CountOf(const std::string& type) const {
  std::lock_guard<std::mutex> hold(lock_);
  int n = 0;
  for (const auto& r : records_)
    if (r.at("type").as_string() == type) ++n;
  return n;
}

std::vector<value> ManagementServer::AcceptedOf(const std::string& type) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<value> out;
  for (const long seq : accepted_) {
    const value& r = records_.at(static_cast<size_t>(seq - 1));
    if (r.at("type").as_string() == type) out.push_back(r);
  }
  return out;
}

value ManagementServer::NoteOf(const http::http_request& request, const std::string& path, int type,
                               const std::string& typeText, const std::string& body) const {
  value note = value::object();
  note["type"] = value::string(typeText);
  note["method"] = value::string(request.method());
  note["path"] = value::string(path);
  note["tenant"] = value::string(HeaderOf(request, "X-Tenant-Id"));
  note["authorization"] = value::string(HeaderOf(request, "Authorization"));
  if (request.headers().has("Range")) note["range"] = value::string(HeaderOf(request, "Range"));
  note["body"] = BodyForRecord(body);
  if (type >= 0) note["shape"] = value::string(BodyShape(typeText, note["body"]));
  return note;
}

long ManagementServer::Record(value note, const Answer& answer, const std::string& fault, int64_t breakAfter) {
  note["status"] = value::number(answer.status);
  note["fault"] = value::string(fault);
  // Wall-clock milliseconds, so records of servers started one after another line up.
  note["ms"] = value::number(static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::system_clock::now().time_since_epoch())
                                                      .count()));
  if (!answer.file.empty()) {
    note["bytes"] = value::number(static_cast<int64_t>(breakAfter >= 0 ? breakAfter : answer.length));
  }
  const bool accepting = answer.file.empty() && breakAfter < 0 && AcceptsRequest(answer.status, answer.text);
  std::lock_guard<std::mutex> hold(lock_);
  const long seq = ++seq_;
  note["seq"] = value::number(static_cast<int64_t>(seq));
  if (recordFile_.is_open()) {
    recordFile_ << note.serialize() << '\n';
    recordFile_.flush();
  }
  records_.push_back(std::move(note));
  // Counted before the answer goes out, so a client that has its answer
  // finds it counted; Handle takes it back if the answer does not go out.
  if (accepting) accepted_.insert(seq);
  return seq;
}

void ManagementServer::Unaccept(long seq) {
  // An answer that did not go out (a stop closed the connection under it)
  // accepted nothing.
  std::lock_guard<std::mutex> hold(lock_);
  accepted_.erase(seq);
}

}  // namespace zelvan::fennic
