#include "platform/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fileops {

QStringList ordinaryFiles(const QString& folder, const QString& mask)
{
    QDir dir(folder);
    if (!dir.exists())
        return {};
    return dir.entryList({mask}, QDir::Files, QDir::Name | QDir::IgnoreCase);
}

QString firstOrdinaryFile(const QString& folder, const QString& mask)
{
    const QStringList names = ordinaryFiles(folder, mask);
    return names.isEmpty() ? QString() : names.first();
}

bool isOrdinaryFile(const QString& path)
{
    const QFileInfo fi(path);
    return fi.isFile() && !fi.isHidden();
}

bool clearAttributes(const QString& path)
{
#ifdef Q_OS_UNIX
    // Nothing on disk changes: a rewrite writes its own file and gives it the archive's mode, so an archive
    // needs no write permission of its own. The file is looked at once, through a descriptor that never
    // follows a link and opens nothing (no device, no pipe), so what is checked is what is answered for.
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
#ifdef O_PATH
    flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
#endif
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ordinary = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ordinary;
#else
    const QFileInfo fi(path);
    if (!fi.exists() || fi.isSymLink())
        return false;
    const QFileDevice::Permissions p = fi.permissions();
    if (p & QFileDevice::WriteOwner)
        return true;
    return QFile::setPermissions(path, p | QFileDevice::WriteOwner);
#endif
}

bool removeFile(const QString& path)
{
    clearAttributes(path);
    return QFile::remove(path);
}

} // namespace fileops
