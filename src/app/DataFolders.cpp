#include "app/DataFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace {

const QString kName = QStringLiteral("tamsorel");

// An XDG base folder: the variable when it holds an absolute path, otherwise its default below HOME.
QString xdgFolder(const char* variable, const QString& fallbackBelowHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(QDir::homePath() + QLatin1Char('/') + fallbackBelowHome);
}

bool writableFolder(const QString& folder)
{
    // access() answers for this user, read-only mounts included, where permission bits alone would not.
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

QString sharedFolderOf(const QString& programFolder)
{
    return QDir::cleanPath(programFolder + QStringLiteral("/../share/") + kName);
}

} // namespace

DataFolders DataFolders::portable(const QString& programFolder)
{
    return {programFolder, programFolder, programFolder, false};
}

DataFolders DataFolders::installedFor(const QString& programFolder)
{
    return {xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config")) + QLatin1Char('/') + kName,
            xdgFolder("XDG_CACHE_HOME", QStringLiteral(".cache")) + QLatin1Char('/') + kName,
            sharedFolderOf(programFolder), true};
}

DataFolders DataFolders::locate(const QString& programFolder)
{
    const bool installation = QFileInfo(sharedFolderOf(programFolder) + QStringLiteral("/purge.txt")).isFile() &&
                              !QFileInfo::exists(programFolder + QStringLiteral("/purge.txt"));
    if (writableFolder(programFolder) && !installation)
        return portable(programFolder);
    return installedFor(programFolder);
}

bool DataFolders::prepare(QString* error) const
{
    if (!installed)
        return true;
    for (const QString& folder : {config, cache}) {
        if (!QDir().mkpath(folder)) {
            if (error)
                *error = QStringLiteral("cannot make the folder ") + QDir::toNativeSeparators(folder);
            return false;
        }
    }
    const QString list = config + QStringLiteral("/purge.txt");
    const QString shipped = shared + QStringLiteral("/purge.txt");
    // exists() is false for a dangling link too: a link the user made is left alone all the same.
    if (QFileInfo::exists(list) || QFileInfo(list).isSymLink() || !QFileInfo(shipped).isFile())
        return true;
    // QFile::copy never replaces an existing file and lands the copy whole; the shipped file is read-only
    // for this user, the copy must take Add's appends.
    if (!QFile::copy(shipped, list)) {
        if (error)
            *error = QStringLiteral("cannot make ") + QDir::toNativeSeparators(list);
        return false;
    }
    QFile::setPermissions(list, QFile::permissions(list) | QFileDevice::WriteOwner | QFileDevice::ReadOwner);
    return true;
}
