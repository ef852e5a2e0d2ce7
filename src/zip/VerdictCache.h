#pragma once
// VerdictCache: what incremental runs remember of the archives they tested, one SQLite row per archive. A
// row says which file was tested (folder and raw name, device, inode, size, modification and change times
// in nanoseconds, a hash of its end records and central directory), that its every entry tested sound, when
// that full test was, and which program version made it. Only the engine opens the file; several runs may
// use it at once (WAL mode, a busy timeout of about a second, write transactions of a moment).
//
// The cache is told, never guesses: the run hands it each archive's outcome with the stamp and directory
// hash of the file the verdict is about (the one tested, or the one a rewrite produced). A row is written
// only when the verdict is sound and the file under the name is still that file; otherwise the row goes. A
// file that is not a cache of this version, or that SQLite finds corrupt, is set aside under a new name and
// made anew: the run goes on, trusting nothing of the old file. A full disk, an I/O error, a lock held too
// long or a read-only file say nothing about the file's rows: the run goes on without writing, the file
// stays.
//
// Syncs are per process run, not per folder: a run of a tree makes a VerdictCache per folder, and each
// leaves its connection to the next (no checkpoint, no sync, no rebuilt WAL index); the process's run calls
// endRun() once at its end, which closes that connection with a checkpoint.

#include "zip/ArchiveStamp.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// What the run tells the cache when an archive ends.
struct ToldOutcome
{
    bool sound = false;       // clean, purged or repaired: every entry tested sound or copied from such
    ArchiveStamp stamp;       // the file the verdict is about: the one tested, or the one the rewrite produced
    QByteArray directoryHash; // of that file's directory, as its listing or the rewrite computed it
    qint64 testedNs = 0;      // when its data was last fully tested
};

// One archive as the cache knows it, or as a listing saw it.
struct VerdictRow
{
    QByteArray folder; // the folder's canonical path, as bytes
    QByteArray name;   // the file name, raw bytes
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    QByteArray directoryHash;
    QString verdict;     // "clean": every entry tested sound, or was copied byte for byte from such entries
    qint64 testedNs = 0; // when the data was last fully tested, ns since the epoch
    QString version;     // the program version that tested it

    bool operator==(const VerdictRow&) const = default;
};

struct CachePolicy
{
    qint64 nowNs = 0; // when the run began
    int retestAfterDays = 30;
};

// The one rule: may an archive's cached verdict stand instead of a full test? Only when the archive is the
// file that was tested (every identifying field and the directory hash equal), the row says clean and comes
// from this program version, the test is younger than the re-test period less half a day (a test dated in
// the future means a clock that moved, and proves nothing), and the rolling re-test has not picked the
// archive this run.
bool verdictMayStand(const VerdictRow& cached, const VerdictRow& seen, const CachePolicy& policy, bool dueForRetest);

// The rows of one folder as its run began, and the archives the rolling re-test takes this run. Read only,
// shared by the read-ahead workers.
struct FolderVerdicts
{
    QByteArray folder;
    CachePolicy policy;
    QHash<QByteArray, VerdictRow> rows; // by raw name; empty when the run trusts no row (--full)
    QSet<QByteArray> retest;            // raw names the rolling re-test reads in full this run

    static QByteArray folderKey(const QString& folder);
    static QByteArray nameKey(const QString& path);
    const VerdictRow* row(const QString& path) const;
    bool dueForRetest(const QString& path) const { return retest.contains(nameKey(path)); }
    // The row of the file at path as stamp and hash describe it (verdict "clean", tested at testedNs).
    VerdictRow observed(const QString& path, const ArchiveStamp& stamp, const QByteArray& directoryHash,
                        qint64 testedNs) const;
    // How many of n archives the rolling re-test takes this run: n / days for each day since the folder's
    // last run, the fraction carried over in *credit (so runs twice a day or once a week re-read at the same
    // rate, and a run right after another re-reads nothing). The re-test period itself is the hard bound.
    static int retestShare(qsizetype n, int retestAfterDays, qint64 sinceLastRunNs, double* credit);
};

class VerdictCache
{
public:
    static constexpr int kSchemaVersion = 1;
    static constexpr int kApplicationId = 0x54616d73; // "Tams"
    // How long a write waits for another run's write to end; one row's transaction takes milliseconds.
    static constexpr int kBusyTimeoutMs = 1000;
    // Rows of ended archives are written together, once this many are waiting or this long after the last
    // write, and at the end of the folder.
    static constexpr int kRowsPerBatch = 64;
    static constexpr int kBatchAfterMs = 1000;
    // Folders whose existence endRun() checks, per process run: pruning never makes a small run slow.
    static constexpr int kPruneBatch = 64;
    // Files set aside as unusable: at most this many stay, each for at most kSetAsideRuns process runs.
    static constexpr int kSetAsideKept = 2;
    static constexpr int kSetAsideRuns = 5;

    // Opens or makes the cache file. A file that SQLite finds corrupt, or that is not a cache of this
    // version, is set aside (one line to warn) and made anew; any other failure leaves it alone, and
    // usable() is false: the run tests everything. trustRows false: no row lets an archive skip its test
    // (--full), yet every archive's row is written anew.
    VerdictCache(QString path, std::function<void(const QString&)> warn, bool trustRows = true);
    // Leaves the connection to the next VerdictCache of the same file in this process, unsynced; endRun()
    // closes it with the checkpoint (a process that never calls it leaves the WAL for the next one to use).
    ~VerdictCache();
    VerdictCache(const VerdictCache&) = delete;
    VerdictCache& operator=(const VerdictCache&) = delete;

    bool usable() const { return m_db != nullptr; }
    QString path() const { return m_path; }

    // Loads the rows of folder and picks the rolling re-test among names (the run's archives, in order). The
    // rows handed out are the only ones anyone gets: none when the run trusts no row.
    std::shared_ptr<const FolderVerdicts> beginFolder(const QString& folder, const QStringList& names,
                                                      const CachePolicy& policy);
    // The archive at path ended: a row is written when told.sound and the file under path is still the one
    // told.stamp describes, else its row goes. A removal is a transaction of its own, at once; rows to write
    // wait for a short batch of ended archives' rows. A write that cannot have the lock within
    // kBusyTimeoutMs is skipped (a skipped row is only a re-test next time; a removal is tried again at
    // endFolder), and the next ones wait briefly until one gets through: the cache is never turned off.
    void archiveEnded(const QString& path, const ToldOutcome& told);
    // The folder's run ended; complete (not aborted): rows of archives no longer in it go, in one batch.
    void endFolder(bool complete);

    // Called once when a process's run is over, after every VerdictCache of it is gone: counts the run,
    // prunes the rows of up to kPruneBatch folders that no longer exist, removes set-aside files that are
    // old enough, and checkpoints the cache (the run's only syncs of it).
    static void endRun(const QString& path, const std::function<void(const QString&)>& warn = {});

    // The row of one archive, for tests and checks.
    std::optional<VerdictRow> find(const QByteArray& folder, const QByteArray& name);
    // For tests: every connection opened after this holds at most pages pages (0: no limit), so a write
    // that needs more meets SQLite's own "database or disk is full".
    static void limitPagesForTests(int pages);

private:
    enum class Opened
    {
        Ok,
        Unusable, // corrupt, not a database, or another schema: to be set aside
        Failed,   // anything else: the file is left as it is
    };
    // Why this cache must not be used at all (another user's file, a link at its name, a network file
    // system); empty when it may.
    QString refusal() const;
    Opened open();
    Opened check();
    Opened failedOpen();
    bool setAside(const QString& why); // false when the file cannot be moved
    bool exec(const char* sql);
    sqlite3_stmt* prepare(const char* sql);
    // One change in a transaction of its own; false when it was not made.
    bool write(const char* what, const std::function<bool()>& change);
    // Several changes in one transaction, waiting up to waitMs for the lock.
    bool batch(const char* what, int waitMs, const std::function<bool()>& changes);
    void fail(const char* what);
    bool upsert(const VerdictRow& row);
    bool remove(const QByteArray& folder, const QByteArray& name);
    void upkeep();
    void writePending();

    QString m_path;
    std::function<void(const QString&)> m_warn;
    bool m_trustRows;
    sqlite3* m_db = nullptr;
    quint64 m_inode = 0;      // the file m_db was opened on
    bool m_setAside = false;  // once a run: a file that cannot be moved is not tried again
    bool m_noWrites = false;  // a write failed for a reason other than the lock: the rest goes unwritten
    bool m_shortWait = false; // a write found the lock held past its wait: the next ones do not wait long
    bool m_checkpointOnClose = false;
    QString m_unusableWhy;                    // why check() found the file unusable, when SQLite itself did not say
    std::shared_ptr<FolderVerdicts> m_folder; // every row of the folder, whatever was handed out
    QSet<QByteArray> m_seen;                  // names of the folder's run
    std::vector<QByteArray> m_unremoved;      // names whose removal found the lock held
    std::vector<VerdictRow> m_pendingRows;    // rows of ended archives not written yet
    QElapsedTimer m_sinceWrite;
    double m_credit = 0; // the rolling re-test's fraction carried to the folder's next run
};
