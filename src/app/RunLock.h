#pragma once
// The lock an unattended run holds on the folder it cleans: runs of different folders go at once, a second
// run of the same folder is refused, or waits for the first with --wait. The lock is the kernel's (flock),
// so a killed run holds it no longer.

#include <QString>
#include <functional>

class RunLock
{
public:
    enum class State
    {
        Held,  // this run holds the folder
        Busy,  // another run holds it
        Failed // the lock could not be taken; see error()
    };

    // Takes the lock of `folder`: a lock file named by the folder's device and inode in `lockFolder`, a
    // folder of this user's own (see userLockFolder), so no other user can take it and keep this user's runs
    // out. Without a lockFolder, the folder itself is locked (for a run's own temp folder). Waits up to
    // waitSeconds for another run to let go, and no longer once `stop` answers true.
    RunLock(const QString& folder, const QString& lockFolder, int waitSeconds = 0,
            const std::function<bool()>& stop = {});
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    State state() const { return m_state; }
    QString error() const { return m_error; }

    // Where this user's lock files go: $XDG_RUNTIME_DIR/tamsorel when that folder is this user's own, else
    // tamsorel/locks in the user's cache folder ($XDG_CACHE_HOME, ~/.cache), else `fallback`.
    static QString userLockFolder(const QString& fallback);
    // Makes `folder` (0700) when it is missing; true when it is a folder (not a link) of this user's own that
    // no one else may enter. Otherwise false with the reason in *why.
    static bool ownPrivateFolder(const QString& folder, QString* why);

    // Removes the run folders ("run-*") in `cache` that no run holds any more: those of runs that were
    // killed. A folder younger than a minute may be a run's that has not taken its lock yet; it stays.
    static void removeAbandonedRunFolders(const QString& cache);

private:
    int m_fd = -1;
    State m_state = State::Failed;
    QString m_error;
};
