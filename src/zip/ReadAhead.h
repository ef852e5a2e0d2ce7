#pragma once
// ReadAhead: a worker thread that lists and tests the archives of a run ahead of the window thread, which
// takes the listings in the run's order. The worker stays at most a bounded number of archives and bytes
// of names ahead, so a folder of any size costs little memory. A listing of a file that changed since it
// was read (size, modification time, inode) is not handed out: the caller reads that archive itself.

#include "zip/ArchiveCleaner.h"

#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class ReadAhead
{
public:
    static constexpr int kMaxAhead = 64;
    static constexpr qint64 kMaxAheadBytes = 16 * 1024 * 1024;

    // paths: the archives in the order the run takes them. The worker starts at once.
    explicit ReadAhead(QStringList paths, int maxAhead = kMaxAhead, qint64 maxAheadBytes = kMaxAheadBytes);
    // Stops the worker (a listing in progress is aborted) and throws away what was not taken.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The listing of path, waiting for the worker when it has not finished it yet; between checks wait()
    // runs (every few milliseconds) and may end the wait by returning false. Empty when the path is not the
    // next of the run's order still to come, the file changed since it was read, the worker gave up on it,
    // or the wait was ended. Listings before path that were not taken are thrown away.
    std::optional<ArchiveListing> take(const QString& path, const std::function<bool()>& wait = {});
    // How far the worker is with path, in percent; -1 when it is not working on it.
    int progress(const QString& path) const;
    // How many archives of the run the worker has finished with, read or passed over.
    int readCount() const;
    // Asks the worker to stop; what it read stays until destruction.
    void stop();

private:
    void run();
    static qint64 weight(const ArchiveListing& l);
    void drop(int i); // with m_mutex held

    const QStringList m_paths;
    const int m_maxAhead;
    const qint64 m_maxAheadBytes;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::optional<ArchiveListing>> m_done; // by position in m_paths
    std::vector<qint64> m_weight;                      // bytes m_done's listing counts for
    int m_next = 0;                                    // first position the caller has not passed
    int m_working = -1;                                // position the worker reads now
    int m_finished = 0;                                // positions below this are read (or given up)
    qint64 m_aheadBytes = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_percent{0};
    std::thread m_worker;
};
