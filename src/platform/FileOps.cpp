#include "platform/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    const QFileInfo fi(path);
    if (!fi.exists() || fi.isSymLink())
        return false;
    const QFileDevice::Permissions p = fi.permissions();
    if (p & QFileDevice::WriteOwner)
        return true;
    return QFile::setPermissions(path, p | QFileDevice::WriteOwner);
}

bool removeFile(const QString& path)
{
    clearAttributes(path);
    return QFile::remove(path);
}

} // namespace fileops
