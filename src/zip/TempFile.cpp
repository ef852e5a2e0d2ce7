// The temporary file of a rewrite or an extraction: its last steps, where permissions, the disk and the
// rename meet.

#include "zip/ZipJob.h"

#include <chrono>
#include <future>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

} // namespace

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
    std::filesystem::rename(fsPath(m_file.fileName()), fsPath(target), ec);
    if (ec)
        return false;
    pendingFiles().remove(m_file.fileName());
    m_open = false;
    if (m_kind == Rewrite)
        syncFolder(QFileInfo(target).absolutePath(), whileSyncing); // past undoing: a stop changes nothing
    return true;
}

void TempFile::syncFolder(const QString& folder, const std::function<bool()>& whileSyncing)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
