// VerdictCache, upkeep: what a process's run does once at its end. It counts the run, prunes the rows of a
// bounded batch of folders that no longer exist (a cursor walks the folders over the runs, so no run pays
// for a scan of the whole cache), removes set-aside files that were kept long enough, and checkpoints.

#include "zip/DiskName.h"
#include "zip/VerdictCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <sqlite3.h>

namespace {

// Tables of the upkeep alone, made when first needed: a cache without them is still of this version.
const char kUpkeepSchema[] =
    "CREATE TABLE IF NOT EXISTS upkeep ("
    " id INTEGER PRIMARY KEY CHECK (id = 1), runs INTEGER NOT NULL, prune_after BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS set_aside (name BLOB NOT NULL PRIMARY KEY, first_run INTEGER NOT NULL) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO upkeep (id, runs, prune_after) VALUES (1, 0, x'');";

// A statement that finalizes itself; steps through rows of one blob column.
struct Query
{
    sqlite3_stmt* s = nullptr;
    Query(sqlite3* db, const char* sql)
    {
        if (db)
            sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    }
    ~Query() { sqlite3_finalize(s); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    void bind(int i, const QByteArray& b) { sqlite3_bind_blob(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT); }
    void bind(int i, qint64 v) { sqlite3_bind_int64(s, i, v); }
    QByteArray blob(int i) const
    {
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(s, i)), sqlite3_column_bytes(s, i));
    }
    std::vector<QByteArray> blobs()
    {
        std::vector<QByteArray> out;
        while (s && sqlite3_step(s) == SQLITE_ROW)
            out.push_back(blob(0));
        return out;
    }
    bool done() { return s && sqlite3_step(s) == SQLITE_DONE; }
};

} // namespace

void VerdictCache::endRun(const QString& path, const std::function<void(const QString&)>& warn)
{
    VerdictCache cache(path, warn);
    if (!cache.usable())
        return;
    cache.upkeep();
    // The last connection to close checkpoints and removes the WAL: the syncs of the whole run.
    cache.m_checkpointOnClose = true;
}

void VerdictCache::upkeep()
{
    // Read first, outside any transaction: the look at the folders (a slow disk, a hung mount) never holds
    // the write lock. A cache made by an older run has no upkeep table yet; its cursor starts at the front.
    QByteArray after;
    {
        Query q(m_db, "SELECT prune_after FROM upkeep WHERE id = 1");
        if (q.s && sqlite3_step(q.s) == SQLITE_ROW)
            after = q.blob(0);
    }
    std::vector<QByteArray> candidates;
    for (const char* sql : {"SELECT folder FROM folders WHERE folder > ?1 ORDER BY folder LIMIT ?2",
                            "SELECT DISTINCT folder FROM verdicts WHERE folder > ?1 ORDER BY folder LIMIT ?2"}) {
        Query q(m_db, sql);
        if (!q.s)
            return;
        q.bind(1, after);
        q.bind(2, qint64(kPruneBatch));
        for (QByteArray& f : q.blobs())
            candidates.push_back(std::move(f));
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    // Fewer than a batch: the cursor went past the last folder and starts at the front next run.
    const bool wraps = candidates.size() < size_t(kPruneBatch);
    if (!wraps)
        candidates.resize(size_t(kPruneBatch));
    const QByteArray nextAfter = wraps ? QByteArray() : candidates.back();
    std::vector<QByteArray> gone;
    for (const QByteArray& f : candidates)
        if (!diskname::isFolder(diskname::fromDisk(f)))
            gone.push_back(f);

    // Set-aside files, newest first (their names end in the time they were set aside).
    const QFileInfo info(m_path);
    QStringList aside;
    for (const QString& name : info.dir().entryList({info.fileName() + QStringLiteral(".set-aside-*")},
                                                    QDir::Files | QDir::Hidden, QDir::Name | QDir::Reversed))
        if (!name.endsWith(QLatin1String("-wal")) && !name.endsWith(QLatin1String("-shm")))
            aside << name;
    QStringList doomed;

    const bool kept = batch("keep the cache tidy", kBusyTimeoutMs, [&] {
        doomed.clear();
        if (!exec(kUpkeepSchema) || !exec("UPDATE upkeep SET runs = runs + 1"))
            return false;
        qint64 runs = 0;
        {
            Query q(m_db, "SELECT runs FROM upkeep WHERE id = 1");
            if (!q.s || sqlite3_step(q.s) != SQLITE_ROW)
                return false;
            runs = sqlite3_column_int64(q.s, 0);
        }
        for (const QByteArray& f : gone) {
            for (const char* sql :
                 {"DELETE FROM verdicts WHERE folder = ?1", "DELETE FROM folders WHERE folder = ?1"}) {
                Query q(m_db, sql);
                q.bind(1, f);
                if (!q.done())
                    return false;
            }
        }
        Query cursor(m_db, "UPDATE upkeep SET prune_after = ?1 WHERE id = 1");
        cursor.bind(1, nextAfter);
        if (!cursor.done())
            return false;
        // A set-aside file is kept a few runs, for a look at what went wrong; only the newest few are kept.
        for (qsizetype k = 0; k < aside.size(); ++k) {
            const QByteArray name = QFile::encodeName(aside[k]);
            Query seen(m_db, "INSERT OR IGNORE INTO set_aside (name, first_run) VALUES (?1, ?2)");
            seen.bind(1, name);
            seen.bind(2, runs);
            Query first(m_db, "SELECT first_run FROM set_aside WHERE name = ?1");
            first.bind(1, name);
            if (!seen.done() || !first.s || sqlite3_step(first.s) != SQLITE_ROW)
                return false;
            if (k >= kSetAsideKept || runs - sqlite3_column_int64(first.s, 0) >= kSetAsideRuns)
                doomed << aside[k];
        }
        // What is no longer there (or goes now) needs no entry.
        Query entries(m_db, "SELECT name FROM set_aside");
        for (const QByteArray& name : entries.blobs()) {
            const QString n = QFile::decodeName(name);
            if (aside.contains(n) && !doomed.contains(n))
                continue;
            Query drop(m_db, "DELETE FROM set_aside WHERE name = ?1");
            drop.bind(1, name);
            if (!drop.done())
                return false;
        }
        return true;
    });
    if (!kept)
        return;
    for (const QString& name : std::as_const(doomed))
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(info.dir().filePath(name + QLatin1String(suffix)));
}
