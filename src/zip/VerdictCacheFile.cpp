// The verdict cache's file: opening it (or refusing it), checking and making it, setting aside one that
// cannot be used, and the connection a closed cache leaves to the next one of the process.

#include "zip/FileSystemKind.h"
#include "zip/VerdictCache.h"
#include "zip/VerdictCacheSql.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <mutex>

// Connections close with sqlite3_close_v2: a failure met while a statement is still open (fail() inside a
// read) must not leave the connection behind.

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace verdictcache;

namespace {

int g_pageLimit = 0; // limitPagesForTests()

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

const char kSchema[] = "CREATE TABLE IF NOT EXISTS verdicts ("
                       " folder BLOB NOT NULL, name BLOB NOT NULL,"
                       " device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
                       " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, directory_hash BLOB NOT NULL,"
                       " verdict TEXT NOT NULL, tested_ns INTEGER NOT NULL, version TEXT NOT NULL,"
                       " PRIMARY KEY (folder, name)) WITHOUT ROWID;"
                       "CREATE TABLE IF NOT EXISTS folders ("
                       " folder BLOB NOT NULL PRIMARY KEY, last_run_ns INTEGER NOT NULL, retest_credit REAL NOT NULL);";

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

void verdictcache::warnOnce(const std::function<void(const QString&)>& warn, const QString& line)
{
    static QSet<QString> said;
    if (warn && !said.contains(line))
        warn(line);
    said.insert(line);
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
