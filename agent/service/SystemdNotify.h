#pragma once

namespace zelvan::fennic::agent {

// Tell the service manager that start-up is done, or that a stop began.
// Nothing happens when the agent was not started by it.
void NotifyReady();
void NotifyStopping();
// True when standard error goes to the journal (the manager sets
// JOURNAL_STREAM to its device and inode).
bool StderrIsJournal();
// "<N>" for the host's own lines on standard error when it is the journal
// (3 error, 4 warning), else nothing.
const char* JournalPriority(int priority);

}  // namespace zelvan::fennic::agent
