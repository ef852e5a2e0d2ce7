#include "app/DataFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <pwd.h>
#include <unistd.h>

namespace {

const QString kName = QStringLiteral("tamsorel");

// An XDG base folder: the variable when it holds an absolute path, otherwise its default below the home
// folder; empty when there is no home folder either.
QString xdgFolder(const char* variable, const QString& fallbackBelowHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    const QString home = DataFolders::homeFolder();
    return home.isEmpty() ? QString() : QDir::cleanPath(home + QLatin1Char('/') + fallbackBelowHome);
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

QString DataFolders::homeFolder()
{
    // QDir::homePath() answers "/" without HOME: a user's files would go to "/.config" (root's do).
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);
    const passwd* entry = ::getpwuid(::geteuid());
    const QString fromDatabase = entry && entry->pw_dir ? QFile::decodeName(entry->pw_dir) : QString();
    return QDir::isAbsolutePath(fromDatabase) ? QDir::cleanPath(fromDatabase) : QString();
}

DataFolders DataFolders::installedFor(const QString& programFolder)
{
    const QString config = xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config"));
    const QString cache = xdgFolder("XDG_CACHE_HOME", QStringLiteral(".cache"));
    return {config.isEmpty() ? QString() : config + QLatin1Char('/') + kName,
            cache.isEmpty() ? QString() : cache + QLatin1Char('/') + kName, sharedFolderOf(programFolder), true};
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
    if (config.isEmpty() || cache.isEmpty()) {
        if (error)
            *error = QStringLiteral("no home folder: HOME is not set and the user has none in the password database");
        return false;
    }
    for (const QString& folder : {config, cache}) {
        if (!QDir().mkpath(folder)) {
            if (error)
                *error = QStringLiteral("cannot make the folder ") + QDir::toNativeSeparators(folder);
            return false;
        }
    }
    // The cache lists every folder and archive the user's runs saw: for the user alone.
    QFile::setPermissions(cache, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString list = config + QStringLiteral("/purge.txt");
    const QString shipped = shared + QStringLiteral("/purge.txt");
    // exists() is false for a dangling link too: a link the user made is left alone all the same.
    if (QFileInfo::exists(list) || QFileInfo(list).isSymLink() || !QFileInfo(shipped).isFile())
        return true;
    // QFile::copy never replaces an existing file and lands the copy whole; the shipped file is read-only
    // for this user, the copy must take Add's appends.
    // A run started at the same moment may have made it first: that copy serves as well.
    if (!QFile::copy(shipped, list) && !QFileInfo::exists(list)) {
        if (error)
            *error = QStringLiteral("cannot make ") + QDir::toNativeSeparators(list);
        return false;
    }
    QFile::setPermissions(list, QFile::permissions(list) | QFileDevice::WriteOwner | QFileDevice::ReadOwner);
    return true;
}
