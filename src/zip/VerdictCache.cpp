// The verdict cache's rows: the rows of a folder as its run begins, what the run is told at each archive's
// end, the end of the folder, and the writes, each a transaction of a moment.

#include "zip/VerdictCache.h"
#include "zip/DiskName.h"

#include "zip/FileSystemKind.h"
#include "zip/VerdictCacheSql.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

using namespace verdictcache;

namespace {

// After a write found the lock held past kBusyTimeoutMs (another run stopped while it wrote), the next
// writes wait this long only, until one gets through: a run beside a stopped one is not slowed by a second
// per archive.
constexpr int kShortBusyMs = 20;
// The end of a folder removes rows of archives that were not found sound; for those it waits longer.
constexpr int kRemovalWaitMs = 10000;

VerdictRow rowFrom(const Statement& st)
{
    VerdictRow r;
    r.folder = st.blob(0);
    r.name = st.blob(1);
    r.device = quint64(st.integer(2));
    r.inode = quint64(st.integer(3));
    r.size = st.integer(4);
    r.modifiedNs = st.integer(5);
    r.changedNs = st.integer(6);
    r.directoryHash = st.blob(7);
    r.verdict = st.text(8);
    r.testedNs = st.integer(9);
    r.version = st.text(10);
    return r;
}

} // namespace

bool VerdictCache::exec(const char* sql)
{
    return m_db && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* VerdictCache::prepare(const char* sql)
{
    sqlite3_stmt* s = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr) != SQLITE_OK)
        return nullptr;
    return s;
}

void VerdictCache::fail(const char* what)
{
    if (!m_db)
        return;
    const int code = sqlite3_errcode(m_db) & 0xff;
    const QString error = QString::fromUtf8(sqlite3_errmsg(m_db));
    if (!unusableCode(code)) {
        // The rows read so far stand; what is not written is only read in full next time.
        if (!m_noWrites)
            warnOnce(m_warn, QStringLiteral("the verdict cache %1 failed to %2 (%3); the run goes on without "
                                            "writing to it")
                                 .arg(QDir::toNativeSeparators(m_path), QLatin1String(what), error));
        m_noWrites = true;
        return;
    }
    if (m_warn)
        m_warn(QStringLiteral("the verdict cache %1 failed to %2 (%3); the rest of the run leaves it alone")
                   .arg(QDir::toNativeSeparators(m_path), QLatin1String(what), error));
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    setAside(QStringLiteral("corrupt"));
}

bool VerdictCache::write(const char* what, const std::function<bool()>& change)
{
    if (!m_db || m_noWrites)
        return false;
    // One statement: SQLite makes it a transaction of its own, which holds the lock for milliseconds.
    if (change()) {
        if (m_shortWait)
            sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        m_shortWait = false;
        return true;
    }
    const int code = sqlite3_errcode(m_db) & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
        if (!m_shortWait)
            sqlite3_busy_timeout(m_db, kShortBusyMs);
        m_shortWait = true;
        return false;
    }
    fail(what);
    return false;
}

bool VerdictCache::batch(const char* what, int waitMs, const std::function<bool()>& changes)
{
    if (!m_db || m_noWrites)
        return false;
    sqlite3_busy_timeout(m_db, waitMs);
    const bool begun = exec("BEGIN IMMEDIATE");
    sqlite3_busy_timeout(m_db, m_shortWait ? kShortBusyMs : kBusyTimeoutMs);
    if (!begun) {
        const int code = sqlite3_errcode(m_db) & 0xff;
        if (code != SQLITE_BUSY && code != SQLITE_LOCKED)
            fail(what);
        else
            m_shortWait = true;
        return false;
    }
    m_shortWait = false;
    if (changes() && exec("COMMIT"))
        return true;
    // The error is the change's; a rollback after SQLite rolled back itself only says there is nothing to undo.
    const int code = sqlite3_errcode(m_db) & 0xff;
    if (code != SQLITE_BUSY && code != SQLITE_LOCKED)
        fail(what);
    if (m_db && !sqlite3_get_autocommit(m_db))
        exec("ROLLBACK");
    return false;
}

bool VerdictCache::upsert(const VerdictRow& row)
{
    Statement st{prepare((QByteArray("INSERT OR REPLACE INTO verdicts (") + kColumns +
                          ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)")
                             .constData())};
    if (!st.s)
        return false;
    st.bind(1, row.folder);
    st.bind(2, row.name);
    st.bind(3, qint64(row.device));
    st.bind(4, qint64(row.inode));
    st.bind(5, row.size);
    st.bind(6, row.modifiedNs);
    st.bind(7, row.changedNs);
    st.bind(8, row.directoryHash);
    st.bind(9, row.verdict);
    st.bind(10, row.testedNs);
    st.bind(11, row.version);
    return sqlite3_step(st.s) == SQLITE_DONE;
}

bool VerdictCache::remove(const QByteArray& folder, const QByteArray& name)
{
    Statement st{prepare("DELETE FROM verdicts WHERE folder = ?1 AND name = ?2")};
    if (!st.s)
        return false;
    st.bind(1, folder);
    st.bind(2, name);
    return sqlite3_step(st.s) == SQLITE_DONE;
}

std::shared_ptr<const FolderVerdicts> VerdictCache::beginFolder(const QString& folder, const QStringList& names,
                                                                const CachePolicy& policy)
{
    auto f = std::make_shared<FolderVerdicts>();
    f->folder = FolderVerdicts::folderKey(folder);
    f->policy = policy;
    m_seen.clear();
    m_unremoved.clear();
    m_pendingRows.clear();
    m_sinceWrite.start();
    for (const QString& n : names)
        m_seen.insert(diskname::toDisk(n));
    // Where a change need not show in the times, no row may stand for a test: every archive is read.
    const bool timesProve = fileSystemKindOf(folder) != FileSystemKind::CoarseTimes;
    if (!timesProve) {
        static bool said = false;
        if (m_warn && !said)
            m_warn(QStringLiteral("%1 is on a file system whose times do not show every change (FAT, exFAT): "
                                  "no cached verdict is trusted there, every archive is tested in full")
                       .arg(QDir::toNativeSeparators(folder)));
        said = true;
    }
    if (m_db && timesProve) {
        Statement st{prepare((QByteArray("SELECT ") + kColumns + " FROM verdicts WHERE folder = ?1").constData())};
        if (!st.s) {
            fail("read");
        } else {
            st.bind(1, f->folder);
            int rc;
            while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
                VerdictRow r = rowFrom(st);
                f->rows.insert(r.name, std::move(r));
            }
            if (rc != SQLITE_DONE) {
                f->rows.clear();
                fail("read");
            }
        }
    }
    // The rolling re-test: the archives whose full test is oldest, at the rate that reads the whole folder
    // once per re-test period.
    qint64 lastRun = policy.nowNs;
    m_credit = 0;
    if (m_db) {
        Statement st{prepare("SELECT last_run_ns, retest_credit FROM folders WHERE folder = ?1")};
        if (st.s) {
            st.bind(1, f->folder);
            if (sqlite3_step(st.s) == SQLITE_ROW) {
                lastRun = st.integer(0);
                m_credit = sqlite3_column_double(st.s, 1);
            }
        }
    }
    std::vector<const VerdictRow*> present;
    for (const VerdictRow& r : std::as_const(f->rows))
        if (m_seen.contains(r.name))
            present.push_back(&r);
    std::sort(present.begin(), present.end(), [](const VerdictRow* a, const VerdictRow* b) {
        return a->testedNs != b->testedNs ? a->testedNs < b->testedNs : a->name < b->name;
    });
    const size_t share =
        size_t(FolderVerdicts::retestShare(names.size(), policy.retestAfterDays, policy.nowNs - lastRun, &m_credit));
    for (size_t i = 0; i < std::min(share, present.size()); ++i)
        f->retest.insert(present[i]->name);
    // The rows stay for the end of the folder's run (what changed need not be written again); a run that
    // trusts none hands the workers none.
    m_folder = f;
    if (m_trustRows)
        return f;
    auto untrusted = std::make_shared<FolderVerdicts>();
    untrusted->folder = f->folder;
    untrusted->policy = policy;
    return untrusted;
}

void VerdictCache::archiveEnded(const QString& path, const ToldOutcome& told)
{
    if (!m_folder || !m_db)
        return;
    const QByteArray name = FolderVerdicts::nameKey(path);
    // The verdict is about the file told of; a file changed or replaced since (by anyone) is not that file.
    std::optional<VerdictRow> row;
    if (told.sound && told.stamp.valid() && !told.directoryHash.isEmpty() && ArchiveStamp::of(path) == told.stamp)
        row = m_folder->observed(path, told.stamp, told.directoryHash, told.testedNs);
    const auto before = m_folder->rows.constFind(name);
    if (row) {
        // Rows of ended archives go in together, a short transaction every so many rows or so long: the
        // lock is held for a moment per batch, not per archive, and a run killed meanwhile loses only re-tests.
        if (before == m_folder->rows.cend() || *before != *row)
            m_pendingRows.push_back(std::move(*row));
        if (m_pendingRows.size() >= size_t(kRowsPerBatch) || m_sinceWrite.hasExpired(kBatchAfterMs))
            writePending();
    } else if (before != m_folder->rows.cend()) {
        // A row that stays could let the archive pass untested: a removal the lock kept out is tried again.
        if (!write("remove a row", [&] { return remove(m_folder->folder, name); }) && m_db)
            m_unremoved.push_back(name);
    }
}

void VerdictCache::writePending()
{
    m_sinceWrite.start();
    if (m_pendingRows.empty())
        return;
    // Rows the lock keeps out are not written: those archives are read in full next time.
    batch("write rows", m_shortWait ? kShortBusyMs : kBusyTimeoutMs, [&] {
        for (const VerdictRow& r : m_pendingRows)
            if (!upsert(r))
                return false;
        return true;
    });
    m_pendingRows.clear();
}

void VerdictCache::endFolder(bool complete)
{
    writePending();
    if (m_folder && m_db) {
        std::vector<QByteArray> gone = m_unremoved;
        // An aborted run leaves the folder's last run as it was: the re-test it did not finish stays due.
        if (complete)
            for (const VerdictRow& r : std::as_const(m_folder->rows))
                if (!m_seen.contains(r.name))
                    gone.push_back(r.name);
        const bool removals = !m_unremoved.empty();
        if (complete || removals) {
            const bool done = batch("remove rows", removals ? kRemovalWaitMs : kBusyTimeoutMs, [&] {
                for (const QByteArray& name : gone)
                    if (!remove(m_folder->folder, name))
                        return false;
                if (!complete)
                    return true;
                Statement st{
                    prepare("INSERT OR REPLACE INTO folders (folder, last_run_ns, retest_credit) VALUES (?1, ?2, ?3)")};
                if (!st.s)
                    return false;
                st.bind(1, m_folder->folder);
                st.bind(2, m_folder->policy.nowNs);
                sqlite3_bind_double(st.s, 3, m_credit);
                return sqlite3_step(st.s) == SQLITE_DONE;
            });
            if (!done && removals && m_warn)
                m_warn(QStringLiteral("the verdict cache %1 still holds rows of %2 archive(s) of %3 that were not "
                                      "found sound; they cannot be removed now (%4)")
                           .arg(QDir::toNativeSeparators(m_path))
                           .arg(m_unremoved.size())
                           .arg(QDir::toNativeSeparators(diskname::fromDisk(m_folder->folder)),
                                m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("closed")));
        }
    }
    m_folder.reset();
    m_seen.clear();
    m_unremoved.clear();
    m_pendingRows.clear();
}

std::optional<VerdictRow> VerdictCache::find(const QByteArray& folder, const QByteArray& name)
{
    Statement st{
        prepare((QByteArray("SELECT ") + kColumns + " FROM verdicts WHERE folder = ?1 AND name = ?2").constData())};
    if (!st.s)
        return std::nullopt;
    st.bind(1, folder);
    st.bind(2, name);
    if (sqlite3_step(st.s) != SQLITE_ROW)
        return std::nullopt;
    return rowFrom(st);
}
