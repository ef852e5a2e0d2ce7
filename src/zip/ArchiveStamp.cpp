#include "zip/ArchiveStamp.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

ArchiveStamp ArchiveStamp::of(const QString& path)
{
    ArchiveStamp s;
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return s;
    s.size = qint64(st.st_size);
    s.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + qint64(st.st_mtim.tv_nsec);
    s.inode = quint64(st.st_ino);
    s.device = quint64(st.st_dev);
#else
    const QFileInfo info(path);
    if (!info.isFile())
        return s;
    s.size = info.size();
    s.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
    s.inode = quint64(info.birthTime().toMSecsSinceEpoch());
#endif
    return s;
}
