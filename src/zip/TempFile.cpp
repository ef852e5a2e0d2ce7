// The temporary file of a rewrite or an extraction: its last steps, where permissions, the disk and the
// rename meet.

#include "zip/ZipJob.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/xattr.h>
#endif

namespace zipjob {

quint32 unixMode(QFileDevice::Permissions p)
{
    quint32 mode = 0;
    mode |= (p & QFileDevice::ReadOwner) ? 0400 : 0;
    mode |= (p & QFileDevice::WriteOwner) ? 0200 : 0;
    mode |= (p & QFileDevice::ExeOwner) ? 0100 : 0;
    mode |= (p & QFileDevice::ReadGroup) ? 040 : 0;
    mode |= (p & QFileDevice::WriteGroup) ? 020 : 0;
    mode |= (p & QFileDevice::ExeGroup) ? 010 : 0;
    mode |= (p & QFileDevice::ReadOther) ? 04 : 0;
    mode |= (p & QFileDevice::WriteOther) ? 02 : 0;
    mode |= (p & QFileDevice::ExeOther) ? 01 : 0;
    return mode;
}

namespace {

// Runs a blocking sync, calling the hook while it lasts until the hook answers false (the sync cannot be
// called back; `stopped` then says the caller no longer wants its result). Without a hook, on this thread.
int syncing(int fd, const std::function<bool()>& hook, bool* stopped = nullptr)
{
#ifdef Q_OS_WIN
    auto sync = [fd] { return ::_commit(fd); };
#else
    auto sync = [fd] { return ::fsync(fd); };
#endif
    if (!hook)
        return sync();
    std::future<int> done;
    try {
        done = std::async(std::launch::async, sync);
    } catch (const std::system_error&) {
        return sync(); // no thread to be had: the sync waits here
    }
    bool wanted = true;
    while (done.wait_for(std::chrono::milliseconds(kHookIntervalMs)) != std::future_status::ready)
        wanted = wanted && hook();
    if (stopped)
        *stopped = !wanted;
    return done.get();
}

#ifdef Q_OS_LINUX
// Copies every extended attribute the reader may see (POSIX ACLs are system.posix_acl_access and
// system.posix_acl_default). One that cannot be set is kept all the same when the new file already has it
// with the same value (a security label given by the folder).
bool copyAttributes(int from, int to)
{
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP; // a file system without them: there are none to keep
    QByteArray names(qsizetype(size), '\0');
    size = size > 0 ? ::flistxattr(from, names.data(), size_t(names.size())) : 0;
    if (size < 0)
        return false;
    names.resize(qsizetype(size));
    // What the new file was given that the archive lacks (an ACL inherited from the folder's default) goes.
    QByteArray given(64 * 1024, '\0');
    const ssize_t givenSize = ::flistxattr(to, given.data(), size_t(given.size()));
    given.resize(qsizetype(std::max<ssize_t>(givenSize, 0)));
    const QList<QByteArray> kept = names.split('\0');
    for (const QByteArray& name : given.split('\0'))
        if (!name.isEmpty() && !kept.contains(name) && ::fremovexattr(to, name.constData()) != 0)
            return false;
    for (const QByteArray& name : kept) {
        if (name.isEmpty())
            continue;
        QByteArray value;
        ssize_t n = ::fgetxattr(from, name.constData(), nullptr, 0);
        if (n > 0) {
            value.resize(qsizetype(n));
            n = ::fgetxattr(from, name.constData(), value.data(), size_t(value.size()));
        }
        if (n < 0)
            return false;
        value.resize(qsizetype(n));
        if (::fsetxattr(to, name.constData(), value.constData(), size_t(value.size()), 0) == 0)
            continue;
        QByteArray there(value.size() + 1, '\0');
        if (::fgetxattr(to, name.constData(), there.data(), size_t(there.size())) != n ||
            there.left(qsizetype(n)) != value)
            return false;
    }
    return true;
}
#endif

#ifndef Q_OS_WIN
// The archive open as `original` is the file `opened` describes, but for its change time, which a rename
// sets.
bool stillAsOpened(int original, const ArchiveStamp& opened, bool renamed)
{
    ArchiveStamp now = ArchiveStamp::ofOpen(original, QString());
    if (renamed)
        now.changedNs = opened.changedNs;
    return now.valid() && now == opened;
}

// Puts `from` in place of `to` (names in the folder open as dir) when `to` is still the archive open as
// original. The exchange leaves the file it took the place of under `from`, where it is checked once more:
// a file that took the name between the check and the exchange is put back.
int exchangeChecked(int dir, const char* from, const char* to, int original, const ArchiveStamp& opened)
{
    struct stat st;
    if (::fstat(original, &st) != 0)
        return ZipCannotWrite;
    auto isOriginal = [&](const char* name) {
        struct stat there;
        return ::fstatat(dir, name, &there, AT_SYMLINK_NOFOLLOW) == 0 && there.st_ino == st.st_ino &&
               there.st_dev == st.st_dev;
    };
    if (!stillAsOpened(original, opened, false) || !isOriginal(to))
        return ZipArchiveChanged;
#ifdef Q_OS_LINUX
    if (::renameat2(dir, from, dir, to, RENAME_EXCHANGE) == 0) {
        if (isOriginal(from) && stillAsOpened(original, opened, true))
            return ZipSuccess;
        // What came back is another file, or the archive was written to meanwhile: both go back as they were.
        return ::renameat2(dir, from, dir, to, RENAME_EXCHANGE) == 0 ? ZipArchiveChanged : ZipOtherError;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return ZipCannotWrite;
    // A file system that cannot exchange: the last check comes with nothing between it and the rename.
    if (!isOriginal(to))
        return ZipArchiveChanged;
#endif
    return ::renameat(dir, from, dir, to) == 0 ? ZipSuccess : ZipCannotWrite;
}
#endif

} // namespace

bool TempFile::keepOwnerAndAttributes(int original)
{
    if (!m_open)
        return false;
#ifdef Q_OS_WIN
    Q_UNUSED(original);
    return true;
#else
    const int fd = m_file.handle();
    struct stat want;
    struct stat own;
    if (::fstat(original, &want) != 0 || ::fstat(fd, &own) != 0)
        return false;
    if ((own.st_uid != want.st_uid || own.st_gid != want.st_gid) && ::fchown(fd, want.st_uid, want.st_gid) != 0)
        return false;
#ifdef Q_OS_LINUX
    return copyAttributes(original, fd);
#else
    return true;
#endif
#endif
}

int TempFile::replace(const QString& target, int original, const ArchiveStamp& opened,
                      const std::function<bool()>& whileSyncing, ArchiveStamp* produced)
{
    if (!m_open)
        return ZipCannotWrite;
#ifdef Q_OS_WIN
    Q_UNUSED(original);
    Q_UNUSED(opened);
    if (!commit(target, QFile::permissions(target), whileSyncing)) // Windows names are UTF-16: no escapes
        return ZipCannotWrite;
    if (produced)
        *produced = ArchiveStamp::of(target);
    return ZipSuccess;
#else
    const int fd = m_file.handle();
    struct stat st;
    // The mode is set through this file's own descriptor, so a read-only archive stays read-only.
    if (::fstat(original, &st) != 0 || ::fchmod(fd, st.st_mode & 07777) != 0)
        return ZipCannotWrite;
    bool stopped = false;
    if (syncing(fd, whileSyncing, &stopped) != 0)
        return ZipCannotWrite;
    if (stopped)
        return ZipAborted;
    const QFileInfo info(target);
    const int dir = diskname::openRaw(info.absolutePath(), O_RDONLY | O_DIRECTORY);
    if (dir < 0)
        return ZipCannotWrite;
    const QString ownName = m_name;
    const QByteArray from = diskname::toDisk(QFileInfo(ownName).fileName());
    const int rc =
        exchangeChecked(dir, from.constData(), diskname::toDisk(info.fileName()).constData(), original, opened);
    // The stamp of the file now in place, from its own descriptor: the rename set its change time.
    if (rc == ZipSuccess && produced)
        *produced = ArchiveStamp::ofOpen(fd, target);
    if (rc == ZipSuccess || rc == ZipOtherError) {
        // Done: the old archive is under the temporary name, and goes. Or (an exchange back that failed) the
        // file under the temporary name is not ours to remove.
        m_file.close();
        pendingFiles().remove(ownName);
        m_open = false;
        if (rc == ZipSuccess)
            ::unlinkat(dir, from.constData(), 0);
    }
    ::close(dir);
    if (rc == ZipSuccess)
        syncFolder(info.absolutePath(), whileSyncing); // past undoing: a stop changes nothing
    return rc == ZipOtherError ? ZipArchiveChanged : rc;
#endif
}

TempFile::Named TempFile::nameNew(const QString& target, quint32 mode)
{
    if (!m_open)
        return Named::Failed;
#ifdef Q_OS_WIN
    Q_UNUSED(mode);
    if (diskname::exists(target))
        return Named::Exists;
    return commit(target, {}) ? Named::Done : Named::Failed;
#else
    if (::fchmod(m_file.handle(), mode_t(mode)) != 0)
        return Named::Failed;
    const QString ownName = m_name;
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return Named::Failed;
    const QByteArray from = diskname::toDisk(ownName);
    const QByteArray to = diskname::toDisk(target);
    int rc = -1;
#ifdef Q_OS_LINUX
    rc = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
    if (rc != 0 && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno == EEXIST ? Named::Exists : Named::Failed;
#endif
    if (rc != 0) {
        // No rename that refuses to replace: a link refuses an existing name, then the temporary name goes.
        if (::link(from.constData(), to.constData()) != 0)
            return errno == EEXIST ? Named::Exists : Named::Failed;
        ::unlink(from.constData());
    }
    pendingFiles().remove(ownName);
    m_open = false;
    return Named::Done;
#endif
}

bool TempFile::commit(const QString& target, QFileDevice::Permissions permissions,
                      const std::function<bool()>& whileSyncing)
{
    bool stopped = false;
    if (!m_open)
        return false;
    const int fd = m_file.handle();
#ifdef Q_OS_WIN
    if (permissions && !m_file.setPermissions(permissions))
        return false;
    if (m_kind == Rewrite && (syncing(fd, whileSyncing, &stopped) != 0 || stopped))
        return false;
#else
    // Widened to the archive's mode only now that the file is complete; a mode that cannot be set is a
    // failed rewrite, never a file others may read that the archive kept from them.
    if (permissions && ::fchmod(fd, mode_t(unixMode(permissions))) != 0)
        return false;
    if (m_kind == Rewrite && (syncing(fd, whileSyncing, &stopped) != 0 || stopped))
        return false;
#endif
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return false;
    std::error_code ec;
    std::filesystem::rename(fsPath(m_name), fsPath(target), ec);
    if (ec)
        return false;
    pendingFiles().remove(m_name);
    m_open = false;
    if (m_kind == Rewrite)
        syncFolder(QFileInfo(target).absolutePath(), whileSyncing); // past undoing: a stop changes nothing
    return true;
}

void TempFile::syncFolder(const QString& folder, const std::function<bool()>& whileSyncing)
{
#ifndef Q_OS_WIN
    const int fd = diskname::openRaw(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    syncing(fd, whileSyncing);
    ::close(fd);
#else
    Q_UNUSED(folder);
    Q_UNUSED(whileSyncing);
#endif
}

} // namespace zipjob
