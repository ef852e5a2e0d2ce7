#pragma once
// The lock an unattended run holds on the folder it cleans: runs of different folders go at once, a second
// run of the same folder is refused. The lock is the kernel's (flock), so a killed run holds it no longer.

#include <QString>

class RunLock
{
public:
    enum class State
    {
        Held,  // this run holds the folder
        Busy,  // another run holds it
        Failed // neither the folder nor a lock file could be locked; see error()
    };

    // Takes the lock of `folder` without waiting. `lockFolder` holds lock files for folders that cannot be
    // locked themselves (some network file systems); it is made when needed.
    RunLock(const QString& folder, const QString& lockFolder);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    State state() const { return m_state; }
    QString error() const { return m_error; }

    // Removes the run folders ("run-*") in `cache` that no run holds any more: those of runs that were
    // killed. A folder younger than a minute may be a run's that has not taken its lock yet; it stays.
    static void removeAbandonedRunFolders(const QString& cache);

private:
    int m_fd = -1;
    State m_state = State::Failed;
    QString m_error;
};
