// The run over the archives of one folder: the steps before the first archive, the loop, the end.

#include "zip/CleanRun.h"

#include "zip/CleanRunParts.h"
#include "zip/DiskName.h"
#include "zip/FileOps.h"
#include "zip/RunReport.h"

#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <cstdio>
#include <sys/stat.h>

namespace {

// The quarantined name NAME.bad, or the name an older file there moves to (NAME.bad.1, .2, ...).
QString freeName(const QString& quarantined)
{
    for (int n = 1;; ++n) {
        const QString name = quarantined + QStringLiteral(".%1").arg(n);
        if (!diskname::exists(name))
            return name;
    }
}

} // namespace

CleanRun::CleanRun(CleanRunSetup setup, CleanRunObserver& observer)
    : m_setup(std::move(setup)), m_observer(observer), m_impl(new Impl)
{
}

CleanRun::~CleanRun()
{
    delete m_impl;
}

void CleanRun::abort()
{
    if (m_impl->zip)
        m_impl->zip->Abort = true;
}

int CleanRun::readAheadCount() const
{
    return m_impl->readAhead ? m_impl->readAhead->readCount() : 0;
}

bool CleanRun::stopNow() const
{
    return m_observer.gone() || m_observer.abortAsked();
}

QString CleanRun::renameToBad(const QString& onDisk, QString* keptAside)
{
    const QString quarantined = onDisk + QStringLiteral(".bad");
    const QFileInfo there(quarantined); // for its name only: Qt cannot stat a name that is not UTF-8
    struct stat st;
    const bool present = diskname::statOf(quarantined, &st, false);
    const bool file = present && S_ISREG(st.st_mode);
    const bool folder = diskname::isFolder(quarantined);
    QString why;
    // An older quarantined file is replaced only when it is this very archive again; any other (an earlier
    // damaged upload of the same name, someone's file) moves to the next free name, never lost. A folder
    // stays where it is, and the archive keeps its name.
    if (file && fileops::sameBytes(onDisk, quarantined)) {
        if (std::rename(diskname::toDisk(onDisk).constData(), diskname::toDisk(quarantined).constData()) == 0)
            return {};
    } else if (present && !folder) {
        const QString aside = freeName(quarantined);
        if (!fileops::renameNoReplace(quarantined, aside, &why))
            return QStringLiteral("the older %1 cannot be moved aside: %2").arg(there.fileName(), why);
        if (keptAside)
            *keptAside = aside;
    }
    if (fileops::renameNoReplace(onDisk, quarantined, &why))
        return {};
    if (diskname::isFolder(quarantined))
        why = QStringLiteral("a folder of that name is in the way");
    return QStringLiteral("it cannot be renamed to %1: %2").arg(there.fileName(), why);
}

bool CleanRun::run()
{
    Impl& r = *m_impl;
    RunReport& report = *m_setup.report;
    const QString& folder = m_setup.folder;
    const int count = int(m_setup.names.size());
    if (m_setup.component) {
        r.zip = m_setup.component;
    } else {
        // A component of the run's own speaks to the observer; a lent one speaks to its owner already.
        r.ownComponent = std::make_unique<ZipComponent>();
        r.zip = r.ownComponent.get();
        QObject::connect(r.zip, &ZipComponent::Listing, r.zip,
                         [this](const QString& name) { m_observer.listingLine(name.toLower()); });
        QObject::connect(r.zip, &ZipComponent::Status, r.zip, [this](qint16 percent) { m_observer.progress(percent); });
        r.zip->setProgressHook([this] {
            m_observer.breathe();
            m_impl->sinceBreath.start();
            if (m_observer.abortAsked() || m_observer.gone())
                m_impl->zip->Abort = true;
        });
    }
    r.zip->Abort = false;
    r.sinceBreath.start();
    QStringList paths;
    paths.reserve(count);
    for (const QString& name : m_setup.names)
        paths << folder + QLatin1Char('/') + name;

    // Temporary files of rewrites a killed run left here go, in one read of the folder.
    if (!m_setup.dryRun)
        ZipComponent::removeStaleTemporariesIn(folder);
    // Attributes: a file that cannot be changed is passed over.
    for (int i = 0; i < count; ++i)
        if (!m_setup.names[i].isEmpty() && !m_setup.dryRun)
            fileops::clearAttributes(paths[i]);
    // A missing list loads as empty: the run then tests and repairs only.
    const auto breathe = [this] { m_observer.breathe(); };
    r.purgeRow = m_setup.loadPurgeList ? m_setup.loadPurgeList(breathe) : ArchiveCleaner::RowFinder();
    if (m_observer.gone())
        return false;
    if (!r.purgeRow)
        r.purgeRow = [](const QString&) { return QString(); };

    // Workers list and test the archives ahead of the loop, which takes each listing at its turn (or reads
    // the archive itself when the file changed meanwhile); leaving the loop throws away what was not taken.
    // The verdict cache serves unattended runs that ask for it; the window's runs read everything.
    const CollectionSettings& collection = m_setup.collection;
    if (m_setup.unattended && collection.cache != CollectionSettings::Cache::Off) {
        r.cache = std::make_unique<VerdictCache>(
            collection.cacheFile,
            [this](const QString& line) { m_observer.consoleLine(QStringLiteral("tamsorel: ") + line, true); },
            collection.cache == CollectionSettings::Cache::Incremental);
        if (r.cache->usable()) {
            const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
            r.folderVerdicts = r.cache->beginFolder(folder, m_setup.names, {now, collection.retestAfterDays});
        } else {
            r.cache.reset();
        }
    }
    r.readAhead =
        std::make_unique<ReadAhead>(paths, ReadAhead::kMaxAhead, ReadAhead::kMaxAheadBytes,
                                    collection.jobs > 0 ? collection.jobs : ReadAhead::defaultJobs(), r.folderVerdicts);
    report.runStarted(folder, count, r.zip);
    // Salvaged copies are written beside the archives, but the run's archives were named above.
    if (m_setup.salvage && m_setup.unattended) {
        r.salvage.emplace(report);
        r.salvage->setControl({breathe, [this] { return stopNow(); }});
    }

    bool aborted = false;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer archiveClock;
        archiveClock.start();
        if (!m_setup.names[i].isEmpty()) {
            const QString& path = paths[i];
            m_observer.archiveStarted(i, path);
            const qint64 badBefore = m_counts.bad;
            const qint64 doublesBefore = m_counts.doubles;
            report.archiveStarted(path);
            r.told = {};
            const CleanOutcome outcome = cleanArchive(i, path);
            if (m_observer.gone())
                return false;
            const auto ending = outcome == CleanOutcome::Abort                ? RunReport::Ending::Aborted
                                : outcome == CleanOutcome::DamagedDuringPurge ? RunReport::Ending::Damaged
                                                                              : RunReport::Ending::Finished;
            const bool quarantined = m_counts.bad != badBefore || ending == RunReport::Ending::Damaged;
            const QString salvaged = r.salvage && quarantined ? r.salvage->afterQuarantine(path) : QString();
            for (const QString& line :
                 report.archiveEnded(ending, m_counts.bad != badBefore, m_counts.doubles != doublesBefore))
                m_observer.consoleLine(line, false);
            if (m_setup.unattended && !report.lastDamageLine().isEmpty())
                m_observer.consoleLine(report.lastDamageLine(), true);
            if (r.cache) {
                r.told.sound = outcome != CleanOutcome::Abort && report.lastEndedSound();
                r.cache->archiveEnded(path, r.told);
            }
            if (!salvaged.isEmpty())
                m_observer.consoleLine(salvaged, !m_setup.dryRun);
            m_observer.archiveEnded(i, path, outcome);
            if (outcome == CleanOutcome::Abort || (outcome == CleanOutcome::Finished && m_observer.abortAsked())) {
                aborted = true;
                break;
            }
        }
        m_observer.breathe();
        r.sinceBreath.start();
        if (m_observer.gone())
            return false;
        ++m_counts.processed;
        m_observer.counted(m_counts.processed, archiveClock.elapsed() >= m_setup.frameMs);
        // An abort asked for meanwhile ends the run here, before the next archive.
        if (m_observer.abortAsked()) {
            aborted = i + 1 < count;
            break;
        }
    }
    // The workers stop before anything else is read or written.
    r.readAhead.reset();
    if (r.cache)
        r.cache->endFolder(!aborted);
    // Archives quarantined by earlier runs, once the run has ended as asked.
    if (r.salvage && !aborted)
        for (const QString& line : r.salvage->earlierQuarantines(folder))
            m_observer.consoleLine(line, !m_setup.dryRun);
    aborted = aborted || (r.salvage && r.salvage->aborted());
    m_counts.aborted = aborted;
    report.runEnded();
    return true;
}
