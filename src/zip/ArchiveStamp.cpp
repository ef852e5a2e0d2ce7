#include "zip/ArchiveStamp.h"

#include "zip/DiskName.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#ifdef Q_OS_UNIX
namespace {

ArchiveStamp fromStat(const struct stat& st)
{
    ArchiveStamp s;
    if (!S_ISREG(st.st_mode))
        return s;
    s.size = qint64(st.st_size);
    s.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + qint64(st.st_mtim.tv_nsec);
    s.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + qint64(st.st_ctim.tv_nsec);
    s.inode = quint64(st.st_ino);
    s.device = quint64(st.st_dev);
    return s;
}

} // namespace
#endif

ArchiveStamp ArchiveStamp::of(const QString& path)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (!diskname::statOf(path, &st))
        return {};
    return fromStat(st);
#else
    ArchiveStamp s;
    const QFileInfo info(path);
    if (!info.isFile())
        return s;
    s.size = info.size();
    s.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
    s.changedNs = info.metadataChangeTime().toMSecsSinceEpoch() * 1000000;
    s.inode = quint64(info.birthTime().toMSecsSinceEpoch());
    return s;
#endif
}

ArchiveStamp ArchiveStamp::ofOpen(int fd, const QString& path)
{
#ifdef Q_OS_UNIX
    Q_UNUSED(path);
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return {};
    return fromStat(st);
#else
    Q_UNUSED(fd);
    return of(path);
#endif
}

quint64 ArchiveStamp::linkCount(int fd, const QString& path)
{
    Q_UNUSED(path);
#ifdef Q_OS_UNIX
    struct stat st;
    if (::fstat(fd, &st) == 0)
        return quint64(st.st_nlink);
#else
    Q_UNUSED(fd);
#endif
    return 1;
}
