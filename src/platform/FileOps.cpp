#include "platform/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
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
    // One lstat, not QFileInfo: its permission query asks access() once per permission bit, and a run
    // calls this for every archive of the folder.
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || S_ISLNK(st.st_mode))
        return false;
    if (st.st_mode & S_IWUSR)
        return true;
    return ::chmod(native.constData(), (st.st_mode & 07777) | S_IWUSR) == 0;
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
