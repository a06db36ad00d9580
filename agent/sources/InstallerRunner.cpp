#include "InstallerRunner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SourceLog.h"

extern char** environ;

namespace zelvan::fennic::agent {

namespace {

using web::json::value;
constexpr const char* kWhere = "InstallerRunner";

// Names of the entries of a folder that are real (not linked) folders or
// files, skipping hidden ones and the transport's partial files.
std::vector<std::string> Entries(const std::string& folder, bool folders) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    struct stat info {};
    if (name.empty() || name[0] == '.' || ::lstat((folder + "/" + name).c_str(), &info) != 0) continue;
    if (folders ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

std::string Text(const value& v, const char* key) {
  if (!v.has_field(key)) return "";
  return v.at(key).is_string() ? v.at(key).as_string() : v.at(key).serialize();
}

std::string LastSegment(const std::string& address) { return address.substr(address.find_last_of('/') + 1); }

// The first update description anywhere in the stored list that names the
// product and either the version or (for a package the store keeps
// unversioned) the file name at the end of its address.
const value* FindUpdate(const value& v, const std::string& product, const std::string& version,
                        const std::string& file) {
  if (v.is_object() && Text(v, "IProduct") == product &&
      (Text(v, "Version") == version || (!file.empty() && LastSegment(Text(v, "UpdatesURL")) == file)))
    return &v;
  if (v.is_array())
    for (const auto& e : v.as_array())
      if (const value* found = FindUpdate(e, product, version, file)) return found;
  if (v.is_object())
    for (const auto& member : v.as_object())
      if (const value* found = FindUpdate(member.second, product, version, file)) return found;
  return nullptr;
}

int IntOf(const value* v, const char* a, const char* b) {
  for (const char* key : {a, b})
    if (v && v->has_field(key) && v->at(key).is_integer()) return v->at(key).as_integer();
  return 0;
}

// Starts `args` in a process group of its own; its pidfd, or -1 with `error`
// set (0 when it started but its pidfd could not be opened, errno saying why).
int StartInProcessGroup(std::vector<std::string> args, pid_t& pid, int& error) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The installer gets no input and writes to our standard error, keeping
  // the agent's standard output to its events.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, 2, 1);
  // In a process group of its own, so a time-out ends whatever it started.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
}

}  // namespace

InstallerRunner::InstallerRunner(EventLoop& loop, std::string store, std::vector<InstallerConfig> installers,
                                 Updates updates, DeviceOf deviceOf, Send send)
    : loop_(loop),
      store_(std::move(store)),
      installers_(std::move(installers)),
      updates_(std::move(updates)),
      deviceOf_(std::move(deviceOf)),
      send_(std::move(send)) {}

InstallerRunner::~InstallerRunner() {
  for (auto& [fd, run] : running_) {
    ::kill(-run.pid, SIGKILL);
    ::waitpid(run.pid, nullptr, 0);
    loop_.Unwatch(fd);
    loop_.CancelTimer(run.timer);
    ::close(fd);
  }
}

void InstallerRunner::Scan() {
  for (const auto& product : Entries(store_, true))
    for (const auto& version : Entries(store_ + "/" + product, true))
      for (const auto& file : Entries(store_ + "/" + product + "/" + version, false)) Launch(product, version, file);
}

void InstallerRunner::Launch(const std::string& product, const std::string& version, const std::string& file) {
  const std::string package = store_ + "/" + product + "/" + version + "/" + file;
  for (const auto& [fd, run] : running_)
    if (run.package == package) return;
  const InstallerConfig* installer = nullptr;
  for (const auto& candidate : installers_)
    if (!installer && (candidate.product.empty() || candidate.product == product)) installer = &candidate;
  if (!installer) {
    SourceLog(3, kWhere, "No installer for product " + product + "; package removed: " + package);
    Discard(package);
    return;
  }
  Run run;
  run.package = package;
  run.product = product;
  run.version = version;
  run.timeoutSeconds = installer->timeoutSeconds;
  run.device = !installer->deviceId.empty() ? installer->deviceId : deviceOf_ ? deviceOf_(product) : "";
  std::vector<std::string> args = installer->command;
  args.push_back(package);
  args.push_back(run.device);
  int error = 0;
  const int pidfd = StartInProcessGroup(std::move(args), run.pid, error);
  if (pidfd < 0) {
    const std::string why = error ? std::strerror(error) : std::strerror(errno);
    if (error == 0) {
      ::kill(run.pid, SIGKILL);
      ::waitpid(run.pid, nullptr, 0);
    }
    SourceLog(3, kWhere, "Installer " + installer->command[0] + " cannot be started: " + why);
    Report(run, false, "installer could not be started: " + why);
    Discard(package);
    return;
  }
  SourceLog(2, kWhere, "Installer started for " + package);
  run.due = EventLoop::Clock::now() + std::chrono::seconds(run.timeoutSeconds);
  run.timer = loop_.AddTimer(run.due, [this, pidfd] { TimedOut(pidfd); });
  loop_.Watch(pidfd, [this, pidfd] { Finished(pidfd); });
  running_.emplace(pidfd, std::move(run));
}

void InstallerRunner::TimedOut(int pidfd) {
  auto it = running_.find(pidfd);
  if (it == running_.end() || it->second.timedOut) return;
  it->second.timedOut = true;
  ::kill(-it->second.pid, SIGKILL);
}

bool InstallerRunner::Drain(EventLoop::Clock::time_point deadline) {
  while (!running_.empty()) {
    const auto now = EventLoop::Clock::now();
    if (now >= deadline) return false;
    auto wake = deadline;
    std::vector<pollfd> fds;
    for (auto& [fd, run] : running_) {
      if (run.due <= now) TimedOut(fd);
      else wake = std::min(wake, run.due);
      fds.push_back({fd, POLLIN, 0});
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0 && errno != EINTR) return false;
    for (const auto& p : fds)
      if (p.revents) Finished(p.fd);
  }
  return true;
}

void InstallerRunner::Finished(int pidfd) {
  auto it = running_.find(pidfd);
  if (it == running_.end()) return;
  const Run run = it->second;
  running_.erase(it);
  loop_.Unwatch(pidfd);
  loop_.CancelTimer(run.timer);
  ::close(pidfd);
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  const bool ok = !run.timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::string reason;
  if (run.timedOut) reason = "installer timed out after " + std::to_string(run.timeoutSeconds) + " s";
  else if (WIFEXITED(status) && !ok) reason = "installer exited with status " + std::to_string(WEXITSTATUS(status));
  else if (WIFSIGNALED(status)) reason = "installer ended by signal " + std::to_string(WTERMSIG(status));
  SourceLog(ok ? 2 : 3, kWhere, "Installer for " + run.package + (ok ? " succeeded" : " failed: " + reason));
  Report(run, ok, reason);
  Discard(run.package);
}

void InstallerRunner::Report(const Run& run, bool ok, const std::string& reason) {
  value stored = value::null();
  try {
    if (updates_) stored = updates_();
  } catch (const std::exception& e) {
    SourceLog(3, kWhere, std::string("Stored update list unreadable: ") + e.what());
  }
  const value* byVersion = FindUpdate(stored, run.product, run.version, "");
  const value* update = byVersion ? byVersion : FindUpdate(stored, run.product, run.version, LastSegment(run.package));
  value report = value::object();
  report["DeviceID"] = value::string(run.device);
  report["Updatestatus"] = value::string(ok ? "Success" : "Failed");
  report["Reason"] = value::string(reason);
  report["UploadID"] = value::number(IntOf(update, "UploadID", "UploadId"));
  report["UpdateSchedularID"] = value::number(IntOf(update, "UpdateSchedulerId", "UpdateSchedularID"));
  send_(8, report.serialize());
}

void InstallerRunner::Discard(const std::string& package) {
  if (::unlink(package.c_str()) != 0 && errno != ENOENT)
    SourceLog(3, kWhere, "Package cannot be removed from the store: " + package + ": " + std::strerror(errno));
  // Empty version and product folders go too; rmdir leaves full ones.
  std::string folder = package.substr(0, package.find_last_of('/'));
  for (int level = 0; level < 2 && folder.size() > store_.size(); ++level) {
    ::rmdir(folder.c_str());
    folder = folder.substr(0, folder.find_last_of('/'));
  }
}

}  // namespace zelvan::fennic::agent
