#include "SystemdNotify.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>

namespace zelvan::fennic::agent {

void NotifyReady() { ::sd_notify(0, "READY=1"); }

void NotifyStopping() { ::sd_notify(0, "STOPPING=1"); }

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat info {};
  // A redirected standard error no longer matches, and then gets plain lines.
  return ::fstat(2, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

const char* JournalPriority(int priority) {
  static const bool journal = StderrIsJournal();
  if (!journal) return "";
  return priority <= 3 ? "<3>" : "<4>";
}

}  // namespace zelvan::fennic::agent
