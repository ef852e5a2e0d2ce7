#include "app/UnattendedRun.h"

#include "app/FolderShard.h"
#include "app/RunLock.h"
#include "app/Signals.h"
#include "purge/PurgeList.h"
#include "zip/CleanRun.h"
#include "zip/DiskName.h"
#include "zip/DriveInfo.h"
#include "zip/FileOps.h"
#include "zip/RunReport.h"
#include "zip/ShownText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QString countText(qint64 count)
{
    return QLatin1Char(' ') + QString::number(count);
}

QString summary(qint64 processed, qint64 bad, qint64 doubles)
{
    return countText(processed) + QStringLiteral(" zip(s) processed,") + countText(bad) +
           QStringLiteral(" bad zip(s) found and renamed to +*.bad,") + countText(doubles) +
           QStringLiteral(" double zip(s) found and fixed");
}

// The run of one folder on the console: its lines are printed, a signal asks it to stop.
class ConsoleObserver : public CleanRunObserver
{
public:
    explicit ConsoleObserver(const ConsoleWriter& console) : m_console(console) {}
    bool abortAsked() const override { return AbortSignals::received(); }
    void consoleLine(const QString& line, bool toStderr) override { m_console(line, toStderr); }

private:
    const ConsoleWriter& m_console;
};

} // namespace

UnattendedRun::UnattendedRun(RunReport& report, const RunOptions& options, QString lockFolder, QString purgeFolder,
                             QString workFolder, ConsoleWriter console)
    : m_report(report), m_options(options), m_lockFolder(std::move(lockFolder)), m_purgeFolder(std::move(purgeFolder)),
      m_workFolder(std::move(workFolder)), m_console(std::move(console))
{
}

QStringList UnattendedRun::foldersOf(const QString& folder, bool recursive)
{
    QStringList folders{folder};
    if (!recursive)
        return folders;
    for (qsizetype i = 0; i < folders.size(); ++i) {
        // Depth first, so each folder is followed by those below it.
        const QString parent = folders[i];
        const QString prefix = parent.endsWith(u'/') ? parent : parent + u'/';
        QList<QByteArray> below;
        for (const QString& name : diskname::entries(parent)) {
            if (name.startsWith(u'.'))
                continue; // hidden, as the window's folder list hides it
            // Links to folders are not entered: a link could lead the run out of the tree or round in a loop.
            struct stat st = {};
            if (diskname::statOf(prefix + name, &st, false) && S_ISDIR(st.st_mode))
                below << diskname::toDisk(prefix + name);
        }
        std::sort(below.begin(), below.end());
        for (qsizetype k = 0; k < below.size(); ++k)
            folders.insert(i + 1 + k, diskname::fromDisk(below[k]));
    }
    return folders;
}

int UnattendedRun::run()
{
    QStringList folders;
    int total = 0; // folders the run would clean without --shard
    for (const QByteArray& raw : m_options.folders) {
        const QStringList below = foldersOf(diskname::fromDisk(raw), m_options.recursive);
        total += int(below.size());
        // A shard keeps the folders whose place below the named folder falls to it; the rest are other shards'.
        for (const QString& folder : below)
            if (!m_options.sharded() ||
                shardOf(placeBelow(raw, diskname::toDisk(folder)), m_options.shardCount) == m_options.shardIndex)
                folders << folder;
    }

    // Each folder's run salvages what it quarantines, and the older *.zip.bad files of that folder only.
    m_report.salvage = m_options.salvage;
    if (m_options.sharded())
        m_report.setShard(m_options.shardIndex, m_options.shardCount, total);
    // Every shard names its folders as the whole run would, so the shards' lines add up to the whole run's.
    const bool several = total > 1;
    for (const QString& folder : folders) {
        if (m_aborted)
            break;
        if (AbortSignals::received()) {
            // The signal came between two folders: no archive was in work, the folders left are not cleaned.
            m_aborted = true;
            m_report.markAborted();
            break;
        }
        cleanFolder(folder, several);
    }
    if (m_options.sharded())
        line(QStringLiteral("shard %1/%2: %3 of %4 folder(s)")
                 .arg(m_options.shardIndex)
                 .arg(m_options.shardCount)
                 .arg(folders.size())
                 .arg(total),
             false);
    if (several) {
        const QString prefix = QStringLiteral("total:");
        if (m_options.dryRun)
            line(prefix + m_report.drySummary(true), false);
        else
            line(prefix + summary(m_processed, m_bad, m_doubles), false);
    }
    int status = std::max(m_status, m_aborted ? 1 : 0);
    // Damage found by a run that ended as asked has a status of its own, for cron and scripts to act on.
    if (status == 0 && m_bad > 0)
        status = 3;
    return status;
}

bool UnattendedRun::folderUsable(const QString& folder)
{
    // One line per fault, naming the folder as the command line does.
    const QString shown = shownPath(folder);
    const QByteArray path = diskname::toDisk(folder);
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
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    QStringList hidden;
    for (const QString& name : diskname::entries(folder))
        if (name.startsWith(u'.') && name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) &&
            diskname::isFile(prefix + name))
            hidden << name;
    hidden.sort();
    for (const QString& name : hidden)
        line(QStringLiteral("tamsorel: skipped, the archive is hidden: ") + shownPath(prefix + name), true);
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

    if (!driveUsable(folder))
        return;

    // The archives of the folder as the window lists them: ordinary *.zip files, any case, by name.
    QString runFolder = diskname::absolute(folder);
    const QStringList names = fileops::ordinaryFiles(runFolder, QStringLiteral("*.zip"));
    if (runFolder.endsWith(QLatin1Char('/')))
        runFolder.chop(1); // a root folder, by the current-folder rule
    CleanRunSetup setup;
    setup.folder = runFolder;
    setup.names = names;
    setup.unattended = true;
    setup.dryRun = m_options.dryRun;
    setup.salvage = m_options.salvage;
    setup.collection = m_options.collection; // each folder's run opens the verdict cache anew
    setup.workFolder = m_workFolder + QStringLiteral("/temp");
    setup.loadPurgeList = [this](const std::function<void()>& breathe) -> ArchiveCleaner::RowFinder {
        auto list = std::make_shared<PurgeList>(m_purgeFolder);
        list->load(breathe);
        return [list](const QString& entry) { return list->match(entry); };
    };
    setup.report = &m_report;
    ConsoleObserver observer(m_console);
    CleanRun run(std::move(setup), observer);
    run.run();
    const CleanRunCounts& counts = run.counts();
    const QString prefix = several ? shown + u':' : QString();
    line(prefix + (m_options.dryRun ? m_report.drySummary() : summary(counts.processed, counts.bad, counts.doubles)),
         false);
    m_processed += counts.processed;
    m_bad += counts.bad;
    m_doubles += counts.doubles;
    if (counts.aborted) {
        m_aborted = true;
        m_report.markAborted();
    }
}

bool UnattendedRun::driveUsable(const QString& folder)
{
    // A dry run changes nothing, so a read-only collection (class 2) can be tested.
    DriveInfo drive;
    drive.Drive = diskname::absolute(folder);
    const int driveClass = drive.DriveClass();
    if (driveClass > DriveInfo::NotWritable || (m_options.dryRun && driveClass == DriveInfo::NotWritable))
        return true;
    // The line names what is read-only, as it is named: the mount, or only the folder.
    struct statvfs volume = {};
    const bool mountReadOnly =
        ::statvfs(diskname::toDisk(drive.Drive).constData(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0;
    line((mountReadOnly ? QStringLiteral("tamsorel: read-only drive: ")
                        : QStringLiteral("tamsorel: refused: the folder is read-only: ")) +
             shownPath(folder),
         true);
    m_status = 2;
    return false;
}

void UnattendedRun::line(const QString& text, bool toStderr) const
{
    m_console(text, toStderr);
}
