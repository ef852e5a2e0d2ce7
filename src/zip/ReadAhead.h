#pragma once
// ReadAhead: worker threads that list and test the archives of a run ahead of the window thread, which
// takes the listings in the run's order, so verdicts, quarantine order and counts are those of a sequential
// run. Each worker takes the next archive no one has taken; together they stay at most a bounded number of
// archives and bytes of names ahead of the caller, so a folder of any size costs little memory however many
// workers there are. A listing of a file that changed since it was read (size, times, inode) is not handed
// out: the caller reads that archive itself. With the verdict cache, an archive whose cached verdict may
// stand is listed from its directory alone.

#include "zip/ArchiveCleaner.h"

#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class ReadAhead
{
public:
    static constexpr int kMaxAhead = 64;
    static constexpr qint64 kMaxAheadBytes = 16 * 1024 * 1024;

    // paths: the archives in the order the run takes them. jobs: how many workers (0: one per core).
    // verdicts: the cache's rows of the folder, or null for a full test of every archive. Workers start at once.
    explicit ReadAhead(QStringList paths, int maxAhead = kMaxAhead, qint64 maxAheadBytes = kMaxAheadBytes, int jobs = 1,
                       std::shared_ptr<const FolderVerdicts> verdicts = {});
    // The default count of workers: one per core the machine has.
    static int defaultJobs();
    // Stops the workers (listings in progress are aborted at their next progress point, without waiting for
    // a decoder to finish an entry) and throws away what was not taken.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The listing of path, waiting for the worker when it has not finished it yet; between checks wait()
    // runs (every few milliseconds) and may end the wait by returning false. Empty when the path is not the
    // next of the run's order still to come, the file changed since it was read, the worker gave up on it,
    // or the wait was ended. Listings before path that were not taken are thrown away.
    std::optional<ArchiveListing> take(const QString& path, const std::function<bool()>& wait = {});
    // How far a worker is with path, in percent; -1 when none is working on it.
    int progress(const QString& path) const;
    // How many archives of the run the workers have finished with, read or passed over.
    int readCount() const;
    int jobs() const { return int(m_workers.size()); }
    // Asks the workers to stop; what they read stays until destruction.
    void stop();

private:
    struct Worker
    {
        std::thread thread;
        std::atomic<int> working{-1}; // position it reads now
        std::atomic<int> percent{0};
    };
    void run(Worker& w);
    static qint64 weight(const ArchiveListing& l);
    void drop(int i);     // with m_mutex held
    void finishAt(int i); // with m_mutex held
    void wakeWorkers();   // with m_mutex held

    const QStringList m_paths;
    const int m_maxAhead;
    const qint64 m_maxAheadBytes;
    const std::shared_ptr<const FolderVerdicts> m_verdicts;

    mutable std::mutex m_mutex;
    std::condition_variable m_room;                    // workers wait here for room ahead of the caller
    std::condition_variable m_ready;                   // the caller waits here for the position it takes
    std::vector<std::optional<ArchiveListing>> m_done; // by position in m_paths
    std::vector<qint64> m_weight;                      // bytes m_done's listing counts for
    std::vector<char> m_finishedAt;                    // 1 where a position is read, given up or passed
    int m_next = 0;                                    // first position the caller has not passed
    int m_claimed = 0;                                 // first position no worker has taken
    int m_finished = 0;                                // how many positions are finished
    int m_running = 0;                                 // workers still in their loop
    qint64 m_aheadBytes = 0;
    std::atomic<bool> m_stop{false};
    std::vector<std::unique_ptr<Worker>> m_workers;
};
