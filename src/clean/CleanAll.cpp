// The clean-all run: Command2 starts it, and pressed again while it runs, aborts it.

#include "app/ArchiveWork.h"
#include "app/Form1.h"
#include "app/RunLock.h"
#include "browse/Form2.h"
#include "platform/AnimatedIcon.h"
#include "platform/DirListBox.h"
#include "platform/DriveListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/ShownName.h"
#include "zip/DiskName.h"
#include "zip/ShownText.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <algorithm>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/statvfs.h>
#endif

namespace {

// Whether the volume that holds the folder is mounted read-only, asked by the folder's exact name.
bool onReadOnlyVolume(const QString& folder)
{
#ifdef Q_OS_UNIX
    struct statvfs volume;
    return ::statvfs(diskname::toDisk(folder).constData(), &volume) == 0 && (volume.f_flag & ST_RDONLY);
#else
    return QStorageInfo(folder).isReadOnly();
#endif
}

void writeLine(const Form1& form, const QString& line, bool toStderr)
{
    form.consoleLine(line, toStderr);
}

// The window's side of a run: each event of the run becomes what the window shows and plays. The run lists and
// rewrites with the window's own component, whose Listing and Status fill List1 and SSPanel2 as in any listing.
class WindowObserver : public CleanRunObserver
{
public:
    explicit WindowObserver(Form1& form) : f(form) {}
    const CleanRun* run = nullptr;

    bool gone() const override { return f.unloaded(); }
    bool abortAsked() const override { return f.runFlag == 0; }
    void breathe() override { f.pumpEvents(); }
    qint64 msSinceBreath() const override { return f.msSincePump(); }

    void archiveStarted(int i, const QString& path) override
    {
        if (f.fileListShows(i, path))
            f.File1->setSelected(i, true);
        f.setWindowTitle(QStringLiteral("Cleaning ") + shownName(diskname::lowered(QFileInfo(path).fileName())));
    }
    void listingStarted(const QString& path) override
    {
        f.List1->Clear();
        f.currentArchive = diskname::lowered(path);
        f.currentArchiveOnDisk = path;
    }
    void listingLine(const QString& line) override { f.List1->AddItem(line); }
    void damaged(const QString&) override
    {
        if (!f.unattended())
            f.playSound(QStringLiteral("error.wav"), 1);
    }
    void doubleZipFound(const QString&) override
    {
        f.SSPanel2->setFloodType(0);
        f.SSPanel2->setCaption(QStringLiteral("Double zip found"));
    }
    void notCleaned(const QString&, const QString&, const QString&) override
    {
        // Shown now, and again when the run ends.
        f.repairFailure = shownText(run->notCleanedText());
        f.SSPanel2->setFloodType(0);
        f.SSPanel2->setCaption(f.repairFailure);
    }
    void lineGoing(int k) override
    {
        f.List1->setSelected(k, true);
        f.SSPanel2->setFloodPercent(100);
    }
    void lineRewritten() override { f.SSPanel2->setFloodPercent(0); }
    void lineGone(int k) override { f.List1->RemoveItem(k); }
    void lineLooked(int k, bool removed) override
    {
        if (!removed)
            f.List1->setSelected(k, true);
    }
    void lineLookedDone(int k) override { f.List1->setSelected(k, false); }
    void consoleLine(const QString& line, bool toStderr) override { writeLine(f, line, toStderr); }
    void archiveEnded(int i, const QString& path, CleanOutcome outcome) override
    {
        const bool goesOn =
            outcome == CleanOutcome::DamagedDuringPurge || (outcome == CleanOutcome::Finished && f.runFlag != 0);
        if (goesOn && f.fileListShows(i, path))
            f.File1->setSelected(i, false);
    }
    void counted(qint64 processed, bool tookAWhile) override
    {
        f.Label2->setText(Form1::countText(processed) + QStringLiteral(" zip(s) processed"));
        // The count of an archive that took a while is on screen before the title names the next one, whose
        // first read or write may keep the pump waiting; small archives' counts keep the frame rate.
        if (tookAWhile)
            f.paintNow();
    }

private:
    Form1& f;
};

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
        if (!diskname::isFolder(folder)) {
            writeLine(*this,
                      (diskname::exists(folder) ? QStringLiteral("tamsorel: not a folder: ")
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
                const bool drive = onReadOnlyVolume(Dir1->Path());
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

    // The folder's lock, the same an unattended run takes: a run from cron of this folder and the window's
    // never clean it at once. Held to the end of the run.
    std::optional<RunLock> lock;
    if (!abortPress && !m_config.lockFolder.isEmpty()) {
        lock.emplace(Dir1->Path(), m_config.lockFolder);
        if (lock->state() != RunLock::State::Held) {
            const bool busy = lock->state() == RunLock::State::Busy;
            SSPanel2->setFloodType(0);
            SSPanel2->setCaption(busy ? QStringLiteral("Another run is cleaning this folder")
                                      : QStringLiteral("The folder cannot be locked: ") + lock->error());
            if (unattended()) {
                writeLine(*this,
                          busy
                              ? QStringLiteral("tamsorel: refused: another run is cleaning ") + shownPath(commandLine())
                              : QStringLiteral("tamsorel: refused: ") + lock->error(),
                          true);
                setRunStatus(2);
            }
            return;
        }
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
        CleanRunSetup setup;
        setup.folder = currentFolder;
        for (int i = 0; i < File1->ListCount(); ++i)
            setup.names << File1->Name(i);
        setup.unattended = unattended();
        setup.dryRun = runReport.dryRun;
        setup.salvage = runReport.salvage;
        setup.collection = collection;
        setup.workFolder = dataPath(QStringLiteral("temp"));
        setup.loadPurgeList = [this](const std::function<void()>& breathe) -> ArchiveCleaner::RowFinder {
            purgeEntries.load(breathe);
            return [this](const QString& line) { return purgeEntries.match(line); };
        };
        setup.component = XceedZip1;
        setup.report = &runReport;
        setup.frameMs = kFrameMs;
        WindowObserver observer(*this);
        CleanRun run(std::move(setup), observer);
        observer.run = &run;
        m_run = &run;
        const auto noRunNow = qScopeGuard([this] { m_run = nullptr; });
        if (!run.run())
            return; // the window was unloaded inside the run: the process ends here
        processed = run.counts().processed;
        bad = run.counts().bad;
        doubles = run.counts().doubles;
        aborted = run.counts().aborted;
    }

    // 13. End of run, on every road.
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
        writeLine(*this, runReport.drySummary(), false);
        setRunStatus(aborted ? 1 : 0);
    } else if (!abortPress) {
        // The invocation that ran the loop speaks for the run; an abort press has nothing to add.
        writeLine(*this,
                  countText(processed) + QStringLiteral(" zip(s) processed,") + countText(bad) +
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
    return i >= 0 && i < File1->ListCount() && File1->Name(i) == archive.fileName() &&
           QDir::cleanPath(File1->Path()) == QDir::cleanPath(archive.path());
}

void Form1::lastRun_Click()
{
    if (!runReport.hasAccount())
        return;
    Form2* window = ensureForm2();
    window->setWindowTitle(QStringLiteral("Last run"));
    window->Text1->setPlainText(shownText(runReport.accountText()));
    window->show();
    window->raise();
    window->activateWindow();
}
