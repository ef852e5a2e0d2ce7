#include "zip/VerdictCache.h"

#include "zip/FileSystemKind.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
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
// Another run may hold the write lock for one short transaction; waiting this long covers a loaded disk.
constexpr int kBusyTimeoutMs = 15000;
// Rows are written in small transactions, so a second run never waits long and a killed run loses little.
constexpr int kRowsPerTransaction = 64;

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

VerdictRow FolderVerdicts::observed(const ArchiveListing& listing) const
{
    VerdictRow r;
    r.folder = folder;
    r.name = nameKey(listing.path);
    r.device = listing.stamp.device;
    r.inode = listing.stamp.inode;
    r.size = listing.stamp.size;
    r.modifiedNs = listing.stamp.modifiedNs;
    r.changedNs = listing.stamp.changedNs;
    r.directoryHash = listing.directoryHash;
    r.verdict = QStringLiteral("clean");
    r.testedNs = listing.testedNs;
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
        // Said once a process: a run of a tree opens the cache for every folder.
        static QSet<QString> said;
        const QString line = QStringLiteral("the verdict cache %1 is not used: %2; every archive is tested in full")
                                 .arg(QDir::toNativeSeparators(m_path), refused);
        if (m_warn && !said.contains(line))
            m_warn(line);
        said.insert(line);
        return;
    }
    if (open() && check())
        return;
    // Whatever is wrong with the file, the run must neither fail nor trust it: aside with it, a new one.
    const QString why = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("cannot be opened");
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    if (!m_setAside && setAside(why) && open() && check())
        return;
    if (m_warn)
        m_warn(QStringLiteral("the verdict cache %1 cannot be made; every archive is tested in full")
                   .arg(QDir::toNativeSeparators(m_path)));
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

VerdictCache::~VerdictCache()
{
    if (m_db) {
        commit();
        sqlite3_close_v2(m_db);
    }
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

bool VerdictCache::open()
{
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
        return false;
#endif
    const int rc = sqlite3_open_v2(
        QFile::encodeName(m_path).constData(), &m_db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    // The file this connection uses: only that one may be set aside (another run may have made a new one).
    m_inode = inodeOf(m_path);
    if (rc != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(m_db, 1);
    return true;
}

// The file is ours, of this schema, and sound; a new empty file becomes ours here.
bool VerdictCache::check()
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
        return false;
    const qint64 app = scalar("PRAGMA application_id");
    const qint64 schema = scalar("PRAGMA user_version");
    const qint64 tables = scalar("SELECT count(*) FROM sqlite_master");
    if (!exec("COMMIT") || !ok)
        return false;
    const bool empty = app == 0 && schema == 0 && tables == 0;
    if (!empty && (app != kApplicationId || schema != kSchemaVersion)) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return !m_setAside && setAside(QStringLiteral("not a verdict cache of this version")) && open() && check();
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
            if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || waited.elapsed() > kBusyTimeoutMs)
                return false;
            QThread::msleep(5);
        }
    };
    if (!toWal() || !exec("PRAGMA synchronous=NORMAL"))
        return false;
    if (empty) {
        // Two runs may make a new file at once; the immediate transaction lets one do it, the other wait.
        if (!exec("BEGIN IMMEDIATE"))
            return false;
        const bool made = exec(kSchema) &&
                          exec(QByteArray("PRAGMA application_id=" + QByteArray::number(kApplicationId)).constData()) &&
                          exec(QByteArray("PRAGMA user_version=" + QByteArray::number(kSchemaVersion)).constData());
        if (!made || !exec("COMMIT")) {
            exec("ROLLBACK");
            return false;
        }
        return true;
    }
    // No whole-file check here: a run of a tree opens the cache once per folder, and a check of every page
    // would cost more than the folder. A corrupt page shows when it is read, and fail() sets the file aside.
    Statement columns{prepare((QByteArray("SELECT ") + kColumns + " FROM verdicts LIMIT 1").constData())};
    return columns.s != nullptr;
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
    if (m_warn)
        m_warn(
            QStringLiteral("the verdict cache %1 failed to %2 (%3); the rest of the run leaves it alone")
                .arg(QDir::toNativeSeparators(m_path), QLatin1String(what), QString::fromUtf8(sqlite3_errmsg(m_db))));
    const int code = sqlite3_errcode(m_db) & 0xff;
    if (m_inTransaction)
        exec("ROLLBACK");
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_inTransaction = false;
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
        setAside(QStringLiteral("corrupt"));
}

bool VerdictCache::write(const std::function<bool()>& change)
{
    if (!m_db)
        return false;
    if (!m_inTransaction) {
        if (!exec("BEGIN IMMEDIATE")) {
            fail("begin a write");
            return false;
        }
        m_inTransaction = true;
    }
    if (!change()) {
        fail("write a row");
        return false;
    }
    if (++m_pending >= kRowsPerTransaction)
        commit();
    return true;
}

void VerdictCache::commit()
{
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    m_pending = 0;
    if (!exec("COMMIT"))
        fail("commit");
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
    commit();
    auto f = std::make_shared<FolderVerdicts>();
    f->folder = FolderVerdicts::folderKey(folder);
    f->policy = policy;
    m_seen.clear();
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

void VerdictCache::noteListing(const ArchiveListing& listing)
{
    m_workPath = listing.path;
    m_workStamp = listing.stamp;
    m_workRow.reset();
    if (m_folder && listing.result == ZipSuccess && listing.stamp.valid() && !listing.directoryHash.isEmpty())
        m_workRow = m_folder->observed(listing);
}

void VerdictCache::archiveEnded(const QString& path, bool kept)
{
    if (!m_folder || !m_db)
        return;
    const QByteArray name = FolderVerdicts::nameKey(path);
    std::optional<VerdictRow> row;
    if (kept && path == m_workPath && m_workRow) {
        if (ArchiveStamp::of(path) == m_workStamp) {
            row = m_workRow;
        } else {
            // Rewritten by the run: its entries were copied byte for byte from the tested ones, so the data
            // keeps its test time; the new file's own identity and directory are read here.
            ZipComponent zip;
            ArchiveCleaner cleaner(zip, path);
            ArchiveListing now = cleaner.listDirectory();
            if (now.result == ZipSuccess && now.stamp.valid() && !now.directoryHash.isEmpty()) {
                now.testedNs = m_workRow->testedNs;
                row = m_folder->observed(now);
            }
        }
    }
    m_workRow.reset();
    m_workPath.clear();
    const auto before = m_folder->rows.constFind(name);
    if (row) {
        if (before == m_folder->rows.cend() || *before != *row)
            write([&] { return upsert(*row); });
    } else if (before != m_folder->rows.cend()) {
        write([&] { return remove(m_folder->folder, name); });
    }
}

void VerdictCache::endFolder(bool complete)
{
    // An aborted run leaves the folder's last run as it was: the re-test it did not finish stays due.
    if (complete && m_folder && m_db) {
        for (const VerdictRow& r : std::as_const(m_folder->rows))
            if (!m_seen.contains(r.name) && !write([&] { return remove(r.folder, r.name); }))
                break;
        write([&] {
            Statement st{
                prepare("INSERT OR REPLACE INTO folders (folder, last_run_ns, retest_credit) VALUES (?1, ?2, ?3)")};
            if (!st.s)
                return false;
            st.bind(1, m_folder->folder);
            st.bind(2, m_folder->policy.nowNs);
            sqlite3_bind_double(st.s, 3, m_credit);
            return sqlite3_step(st.s) == SQLITE_DONE;
        });
    }
    commit();
    m_folder.reset();
    m_seen.clear();
}

std::optional<VerdictRow> VerdictCache::find(const QByteArray& folder, const QByteArray& name)
{
    commit();
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
