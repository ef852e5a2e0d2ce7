#include "app/RunLock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// LOCK_NB: a run from cron must not queue up behind a long run of the same folder.
RunLock::State lockFd(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return RunLock::State::Held;
    return errno == EWOULDBLOCK ? RunLock::State::Busy : RunLock::State::Failed;
}

} // namespace

RunLock::RunLock(const QString& folder, const QString& lockFolder)
{
    // The folder itself is locked: the lock then holds for every user and every copy of the program, and
    // nothing is written anywhere.
    const QByteArray path = QFile::encodeName(folder);
    m_fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) {
        m_error = QStringLiteral("cannot open %1: %2").arg(QDir::toNativeSeparators(folder), strerror(errno));
        return;
    }
    m_state = lockFd(m_fd);
    if (m_state != State::Failed)
        return;

    // Where the file system cannot lock a folder, a lock file named by the folder's device and inode stands
    // in for it, in a folder of this user's own.
    struct stat st = {};
    const bool known = ::fstat(m_fd, &st) == 0;
    ::close(m_fd);
    m_fd = -1;
    if (!known || !QDir().mkpath(lockFolder)) {
        m_error = QStringLiteral("cannot lock %1").arg(QDir::toNativeSeparators(folder));
        return;
    }
    const QString file =
        QStringLiteral("%1/%2-%3.lock").arg(lockFolder).arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
    m_fd = ::open(QFile::encodeName(file).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    m_state = m_fd < 0 ? State::Failed : lockFd(m_fd);
    if (m_state == State::Failed)
        m_error = QStringLiteral("cannot lock %1: %2").arg(QDir::toNativeSeparators(file), strerror(errno));
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
