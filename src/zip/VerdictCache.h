#pragma once
// VerdictCache: what incremental runs remember of the archives they tested, one SQLite row per archive. A
// row says which file was tested (folder and raw name, device, inode, size, modification and change times
// in nanoseconds, a hash of its end records and central directory), that its every entry tested sound, when
// that full test was, and which program version made it. Only the engine opens the file; several runs may
// use it at once (WAL mode, a busy timeout, short write transactions).
//
// A row is written only for an archive whose run ended clean, purged or repaired; a damaged, skipped or
// aborted archive loses its row. A file that is not a cache of this version, or that SQLite finds corrupt,
// is set aside under a new name and made anew: the run goes on, trusting nothing of the old file.

#include "zip/ArchiveCleaner.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

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
    // The row a listing of path makes (verdict "clean", tested when the listing says).
    VerdictRow observed(const ArchiveListing& listing) const;
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

    // Opens or makes the cache file. A file that cannot be used is set aside (one line to warn) and made
    // anew; when even that fails, usable() is false and the run tests everything. trustRows false: no row
    // lets an archive skip its test (--full), yet every archive's row is written anew.
    VerdictCache(QString path, std::function<void(const QString&)> warn, bool trustRows = true);
    ~VerdictCache();
    VerdictCache(const VerdictCache&) = delete;
    VerdictCache& operator=(const VerdictCache&) = delete;

    bool usable() const { return m_db != nullptr; }
    QString path() const { return m_path; }

    // Loads the rows of folder and picks the rolling re-test among names (the run's archives, in order).
    std::shared_ptr<const FolderVerdicts> beginFolder(const QString& folder, const QStringList& names,
                                                      const CachePolicy& policy);
    std::shared_ptr<const FolderVerdicts> folder() const { return m_folder; }
    // The listing the run took for the archive in work, read now or from the cache.
    void noteListing(const ArchiveListing& listing);
    // The archive in work ended. kept: its verdict is clean, purged or repaired, and the row describes the
    // file as it now is; otherwise the row goes.
    void archiveEnded(const QString& path, bool kept);
    // The folder's run ended; complete (not aborted): rows of archives no longer in it go.
    void endFolder(bool complete);

    // The row of one archive, for tests and checks.
    std::optional<VerdictRow> find(const QByteArray& folder, const QByteArray& name);

private:
    // Why this cache must not be used at all (another user's file, a link at its name, a network file
    // system); empty when it may.
    QString refusal() const;
    bool open();
    bool check();
    bool setAside(const QString& why); // false when the file cannot be moved
    bool exec(const char* sql);
    sqlite3_stmt* prepare(const char* sql);
    bool write(const std::function<bool()>& change);
    void commit();
    void fail(const char* what);
    bool upsert(const VerdictRow& row);
    bool remove(const QByteArray& folder, const QByteArray& name);

    QString m_path;
    std::function<void(const QString&)> m_warn;
    bool m_trustRows;
    sqlite3* m_db = nullptr;
    quint64 m_inode = 0;     // the file m_db was opened on
    bool m_setAside = false; // once a run: a file that cannot be moved is not tried again
    bool m_inTransaction = false;
    int m_pending = 0;
    std::shared_ptr<FolderVerdicts> m_folder;
    QSet<QByteArray> m_seen; // names of the folder's run
    double m_credit = 0;     // the rolling re-test's fraction carried to the folder's next run
    // The archive in work: its path, the file state its listing saw, and the row that listing makes.
    QString m_workPath;
    ArchiveStamp m_workStamp;
    std::optional<VerdictRow> m_workRow;
};
