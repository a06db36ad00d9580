#pragma once

#include <cpprest/json.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "RouteTable.h"
#include "Scenario.h"

namespace web::http {
class http_request;
namespace experimental::listener {
class http_listener;
}
}  // namespace web::http

namespace zelvan::fennic {

// A loopback port that was free a moment ago (0 when none): the server and
// the tests that start their own loopback peers both probe with it.
int FreeLoopbackPort();

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: a free port
  std::string recordFile;  // JSON lines, one per request; empty: memory only
  std::string routesFile;  // same override format as the transport's
  std::string packagesFolder;  // overrides the scenario's
};

// A local management server speaking the agent's protocol on loopback.
// Answers every request type in the agent's envelope from a scenario,
// injects the scenario's faults, and records every request it received.
// Requests are handled on the listener's threads; all state sits under one
// lock. Start and Stop are called from one controlling thread.
class ManagementServer {
 public:
  ManagementServer(Scenario scenario, ServerOptions options);
  ~ManagementServer();
  ManagementServer(const ManagementServer&) = delete;
  ManagementServer& operator=(const ManagementServer&) = delete;

  // Listens and returns the port; throws std::runtime_error on failure.
  // Start after Stop listens again on the same port, with the state kept.
  int Start();
  void Stop();
  std::string BaseUrl() const;
  int Port() const { return port_; }

  void AddFault(const Fault& fault);
  // Every request so far, in arrival order (the recorded JSON objects).
  std::vector<web::json::value> Records() const;
  // How many requests of a type ("3", "package", ...) arrived.
  int CountOf(const std::string& type) const;
  // The records of a type whose answer accepted the request (an envelope
  // with "validateResponseStatus" and "validateResponse" true) and went out
  // whole. An answer held back, broken off, or lost to a stop under it is
  // not counted: only what the client can have seen accepted is.
  std::vector<web::json::value> AcceptedOf(const std::string& type) const;

 private:
  struct Answer;  // ServerAnswer.h
  // Routing (ManagementServer.cpp).
  void Handle(web::http::http_request request);
  Answer Dispatch(int type, const std::string& path, const std::string& body, const web::http::http_request& request,
                  web::json::value& note);
  // Sends the answer, broken off after breakAfter bytes unless that is -1.
  // Returns false when it did not go out whole.
  bool Reply(web::http::http_request& request, const Answer& answer, int64_t breakAfter);

  // The scenario's answers (ScenarioAnswers.cpp).
  // The answer to an authorised request of a known type.
  Answer Answered(int type, const std::string& body, web::json::value& note);
  Answer PackageFile(const std::string& path, const web::http::http_request& request);
  Answer Registration(const std::string& body, web::json::value& note);
  Answer HeartBeat();
  Answer Updates(bool all);
  Answer Cancellations();
  Answer DownloadDetails(const std::string& body, web::json::value& note);
  void DownloadStatus(const std::string& body, web::json::value& note);
  void CancelAck(const std::string& body);
  web::json::value PendingDirectoryQueries() const;
  void DirectoryResults(web::json::value& note);
  // Whether directory results carry the verdicts the scenario expects.
  std::string DirectoryOutcome(const web::json::value& body) const;
  void ConfigAck(const std::string& body);
  web::json::value Describe(const web::json::value& update) const;
  bool HasPendingUpdates() const;
  std::string PackagePath(const std::string& name) const;

  // The fault matrix (FaultMatrix.cpp).
  std::optional<Fault> TakeFault(const std::string& target);
  // Applies the fault to the answer; returns after how many bytes the answer
  // is broken off, -1 for none.
  int64_t ApplyFault(const Fault& fault, Answer& answer);

  // The record (RequestRecord.cpp).
  web::json::value NoteOf(const web::http::http_request& request, const std::string& path, int type,
                          const std::string& typeText, const std::string& body) const;
  // Completes the note with the answer and records it; returns its sequence
  // number.
  long Record(web::json::value note, const Answer& answer, const std::string& fault, int64_t breakAfter);
  // Takes back the acceptance of an answer that did not go out.
  void Unaccept(long seq);

  Scenario scenario_;
  const ServerOptions options_;
  const RouteTable routes_;
  // Read by handler threads while Start may still be setting it.
  std::atomic<int> port_{0};
  std::unique_ptr<web::http::experimental::listener::http_listener> listener_;

  mutable std::mutex lock_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  std::vector<std::pair<Fault, int>> faults_;  // with how many matched so far
  std::mt19937 faultRandom_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::set<std::string> tokens_;
  std::set<int> acked_;           // scheduler ids acknowledged as downloaded, or refused for their signature
  std::set<int> ackedConfigs_;
  bool cancelsAcked_ = false;
  bool configCancelsAcked_ = false;
  bool queriesAnswered_ = false;
  std::vector<web::json::value> records_;
  std::set<long> accepted_;  // sequence numbers of the records AcceptedOf counts
  std::ofstream recordFile_;
  long seq_ = 0;
};

}  // namespace zelvan::fennic
