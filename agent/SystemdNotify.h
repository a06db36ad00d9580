#pragma once

namespace zelvan::fennic::agent {

// Tell the service manager that start-up is done, or that a stop began.
// Nothing happens when the agent was not started by it.
void NotifyReady();
void NotifyStopping();
// True when standard error goes to the journal (the manager sets
// JOURNAL_STREAM to its device and inode).
bool StderrIsJournal();

}  // namespace zelvan::fennic::agent
