#pragma once
// CleanRun: one clean-all run over the archives of one folder, named when it starts. It owns everything the
// run holds (the purge list it loaded, the read-ahead workers, the verdict cache, the salvage pass) and runs
// the steps in their order: the sweep of stale temporary files, the attribute step, the purge list, then for
// each archive its listing and test, the quarantine of a damaged one, the double-zip repair and the purge,
// and after the last one the salvage of older quarantined archives. Its front-ends (the window, the
// unattended driver) start it, may ask it to stop, and otherwise only hear from it: every fact goes out as
// an event to its observer, in the order it happens.

#include "zip/ArchiveCleaner.h"
#include "zip/CollectionSettings.h"

#include <QString>
#include <QStringList>
#include <functional>

class RunReport;
class ZipComponent;

// What one archive of a run came to.
enum class CleanOutcome
{
    Finished,
    DamagedDuringPurge,
    Abort
};

struct CleanRunCounts
{
    qint64 processed = 0, bad = 0, doubles = 0;
    bool aborted = false;
};

// The facts of a run as they happen. Every method has a default that does nothing.
class CleanRunObserver
{
public:
    virtual ~CleanRunObserver() = default;

    // Stop questions, asked where stopping is safe. gone(): the front-end itself has ended (the process
    // exits); the run returns at once and says nothing more. abortAsked(): the user's abort; the run ends
    // its archive's step and then the run, with its end of run.
    virtual bool gone() const { return false; }
    virtual bool abortAsked() const { return false; }
    // The run waits or works on: the front-end may answer its user now (the window pumps its events).
    virtual void breathe() {}
    // Milliseconds since the front-end last answered its user; -1: the run keeps its own clock.
    virtual qint64 msSinceBreath() const { return -1; }

    virtual void archiveStarted(int /*index*/, const QString& /*path*/) {}
    // The archive's listing starts (again, when the file was replaced under the run and is judged anew).
    virtual void listingStarted(const QString& /*path*/) {}
    // The lines of the archive's listing (entry names in lower case, or "Bad zip found") and the progress of
    // its listing, test or rewrite, for a front-end whose component does not already show them.
    virtual void listingLine(const QString& /*line*/) {}
    virtual void progress(int /*percent*/) {}
    // The listing found damage: the archive is to be quarantined.
    virtual void damaged(const QString& /*path*/) {}
    virtual void doubleZipFound(const QString& /*path*/) {}
    // The archive was not cleaned as asked. what: "not cleaned", "not purged" or "double zip not repaired".
    virtual void notCleaned(const QString& /*path*/, const QString& /*what*/, const QString& /*why*/) {}
    // The purge pass: line k of the listing (as it stands now) goes; the rewrite is over (when it failed,
    // notCleaned follows); the line went; a line is looked at on the way, and then no longer.
    virtual void lineGoing(int /*k*/) {}
    virtual void lineRewritten() {}
    virtual void lineGone(int /*k*/) {}
    virtual void lineLooked(int /*k*/, bool /*removed*/) {}
    virtual void lineLookedDone(int /*k*/) {}
    // A line for the console of an unattended run (the summary lines of an archive, damage, salvage, an
    // older .bad kept); the window shows none of them.
    virtual void consoleLine(const QString& /*line*/, bool /*toStderr*/) {}
    virtual void archiveEnded(int /*index*/, const QString& /*path*/, CleanOutcome /*outcome*/) {}
    // How many archives the run has passed; tookAWhile when this one took at least a frame's time.
    virtual void counted(qint64 /*processed*/, bool /*tookAWhile*/) {}
};

struct CleanRunSetup
{
    QString folder;    // as the current-folder rule gives it
    QStringList names; // its archives in the run's order; an empty name is a position passed over
    bool unattended = false;
    bool dryRun = false;
    bool salvage = false;          // unattended runs only
    CollectionSettings collection; // the verdict cache (unattended runs only) and the read-ahead workers
    QString workFolder;            // where a double-zip repair puts the description
    // Loads the purge list when the run comes to it (a missing list loads as empty) and returns its finder.
    std::function<ArchiveCleaner::RowFinder(const std::function<void()>& breathe)> loadPurgeList;
    // The component the run lists, tests and rewrites with: the window lends its own, whose Listing and Status
    // reach its controls as in any listing. Null: the run makes its own.
    ZipComponent* component = nullptr;
    // The account and report of the run; the front-end keeps it, as it outlives the run (the window's
    // "Last run...", the report file of several folders).
    RunReport* report = nullptr;
    int frameMs = 20; // an archive that took this long is counted with tookAWhile
};

class CleanRun
{
public:
    CleanRun(CleanRunSetup setup, CleanRunObserver& observer);
    ~CleanRun();
    CleanRun(const CleanRun&) = delete;
    CleanRun& operator=(const CleanRun&) = delete;

    // Runs to the end, to an abort, or until the front-end is gone (then false: nothing more may be done).
    bool run();
    // Asks the run to stop at its next progress point (the component's abort).
    void abort();
    const CleanRunCounts& counts() const { return m_counts; }
    // How many archives the read-ahead workers have finished with so far.
    int readAheadCount() const;
    // The last archive the run could not clean as asked, and why (the window shows it at the run's end).
    const QString& notCleanedText() const { return m_notCleaned; }

    // Renames a damaged archive to NAME.bad: an older NAME.bad that is this very archive again is replaced,
    // any other moves to the next free NAME.bad.N (keptAside gets its new name). Empty when renamed;
    // otherwise why not.
    static QString renameToBad(const QString& onDisk, QString* keptAside = nullptr);

private:
    struct Impl;
    CleanOutcome cleanArchive(int i, const QString& path);
    bool stopNow() const;

    CleanRunSetup m_setup;
    CleanRunObserver& m_observer;
    CleanRunCounts m_counts;
    QString m_notCleaned;
    Impl* m_impl = nullptr;
};
