#include "app/RunLock.h"

#include "zip/DiskName.h"
#include "zip/ShownText.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kWaitStepMs = 100;

// Takes the lock without blocking, or waits in short steps (a signal can then end the wait).
RunLock::State lockFd(int fd, int waitSeconds, const std::function<bool()>& stop)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return RunLock::State::Held;
        if (errno != EWOULDBLOCK)
            return RunLock::State::Failed;
        if (clock.elapsed() >= qint64(waitSeconds) * 1000 || (stop && stop()))
            return RunLock::State::Busy;
        ::usleep(kWaitStepMs * 1000);
    }
}

// Makes the folder and those above it, by their exact bytes; only the folder itself is private.
void makePath(const QString& folder, mode_t mode)
{
    const QString parent = QFileInfo(folder).path();
    if (parent != folder && !diskname::exists(parent))
        makePath(parent, 0777);
    diskname::makeFolder(folder, mode);
}

} // namespace

bool RunLock::ownPrivateFolder(const QString& folder, QString* why)
{
    const QByteArray path = diskname::toDisk(folder);
    if (!diskname::exists(folder))
        makePath(folder, 0700);
    struct stat st = {};
    const char* problem = nullptr;
    if (::lstat(path.constData(), &st) != 0)
        problem = "cannot be made";
    else if (!S_ISDIR(st.st_mode))
        problem = "is not a folder";
    else if (st.st_uid != ::geteuid())
        problem = "belongs to another user";
    else if ((st.st_mode & 077) != 0 && ::chmod(path.constData(), st.st_mode & 0700) != 0)
        problem = "is open to other users";
    if (problem && why)
        *why = QStringLiteral("%1 %2").arg(shownPath(folder), QLatin1String(problem));
    return !problem;
}

QString RunLock::userLockFolder(const QString& fallback)
{
    QStringList candidates;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat st = {};
    if (runtime.startsWith('/') && ::lstat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid() && (st.st_mode & 077) == 0)
        candidates << diskname::fromDisk(runtime) + QStringLiteral("/tamsorel");
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (!cache.isEmpty())
        candidates << cache + QStringLiteral("/tamsorel/locks");
    // The first that is, or can be made, this user's own: a user whose HOME is another's still has one.
    for (const QString& folder : candidates)
        if (ownPrivateFolder(folder, nullptr))
            return folder;
    return fallback;
}

RunLock::RunLock(const QString& folder, const QString& lockFolder, int waitSeconds, const std::function<bool()>& stop)
{
    // The folder is opened by its exact bytes: two names that differ only in bytes that are not UTF-8 are two
    // folders, and their locks are two files.
    const int dir = diskname::openRaw(folder, O_RDONLY | O_DIRECTORY);
    if (dir < 0) {
        m_error = QStringLiteral("cannot open %1: %2").arg(shownPath(folder), strerror(errno));
        return;
    }
    if (lockFolder.isEmpty()) {
        m_fd = dir;
        m_state = lockFd(m_fd, waitSeconds, stop);
        if (m_state == State::Failed)
            m_error = QStringLiteral("cannot lock %1: %2").arg(shownPath(folder), strerror(errno));
        return;
    }
    // Not the folder itself: any user who can read a folder could flock it and keep its owner's runs out.
    struct stat st = {};
    const bool known = ::fstat(dir, &st) == 0;
    ::close(dir);
    QString why;
    if (!known || !ownPrivateFolder(lockFolder, &why)) {
        m_error = QStringLiteral("cannot lock %1: %2")
                      .arg(shownPath(folder), known ? why : QStringLiteral("cannot look at it"));
        return;
    }
    const QString file =
        QStringLiteral("%1/%2-%3.lock").arg(lockFolder).arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
    m_fd = diskname::openRaw(file, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    m_state = m_fd < 0 ? State::Failed : lockFd(m_fd, waitSeconds, stop);
    if (m_state == State::Failed)
        m_error = QStringLiteral("cannot lock %1: %2").arg(shownPath(file), strerror(errno));
}

RunLock::~RunLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void RunLock::removeAbandonedRunFolders(const QString& cache)
{
    const QDateTime settled = QDateTime::currentDateTimeUtc().addSecs(-60);
    const QFileInfoList folders =
        QDir(cache).entryInfoList({QStringLiteral("run-*")}, QDir::Dirs | QDir::NoSymLinks | QDir::Hidden);
    for (const QFileInfo& folder : folders) {
        if (folder.lastModified().toUTC() > settled)
            continue;
        const RunLock probe(folder.filePath(), {});
        if (probe.state() == State::Held)
            QDir(folder.filePath()).removeRecursively();
    }
}
