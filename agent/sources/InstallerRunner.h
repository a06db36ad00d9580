#pragma once

#include <sys/types.h>

#include <cpprest/json.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "SourcesConfig.h"

namespace zelvan::fennic::agent {

// Installs the verified packages that the transport left in the package
// store, <store>/<product>/<version>/<file>: for each, the installer
// configured for its product runs (argv, no shell; the package path and the
// device id appended) under a time-out, and its outcome goes to the server
// as a device update-status report (client code 8):
// {"DeviceID", "Updatestatus": "Success"|"Failed", "Reason", "UploadID",
//  "UpdateSchedularID"}, the two ids taken from the stored update list.
// The package leaves the store once its installer has ended, and at once
// when no installer is configured for it.
class InstallerRunner {
 public:
  using Send = std::function<void(int code, const std::string& body)>;
  using Updates = std::function<web::json::value()>;            // the stored update list
  using DeviceOf = std::function<std::string(const std::string& product)>;
  InstallerRunner(EventLoop& loop, std::string store, std::vector<InstallerConfig> installers, Updates updates,
                  DeviceOf deviceOf, Send send);
  ~InstallerRunner();
  InstallerRunner(const InstallerRunner&) = delete;
  InstallerRunner& operator=(const InstallerRunner&) = delete;

  // Starts the installers of every package in the store not yet running.
  void Scan();
  // How many installers are running.
  size_t Running() const { return running_.size(); }
  // For when the loop no longer runs: waits for the running installers
  // (each still under its time-out) and reports them; false when `deadline`
  // came first.
  bool Drain(EventLoop::Clock::time_point deadline);

 private:
  struct Run {
    pid_t pid = -1;
    int pidfd = -1;
    std::uint64_t timer = 0;
    EventLoop::Clock::time_point due;
    bool timedOut = false;
    std::string package, product, version, device;
    int timeoutSeconds = 0;
  };
  void Launch(const std::string& product, const std::string& version, const std::string& file);
  void Finished(int pidfd);
  void TimedOut(int pidfd);
  void Report(const Run& run, bool ok, const std::string& reason);
  void Discard(const std::string& package);

  EventLoop& loop_;
  const std::string store_;
  const std::vector<InstallerConfig> installers_;
  Updates updates_;
  DeviceOf deviceOf_;
  Send send_;
  std::map<int, Run> running_;  // by pidfd
};

}  // namespace zelvan::fennic::agent
