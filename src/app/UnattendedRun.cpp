#include "app/UnattendedRun.h"

#include "app/FolderShard.h"
#include "app/Form1.h"
#include "app/RunLock.h"
#include "app/Signals.h"
#include "zip/ShownText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Entries of a folder whose names Qt cannot open, read as the raw bytes they are.
struct RawEntries
{
    QList<QByteArray> archives; // *.zip, any case, ordinary files
    QList<QByteArray> folders;
};

RawEntries unreadableEntries(const QString& folder)
{
    RawEntries found;
    const QByteArray path = QFile::encodeName(folder);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') || nameRoundTrips(name))
            continue;
        // Links to folders are not entered; links to archives are archives, as in the folder's listing.
        const QByteArray full = path + '/' + name;
        struct stat st = {};
        if (::lstat(full.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            found.folders.append(name);
        else if (::stat(full.constData(), &st) == 0 && S_ISREG(st.st_mode) && name.toLower().endsWith(".zip"))
            found.archives.append(name);
    }
    ::closedir(dir);
    std::sort(found.archives.begin(), found.archives.end());
    std::sort(found.folders.begin(), found.folders.end());
    return found;
}

} // namespace

UnattendedRun::UnattendedRun(Form1& form, const RunOptions& options, const QString& lockFolder)
    : m_form(form), m_options(options), m_lockFolder(lockFolder)
{
}

QStringList UnattendedRun::foldersOf(const QString& folder, bool recursive, QList<QByteArray>* unreadable)
{
    QStringList folders{folder};
    if (!recursive)
        return folders;
    for (qsizetype i = 0; i < folders.size(); ++i) {
        // Depth first, so each folder is followed by those below it.
        const QString parent = folders[i];
        QStringList below;
        for (const QString& name : QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks))
            if (nameRoundTrips(QFile::encodeName(name)))
                below << (parent.endsWith(u'/') ? parent : parent + u'/') + name;
        std::sort(below.begin(), below.end(),
                  [](const QString& a, const QString& b) { return QFile::encodeName(a) < QFile::encodeName(b); });
        for (qsizetype k = 0; k < below.size(); ++k)
            folders.insert(i + 1 + k, below[k]);
        if (unreadable)
            for (const QByteArray& name : unreadableEntries(parent).folders)
                unreadable->append(QFile::encodeName(parent) + '/' + name);
    }
    return folders;
}

void UnattendedRun::run()
{
    QStringList folders;
    QList<QByteArray> unreadable;
    int total = 0; // folders the run would clean without --shard, unreadable ones included
    for (const QByteArray& raw : m_options.folders) {
        QStringList below;
        QList<QByteArray> unreadableBelow;
        if (!nameRoundTrips(raw))
            unreadableBelow.append(raw);
        else
            below = foldersOf(QFile::decodeName(raw), m_options.recursive, &unreadableBelow);
        total += int(below.size() + unreadableBelow.size());
        // A shard keeps the folders whose place below the named folder falls to it; the rest are other shards'.
        const auto mine = [&](const QByteArray& path) {
            return !m_options.sharded() || shardOf(placeBelow(raw, path), m_options.shardCount) == m_options.shardIndex;
        };
        for (const QString& folder : below)
            if (mine(QFile::encodeName(folder)))
                folders << folder;
        for (const QByteArray& path : unreadableBelow)
            if (mine(path))
                unreadable << path;
    }
    // Qt reads file names as UTF-8: a folder whose name is not cannot be opened by its name.
    for (const QByteArray& raw : unreadable) {
        line(QStringLiteral("tamsorel: skipped, the folder's name is not UTF-8: ") + escapedName(raw), true);
        m_status = 2;
    }

    // Each folder's run salvages what it quarantines, and the older *.zip.bad files of that folder only.
    m_form.runReport.salvage = m_options.salvage;
    if (m_options.sharded())
        m_form.runReport.setShard(m_options.shardIndex, m_options.shardCount, total);
    // Every shard names its folders as the whole run would, so the shards' lines add up to the whole run's.
    const bool several = total > 1;
    for (const QString& folder : folders) {
        if (m_aborted)
            break;
        if (AbortSignals::received()) {
            // The signal came between two folders: no archive was in work, the folders left are not cleaned.
            m_aborted = true;
            m_form.runReport.markAborted();
            break;
        }
        cleanFolder(folder, several);
    }
    if (m_options.sharded())
        line(QStringLiteral("shard %1/%2: %3 of %4 folder(s)")
                 .arg(m_options.shardIndex)
                 .arg(m_options.shardCount)
                 .arg(folders.size() + unreadable.size())
                 .arg(total),
             false);
    if (several) {
        const QString prefix = QStringLiteral("total:");
        if (m_options.dryRun)
            line(prefix + m_form.runReport.drySummary(true), false);
        else
            line(prefix + Form1::countText(m_processed) + QStringLiteral(" zip(s) processed,") +
                     Form1::countText(m_bad) + QStringLiteral(" bad zip(s) found and renamed to +*.bad,") +
                     Form1::countText(m_doubles) + QStringLiteral(" double zip(s) found and fixed"),
                 false);
    }
    int status = std::max(m_status, m_aborted ? 1 : 0);
    // Damage found by a run that ended as asked has a status of its own, for cron and scripts to act on.
    if (status == 0 && m_bad > 0)
        status = 3;
    m_form.setRunStatus(status);
}

bool UnattendedRun::folderUsable(const QString& folder)
{
    // One line per fault, naming the folder as the command line does.
    const QString shown = shownPath(folder);
    const QByteArray path = QFile::encodeName(folder);
    struct stat st = {};
    QString problem;
    if (::stat(path.constData(), &st) != 0)
        problem =
            errno == ENOENT || errno == ENOTDIR
                ? QStringLiteral("no such folder: ") + shown
                : QStringLiteral("cannot read the folder %1: %2").arg(shown, QString::fromLocal8Bit(strerror(errno)));
    else if (!S_ISDIR(st.st_mode))
        problem = QStringLiteral("not a folder: ") + shown;
    else if (::access(path.constData(), R_OK | X_OK) != 0)
        problem = QStringLiteral("cannot read the folder %1: %2").arg(shown, QString::fromLocal8Bit(strerror(errno)));
    if (problem.isEmpty())
        return true;
    line(QStringLiteral("tamsorel: ") + problem, true);
    m_status = 2;
    return false;
}

void UnattendedRun::skipHiddenArchives(const QString& folder)
{
    // The run lists no hidden file, as the window does not; a hidden archive is said to be passed over. It
    // stays out of the counts and the report, which are of the archives the run lists.
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden, QDir::Name)) {
        if (!name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) || !QFileInfo(dir.filePath(name)).isFile())
            continue;
        line(QStringLiteral("tamsorel: skipped, the archive is hidden: ") + shownPath(dir.filePath(name)), true);
    }
}

void UnattendedRun::cleanFolder(const QString& folder, bool several)
{
    const QString shown = shownPath(folder);
    if (!folderUsable(folder))
        return;
    const RunLock lock(folder, m_lockFolder, m_options.waitSeconds, [] { return AbortSignals::received(); });
    if (lock.state() != RunLock::State::Held) {
        line(lock.state() == RunLock::State::Busy
                 ? QStringLiteral("tamsorel: refused: another run is cleaning ") + shown
                 : QStringLiteral("tamsorel: refused: ") + lock.error(),
             true);
        m_status = 2;
        return;
    }
    skipHiddenArchives(folder);
    for (const QByteArray& name : unreadableEntries(folder).archives) {
        const QString escaped = escapedName(name);
        line(QStringLiteral("tamsorel: skipped, the archive's name is not UTF-8: %1/%2").arg(shown, escaped), true);
        m_form.runReport.archiveSkipped(QFileInfo(folder).absoluteFilePath(), escaped,
                                        QStringLiteral("name is not UTF-8"));
        m_status = 2;
    }

    m_form.lastRunCounts = {};
    m_form.setRunStatus(0);
    m_form.setUnattendedFolder(folder);
    m_form.summaryPrefix = several ? shown + u':' : QString();
    m_form.collection = m_options.collection; // each folder's run opens the verdict cache anew
    m_form.Command2_Click();
    m_status = std::max(m_status, m_form.runStatus() == 1 ? 0 : m_form.runStatus());
    m_processed += m_form.lastRunCounts.processed;
    m_bad += m_form.lastRunCounts.bad;
    m_doubles += m_form.lastRunCounts.doubles;
    if (m_form.lastRunCounts.aborted || m_form.runStatus() == 1) {
        m_aborted = true;
        m_form.runReport.markAborted();
    }
}

void UnattendedRun::line(const QString& text, bool toStderr) const
{
    m_form.consoleLine(text, toStderr);
}
