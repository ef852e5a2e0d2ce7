// The clean-all run: Command2 starts it, and pressed again while it runs, aborts it.

#include "app/ArchiveWork.h"
#include "app/Form1.h"
#include "app/UnattendedRun.h"
#include "browse/Form2.h"
#include "clean/SalvagePass.h"
#include "platform/AnimatedIcon.h"
#include "platform/DirListBox.h"
#include "platform/DriveListBox.h"
#include "platform/FileListBox.h"
#include "platform/FileOps.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "zip/ReadAhead.h"
#include "zip/VerdictCache.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

namespace {

void writeLine(const Form1& form, const QString& line, bool toStderr)
{
    form.consoleLine(line, toStderr);
}

} // namespace

void Form1::Command2_Click()
{
    // Counts of this invocation only: an abort press runs as a second invocation with counts of its own.
    qint64 processed = 0;
    qint64 bad = 0;
    qint64 doubles = 0;
    bool aborted = false;

    // An abort press always aborts: the checks of steps 1 to 3 are about starting a run, and a press that
    // stops one must not be turned away by them (a folder browsed to during the run may be read-only).
    const bool abortPress = runFlag == -1;
    // A run started through the event pump of other archive work would clean under it; it is refused. An
    // abort press takes no work: the run it stops holds it.
    std::optional<ArchiveWork> work;
    if (!abortPress) {
        work.emplace(*this, QStringLiteral("cleaning"), QStringLiteral("Clean all"));
        if (work->refused())
            return;
    }

    // 1. Unattended: the command line names the folder. A name that is no folder means no run at all:
    //    cleaning whatever folder the window happens to show would touch archives nobody named.
    if (unattended() && !abortPress) {
        const QString folder = commandLine();
        if (!QFileInfo(folder).isDir()) {
            writeLine(*this,
                      (QFileInfo::exists(folder) ? QStringLiteral("tamsorel: not a folder: ")
                                                 : QStringLiteral("tamsorel: no such folder: ")) +
                          shownPath(folder),
                      true);
            setRunStatus(2);
            return;
        }
        // The lists move to the folder without their Change handlers: those would list (and might
        // quarantine) its first archive before the run, which lists and counts every archive itself.
        {
            const QSignalBlocker driveQuiet(Drive1);
            const QSignalBlocker dirQuiet(Dir1);
            Drive1->setDriveFor(folder);
            Dir1->setPath(folder);
        }
        File1->setPath(Dir1->Path());
        if (!File1->readError().isEmpty()) {
            writeLine(*this, QStringLiteral("tamsorel: ") + File1->readError(), true);
            setRunStatus(2);
            return;
        }
    }

    // 2. Drive check, on the folder to clean: its own writability is what decides whether archives may change.
    if (!abortPress) {
        DiskInfo1.Drive = Dir1->Path();
        // A dry run changes nothing, so a read-only collection (class 2) can be tested.
        const int driveClass = DiskInfo1.DriveClass();
        if (driveClass <= 2 && !(runReport.dryRun && driveClass == 2)) {
            SSPanel2->setFloodType(0);
            SSPanel2->setCaption(QStringLiteral("Read-only drive"));
            if (unattended()) {
                // The window's caption speaks of the drive; the line names what is read-only, as it is named.
                const bool drive = QStorageInfo(Dir1->Path()).isReadOnly();
                writeLine(*this,
                          (drive ? QStringLiteral("tamsorel: read-only drive: ")
                                 : QStringLiteral("tamsorel: refused: the folder is read-only: ")) +
                              shownPath(commandLine()),
                          true);
                setRunStatus(2);
            }
            return;
        }
    }

    // 3. Purge-list check, attended only.
    if (!abortPress && !unattended() && !purgeEntries.exists()) {
        showMessage(QStringLiteral("No purge list exists"), 48, QStringLiteral("Tamsorel error"));
        return;
    }

    // 4. Running look.
    AniIcon1->show();
    Command2->setText(QStringLiteral("&Abort"));
    processed = 0;
    SSPanel2->setFloodType(0);
    SSPanel2->setCaption(QString());
    SSPanel2->setFloodType(1);

    // 5. Start or abort.
    if (abortPress) {
        runFlag = 0;
        XceedZip1->Abort = true;
    } else {
        XceedZip1->Abort = false;
        runFlag = -1;

        // 6.
        Label2->setText(QString());
        repairFailure.clear();
        setMousePointer(11);
        Command1->setEnabled(false);

        // 7.
        for (int i = 0; i < File1->ListCount(); ++i)
            File1->setSelected(i, false);

        // 8. The run works on the archives File1 lists now, by full path, to its end: a folder the user browses
        //    to meanwhile refills File1, but none of its archives is cleaned, named or counted.
        currentFolder = folderFromDir();
        const QString runFolder = currentFolder;
        const int count = File1->ListCount();
        QStringList names;
        QStringList paths;
        names.reserve(count);
        paths.reserve(count);
        for (int i = 0; i < count; ++i) {
            names << File1->List(i);
            paths << runFolder + QLatin1Char('/') + names.last();
        }
        // Temporary files of rewrites a killed run left here go, in one read of the folder.
        if (!runReport.dryRun)
            ZipComponent::removeStaleTemporariesIn(runFolder);

        // 9. Attributes: a file that cannot be changed is passed over.
        for (int i = 0; i < count; ++i) {
            if (!names[i].isEmpty() && !runReport.dryRun)
                fileops::clearAttributes(paths[i]);
        }

        // 10. A missing list loads as empty: the run then tests and repairs only.
        purgeEntries.load([this] { pumpEvents(); });
        if (unloaded())
            return; // Exit during the load: the process ends here
        bad = 0;

        // 11. Workers list and test the archives ahead of the loop, which takes each listing at its turn (or
        //     reads the archive itself when the file changed meanwhile); leaving the loop throws away what was
        //     not taken.
        // The verdict cache serves unattended runs that ask for it; the window's runs read everything.
        std::unique_ptr<VerdictCache> cache;
        folderVerdicts.reset();
        if (unattended() && collection.cache != CollectionSettings::Cache::Off) {
            cache = std::make_unique<VerdictCache>(
                collection.cacheFile, [this](const QString& line) { writeLine(*this, "tamsorel: " + line, true); },
                collection.cache == CollectionSettings::Cache::Incremental);
            if (cache->usable()) {
                const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
                folderVerdicts = cache->beginFolder(runFolder, names, {now, collection.retestAfterDays});
            } else {
                cache.reset();
            }
        }
        ReadAhead ahead(paths, ReadAhead::kMaxAhead, ReadAhead::kMaxAheadBytes,
                        collection.jobs > 0 ? collection.jobs : ReadAhead::defaultJobs(), folderVerdicts);
        readAhead = &ahead;
        verdicts = cache.get();
        const auto noMoreAhead = qScopeGuard([this] {
            readAhead = nullptr;
            verdicts = nullptr;
            folderVerdicts.reset();
        });
        runReport.runStarted(runFolder, count, XceedZip1);
        // Salvaged copies are written beside the archives, but the run's archives were named above.
        std::optional<SalvagePass> salvage;
        if (runReport.salvage && unattended()) {
            salvage.emplace(runReport);
            salvage->setControl({[this] { pumpEvents(); }, [this] { return runFlag == 0; }});
        }
        for (int i = 0; i < count; ++i) {
            QElapsedTimer archiveClock;
            archiveClock.start();
            const QString& name = names[i];
            if (!name.isEmpty()) {
                if (fileListShows(i, paths[i]))
                    File1->setSelected(i, true);
                setWindowTitle(QStringLiteral("Cleaning ") + name.toLower());
                const qint64 badBefore = bad;
                const qint64 doublesBefore = doubles;
                runReport.archiveStarted(paths[i]);
                told = {};
                const CleanOutcome outcome = CleanArchive(paths[i], i, bad, doubles);
                if (unloaded())
                    return;
                const auto ending = outcome == CleanOutcome::Abort                ? RunReport::Ending::Aborted
                                    : outcome == CleanOutcome::DamagedDuringPurge ? RunReport::Ending::Damaged
                                                                                  : RunReport::Ending::Finished;
                const bool quarantined = bad != badBefore || ending == RunReport::Ending::Damaged;
                const QString salvaged =
                    salvage && quarantined ? salvage->afterQuarantine(currentArchiveOnDisk) : QString();
                for (const QString& line : runReport.archiveEnded(ending, bad != badBefore, doubles != doublesBefore))
                    writeLine(*this, line, false);
                if (unattended() && !runReport.lastDamageLine().isEmpty())
                    writeLine(*this, runReport.lastDamageLine(), true);
                if (cache) {
                    told.sound = outcome != CleanOutcome::Abort && runReport.lastEndedSound();
                    cache->archiveEnded(paths[i], told);
                }
                if (!salvaged.isEmpty())
                    writeLine(*this, salvaged, !runReport.dryRun);
                if (outcome == CleanOutcome::Abort) {
                    aborted = true;
                    break;
                }
                if (outcome == CleanOutcome::Finished) {
                    if (runFlag == 0) {
                        aborted = true;
                        break;
                    }
                    if (fileListShows(i, paths[i]))
                        File1->setSelected(i, false);
                }
            }
            pumpEvents();
            if (unloaded())
                return;
            ++processed;
            Label2->setText(countText(processed) + QStringLiteral(" zip(s) processed"));
            // The count of an archive that took a while is on screen before the title names the next one,
            // whose first read or write may keep the pump waiting; small archives' counts keep the frame rate.
            if (archiveClock.elapsed() >= kFrameMs)
                paintNow();
            // An abort pressed in the pump above ends the run here: the positions left may read empty (the
            // press refreshed File1), and passing them would end the run as if it had finished.
            if (runFlag == 0) {
                aborted = i + 1 < count;
                break;
            }
        }
        if (cache)
            cache->endFolder(!aborted);
        // Archives quarantined by earlier runs, once the run has ended as asked.
        if (salvage && !aborted)
            for (const QString& line : salvage->earlierQuarantines(runFolder))
                writeLine(*this, line, !runReport.dryRun);
        aborted = aborted || (salvage && salvage->aborted());
    }

    // 13. End of run, on every road.
    if (!abortPress)
        runReport.runEnded();
    lastRun->setEnabled(runReport.hasAccount());
    if (work)
        work->release(); // the listing below is archive work of its own
    AniIcon1->hide();
    setMousePointer(0);
    Command1->setEnabled(true);
    SSPanel1->setCaption(QString());
    SSPanel2->setCaption(QString());
    runFlag = 0;
    setWindowTitle(QStringLiteral("Tamsorel"));
    File1->Refresh();
    Command2->setText(QStringLiteral("&Clean all"));
    SSPanel2->setFloodPercent(0);
    // Unattended, the window closes now: listing an archive again would read it a second time, outside the
    // run's counts (or, after the user browsed elsewhere, read an archive nobody named).
    if (!unattended()) {
        File1->setSelected(0, true);
        ShowArchiveContents();
        // A double zip the run could not repair stays named after the run.
        if (!repairFailure.isEmpty()) {
            SSPanel2->setFloodType(0);
            SSPanel2->setCaption(repairFailure);
        }
    }

    // 14. Report.
    if (!abortPress)
        lastRunCounts = {processed, bad, doubles, aborted};
    if (!unattended()) {
        if (bad != 0 || doubles != 0)
            showMessage(countText(bad) + QStringLiteral(" bad zip(s) found and renamed to +*.bad") +
                            QStringLiteral("\n\n") + countText(doubles) +
                            QStringLiteral(" double zip(s) found and fixed"),
                        48, QStringLiteral("Tamsorel error"));
    } else if (!abortPress && runReport.dryRun) {
        writeLine(*this, summaryPrefix + runReport.drySummary(), false);
        setRunStatus(aborted ? 1 : 0);
    } else if (!abortPress) {
        // The invocation that ran the loop speaks for the run; an abort press has nothing to add.
        writeLine(*this,
                  summaryPrefix + countText(processed) + QStringLiteral(" zip(s) processed,") + countText(bad) +
                      QStringLiteral(" bad zip(s) found and renamed to +*.bad,") + countText(doubles) +
                      QStringLiteral(" double zip(s) found and fixed"),
                  false);
        // A refusal or message on the way (status 2) is not hidden by the end of the run.
        setRunStatus(std::max(runStatus(), aborted ? 1 : 0));
    }
}

bool Form1::fileListShows(int i, const QString& path) const
{
    const QFileInfo archive(path);
    return i >= 0 && i < File1->ListCount() && File1->List(i) == archive.fileName() &&
           QDir::cleanPath(File1->Path()) == QDir::cleanPath(archive.path());
}

void Form1::lastRun_Click()
{
    if (!runReport.hasAccount())
        return;
    Form2* window = ensureForm2();
    window->setWindowTitle(QStringLiteral("Last run"));
    window->Text1->setPlainText(runReport.accountText());
    window->show();
    window->raise();
    window->activateWindow();
}
