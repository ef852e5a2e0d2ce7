#include "zip/VerdictCache.h"

#include "zip/FileSystemKind.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <mutex>
#include <sqlite3.h>

// Connections close with sqlite3_close_v2: a failure met while a statement is still open (fail() inside a
// read) must not leave the connection behind.

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 kNsPerDay = qint64(86400) * 1000000000;
// After a write found the lock held past kBusyTimeoutMs (another run stopped while it wrote), the next
// writes wait this long only, until one gets through: a run beside a stopped one is not slowed by a second
// per archive.
constexpr int kShortBusyMs = 20;
// The end of a folder removes rows of archives that were not found sound; for those it waits longer.
constexpr int kRemovalWaitMs = 10000;
int g_pageLimit = 0; // limitPagesForTests()

// What a failed call says about the file: only these make it unusable. A full disk, an I/O error, a busy
// lock or a read-only file are about the moment, not the rows.
bool unusableCode(int code)
{
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// The connection a closed cache leaves to the next one on the same file in this process: a run of a tree
// opens the cache once per folder, and a connection closed without a checkpoint would make the next one
// rebuild the WAL index (and forget what was checkpointed), while one closed with a checkpoint syncs twice.
struct KeptConnection
{
    std::mutex mutex;
    QString path;
    quint64 inode = 0;
    sqlite3* db = nullptr;

    static void close(sqlite3* db, bool checkpoint)
    {
        if (!checkpoint)
            sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(db);
    }
    // The kept connection to path when it is still on the file of that inode; null otherwise.
    sqlite3* take(const QString& p, quint64 i)
    {
        std::lock_guard lock(mutex);
        sqlite3* out = p == path && i == inode && i != 0 ? db : nullptr;
        if (db && !out)
            close(db, false);
        db = nullptr;
        path.clear();
        return out;
    }
    void keep(const QString& p, quint64 i, sqlite3* d)
    {
        std::lock_guard lock(mutex);
        if (db)
            close(db, false);
        path = p;
        inode = i;
        db = d;
    }
    ~KeptConnection()
    {
        if (db)
            close(db, false);
    }
};

KeptConnection& kept()
{
    static KeptConnection k;
    return k;
}

// Each line once a process: a run of a tree opens the cache for every folder.
void warnOnce(const std::function<void(const QString&)>& warn, const QString& line)
{
    static QSet<QString> said;
    if (warn && !said.contains(line))
        warn(line);
    said.insert(line);
}

const char kSchema[] = "CREATE TABLE IF NOT EXISTS verdicts ("
                       " folder BLOB NOT NULL, name BLOB NOT NULL,"
                       " device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
                       " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, directory_hash BLOB NOT NULL,"
                       " verdict TEXT NOT NULL, tested_ns INTEGER NOT NULL, version TEXT NOT NULL,"
                       " PRIMARY KEY (folder, name)) WITHOUT ROWID;"
                       "CREATE TABLE IF NOT EXISTS folders ("
                       " folder BLOB NOT NULL PRIMARY KEY, last_run_ns INTEGER NOT NULL, retest_credit REAL NOT NULL);";

const char kColumns[] = "folder, name, device, inode, size, mtime_ns, ctime_ns, directory_hash, verdict, tested_ns, "
                        "version";

// A statement that finalizes itself.
struct Statement
{
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
    void bind(int i, const QByteArray& b) { sqlite3_bind_blob(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT); }
    void bind(int i, const QString& t)
    {
        const QByteArray u = t.toUtf8();
        sqlite3_bind_text(s, i, u.constData(), int(u.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, qint64 v) { sqlite3_bind_int64(s, i, v); }
    QByteArray blob(int i) const
    {
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(s, i)), sqlite3_column_bytes(s, i));
    }
    QString text(int i) const
    {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, i)), sqlite3_column_bytes(s, i));
    }
    qint64 integer(int i) const { return sqlite3_column_int64(s, i); }
};

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

quint64 inodeOf(const QString& path)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0)
        return quint64(st.st_ino);
#else
    Q_UNUSED(path);
#endif
    return 0;
}

} // namespace

bool verdictMayStand(const VerdictRow& cached, const VerdictRow& seen, const CachePolicy& policy, bool dueForRetest)
{
    if (dueForRetest)
        return false;
    // Another version may judge differently (a decoder fixed since, a new rule): it reads everything once.
    if (cached.version != seen.version || cached.verdict != QLatin1String("clean"))
        return false;
    // The same file: every field that a rewrite, a copy, a replacement or an edit in place changes.
    if (cached.folder != seen.folder || cached.name != seen.name || cached.device != seen.device ||
        cached.inode != seen.inode || cached.size != seen.size || cached.modifiedNs != seen.modifiedNs ||
        cached.changedNs != seen.changedNs)
        return false;
    if (cached.directoryHash.isEmpty() || cached.directoryHash != seen.directoryHash)
        return false;
    // Half a day of slack on the safe side: a daily run that starts a little earlier than the one that tested
    // the archive still reads it on the last day of the period, not one run later.
    const qint64 age = policy.nowNs - cached.testedNs;
    return age >= 0 && age < qint64(policy.retestAfterDays) * kNsPerDay - kNsPerDay / 2;
}

QByteArray FolderVerdicts::folderKey(const QString& folder)
{
    const QFileInfo info(folder);
    const QString canonical = info.canonicalFilePath();
    return QFile::encodeName(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
}

QByteArray FolderVerdicts::nameKey(const QString& path)
{
    return QFile::encodeName(QFileInfo(path).fileName());
}

const VerdictRow* FolderVerdicts::row(const QString& path) const
{
    const auto it = rows.constFind(nameKey(path));
    return it == rows.cend() ? nullptr : &*it;
}

VerdictRow FolderVerdicts::observed(const QString& path, const ArchiveStamp& stamp, const QByteArray& directoryHash,
                                    qint64 testedNs) const
{
    VerdictRow r;
    r.folder = folder;
    r.name = nameKey(path);
    r.device = stamp.device;
    r.inode = stamp.inode;
    r.size = stamp.size;
    r.modifiedNs = stamp.modifiedNs;
    r.changedNs = stamp.changedNs;
    r.directoryHash = directoryHash;
    r.verdict = QStringLiteral("clean");
    r.testedNs = testedNs;
    r.version = QStringLiteral(TAMSOREL_VERSION);
    return r;
}

int FolderVerdicts::retestShare(qsizetype n, int retestAfterDays, qint64 sinceLastRunNs, double* credit)
{
    const double days = double(std::max(1, retestAfterDays));
    const double elapsedDays = double(std::max<qint64>(0, sinceLastRunNs)) / double(kNsPerDay);
    // More than the folder holds is no use: a folder not run for months is re-read whole, once.
    *credit = std::min(double(n), std::max(0.0, *credit) + double(n) * elapsedDays / days);
    const int share = int(*credit);
    *credit -= share;
    return share;
}

VerdictCache::VerdictCache(QString path, std::function<void(const QString&)> warn, bool trustRows)
    : m_path(std::move(path)), m_warn(std::move(warn)), m_trustRows(trustRows)
{
    const QString refused = refusal();
    if (!refused.isEmpty()) {
        warnOnce(m_warn, QStringLiteral("the verdict cache %1 is not used: %2; every archive is tested in full")
                             .arg(QDir::toNativeSeparators(m_path), refused));
        return;
    }
    Opened opened = Opened::Failed;
    m_inode = inodeOf(m_path);
    m_db = kept().take(m_path, m_inode);
    if (m_db) {
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        opened = Opened::Ok;
    } else {
        opened = open();
    }
    if (opened == Opened::Ok)
        opened = check();
    // A file SQLite cannot read as a cache of this version must neither fail the run nor be trusted: aside
    // with it, a new one. Any other failure (a full disk, an I/O error, a lock held too long) leaves the file
    // as it is for the next run.
    if (opened == Opened::Unusable) {
        const QString why = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("cannot be read");
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        if (!m_setAside && setAside(m_unusableWhy.isEmpty() ? why : m_unusableWhy)) {
            opened = open();
            if (opened == Opened::Ok)
                opened = check();
        }
    }
    if (opened == Opened::Ok)
        return;
    const QString why = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("cannot be opened");
    warnOnce(m_warn, QStringLiteral("the verdict cache %1 cannot be used now (%2); every archive is tested in full")
                         .arg(QDir::toNativeSeparators(m_path), why));
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

VerdictCache::~VerdictCache()
{
    writePending();
    if (!m_db)
        return;
    if (m_checkpointOnClose)
        KeptConnection::close(m_db, true);
    else if (sqlite3_get_autocommit(m_db))
        kept().keep(m_path, m_inode, m_db);
    else
        KeptConnection::close(m_db, false);
}

void VerdictCache::limitPagesForTests(int pages)
{
    g_pageLimit = pages;
}

QString VerdictCache::refusal() const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (fileSystemKindOf(folder) == FileSystemKind::Network)
        return QStringLiteral("it is on a network file system, whose locks it cannot rely on");
#ifdef Q_OS_UNIX
    // The names it lists are for this user alone, and its rows let archives pass untested: a cache another
    // user could read, make or replace is no cache of this user's.
    if (!QFileInfo(folder).exists()) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
    }
    for (const QString& name : {m_path, m_path + QStringLiteral("-wal"), m_path + QStringLiteral("-shm")}) {
        struct stat st;
        if (::lstat(QFile::encodeName(name).constData(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode))
            return QStringLiteral("%1 is a link").arg(QDir::toNativeSeparators(name));
        if (st.st_uid != ::geteuid())
            return QStringLiteral("%1 belongs to another user").arg(QDir::toNativeSeparators(name));
    }
#endif
    return {};
}

VerdictCache::Opened VerdictCache::open()
{
    m_unusableWhy.clear();
    const QFileInfo info(m_path);
    QDir().mkpath(info.absolutePath());
#ifdef Q_OS_UNIX
    // Made private before SQLite opens it (its journal files take the file's mode); a link put at the name
    // meanwhile is not followed, and a file of another user is not used.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    const bool ours = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && S_ISREG(st.st_mode) &&
                      ((st.st_mode & 077) == 0 || ::fchmod(fd, 0600) == 0);
    if (fd >= 0)
        ::close(fd);
    if (!ours)
        return Opened::Failed;
#endif
    const int rc = sqlite3_open_v2(
        QFile::encodeName(m_path).constData(), &m_db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    // The file this connection uses: only that one may be set aside (another run may have made a new one).
    m_inode = inodeOf(m_path);
    if (rc != SQLITE_OK)
        return failedOpen();
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(m_db, 1);
    if (g_pageLimit > 0)
        exec(QByteArray("PRAGMA max_page_count=" + QByteArray::number(g_pageLimit)).constData());
    return Opened::Ok;
}

VerdictCache::Opened VerdictCache::failedOpen()
{
    return m_db && unusableCode(sqlite3_errcode(m_db) & 0xff) ? Opened::Unusable : Opened::Failed;
}

// The file is ours, of this schema, and sound; a new empty file becomes ours here.
VerdictCache::Opened VerdictCache::check()
{
    // Each statement is done before the next: an open one would hold a read transaction, and the journal
    // mode cannot change under it.
    bool ok = true;
    const auto scalar = [&](const char* sql) {
        Statement st{prepare(sql)};
        if (!st.s || sqlite3_step(st.s) != SQLITE_ROW) {
            ok = false;
            return qint64(0);
        }
        return st.integer(0);
    };
    // The three are read in one transaction: read one by one, they can straddle another run's making of
    // the file, and half-made looks like a file of another program, which would be set aside.
    if (!exec("BEGIN"))
        return failedOpen();
    const qint64 app = scalar("PRAGMA application_id");
    const qint64 schema = scalar("PRAGMA user_version");
    const qint64 tables = scalar("SELECT count(*) FROM sqlite_master");
    if (!ok) {
        const Opened failed = failedOpen();
        exec("ROLLBACK");
        return failed;
    }
    if (!exec("COMMIT"))
        return failedOpen();
    const bool empty = app == 0 && schema == 0 && tables == 0;
    if (!empty && (app != kApplicationId || schema != kSchemaVersion)) {
        m_unusableWhy = QStringLiteral("not a verdict cache of this version");
        return Opened::Unusable;
    }
    // The change to WAL needs the file to itself and SQLite does not wait for that: another run that opened
    // the new file at the same moment is waited for here, not mistaken for a damaged file.
    const auto toWal = [this] {
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            if (exec("PRAGMA journal_mode=WAL"))
                return true;
            const int code = sqlite3_errcode(m_db) & 0xff;
            if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || waited.elapsed() > 15 * kBusyTimeoutMs)
                return false;
            QThread::msleep(5);
        }
    };
    // WAL with NORMAL: a commit is only a write; the syncs come with checkpoints.
    if (!toWal() || !exec("PRAGMA synchronous=NORMAL"))
        return failedOpen();
    if (empty) {
        // Two runs may make a new file at once; the immediate transaction lets one do it, the other wait.
        if (!exec("BEGIN IMMEDIATE"))
            return failedOpen();
        const bool made = exec(kSchema) &&
                          exec(QByteArray("PRAGMA application_id=" + QByteArray::number(kApplicationId)).constData()) &&
                          exec(QByteArray("PRAGMA user_version=" + QByteArray::number(kSchemaVersion)).constData());
        if (!made || !exec("COMMIT")) {
            const Opened failed = failedOpen();
            exec("ROLLBACK");
            return failed;
        }
        return Opened::Ok;
    }
    // No whole-file check here: a run of a tree opens the cache once per folder, and a check of every page
    // would cost more than the folder. A corrupt page shows when it is read, and fail() sets the file aside.
    Statement columns{prepare((QByteArray("SELECT ") + kColumns + " FROM verdicts LIMIT 1").constData())};
    if (columns.s)
        return Opened::Ok;
    // A file of this version without the table (made by another program) is not a cache of this version.
    const Opened failed = failedOpen();
    if (failed == Opened::Failed && (sqlite3_errcode(m_db) & 0xff) == SQLITE_ERROR) {
        m_unusableWhy = QStringLiteral("not a verdict cache of this version");
        return Opened::Unusable;
    }
    return failed;
}

bool VerdictCache::setAside(const QString& why)
{
    m_setAside = true;
    const QString aside = m_path + QStringLiteral(".set-aside-") +
                          QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmsszzz"));
    // A file another run has set aside and made anew meanwhile is that run's: it is used, not moved.
    const quint64 inode = inodeOf(m_path);
    if (inode == 0 || inode != m_inode)
        return true;
    const bool moved = QFile::rename(m_path, aside);
    // The journal files belong to the old file: a new file must not replay them.
    if (moved) {
        QFile::rename(m_path + QStringLiteral("-wal"), aside + QStringLiteral("-wal"));
        QFile::rename(m_path + QStringLiteral("-shm"), aside + QStringLiteral("-shm"));
    }
    if (m_warn)
        m_warn(moved ? QStringLiteral("the verdict cache %1 was set aside as %2 (%3); a new one is made")
                           .arg(QDir::toNativeSeparators(m_path), QDir::toNativeSeparators(aside), why)
                     : QStringLiteral("the verdict cache %1 cannot be used (%2) nor set aside")
                           .arg(QDir::toNativeSeparators(m_path), why));
    return moved;
}

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
        m_seen.insert(QFile::encodeName(n));
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
                           .arg(QDir::toNativeSeparators(QFile::decodeName(m_folder->folder)),
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
