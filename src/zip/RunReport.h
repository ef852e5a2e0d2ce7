#pragma once
// The account of a clean-all run, and the opt-in extras of an unattended one: the dry run (a run that changes no file
// and says what it would do), the report file (JSON Lines, one object per archive and a closing summary, written to a
// temporary file and renamed into place when complete), and a progress line on a terminal.
//
// The run calls the hooks as each archive goes; they cost nothing when no extra is asked for.

#include <QElapsedTimer>
#include <QMetaObject>
#include <QString>
#include <QStringList>
#include <memory>

class QFileDevice;
class QJsonObject;
class ZipComponent;
namespace zipsalvage {
struct Report;
}

class RunReport
{
public:
    RunReport();
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // A dry run tests every archive and changes none: no rename, no rewrite, no temporary file beside them.
    bool dryRun = false;
    // Damaged archives get a salvaged copy (see SalvagePass); the report says what came back.
    bool salvage = false;

    // Opens the report's temporary file beside `path` ("-": standard output, written as it goes); false with
    // a reason when it cannot be made.
    bool openReport(const QString& path, QString* error);
    // Progress on stderr, in place; meant for a terminal only.
    void setProgress(bool on) { m_progress = on; }

    // The run of one folder: its archive count and the component whose Status reports feed the progress
    // line. Several folders make several runs of one report.
    void runStarted(const QString& folder, int archives, ZipComponent* component);
    // The run was stopped before its end (the Abort button, a signal).
    void markAborted() { m_aborted = true; }
    void archiveStarted(const QString& path);
    void noteCode(qint16 code); // the first result code other than success is the archive's
    void doubleFound();
    void entryPurged(const QString& entry);
    // Runs with the verdict cache: whether the archive's data was read this run or its cached test stood,
    // and when that data was last fully tested (ns since the epoch). The report then says so per archive.
    void dataSource(bool fromCache, qint64 testedNs);
    // The salvage of the archive in work (written into target, or what would be); its object goes into the
    // archive's report object.
    void salvaged(const zipsalvage::Report& report, const QString& target);
    // The salvage of an archive quarantined before this run (path is its .bad file): an object of its own.
    void salvagedEarlier(const QString& path, const zipsalvage::Report& report, const QString& target);
    // Why the archive in work was not cleaned as asked ("not purged: ..."), for the account of the run.
    void noteWhy(const QString& why);
    // Lines a dry run prints for this archive (what a run would do); empty otherwise.
    enum class Ending
    {
        Finished,
        Damaged,
        Aborted
    };
    QStringList archiveEnded(Ending ending, bool quarantined, bool repaired);
    // True when the archive last ended came to clean, purged or repaired: the verdicts that keep a cache row.
    bool lastEndedSound() const { return m_lastSound; }
    // The stderr line of the archive last ended when it was found damaged (not in a dry run): its name, what
    // the result code means, and what became of the file. Empty otherwise.
    const QString& lastDamageLine() const { return m_damageLine; }
    // The run is shard `index` of `count`, of a run over `folders` folders; the summary object says so.
    void setShard(int index, int count, int folders)
    {
        m_shard = index;
        m_shards = count;
        m_shardFolders = folders;
    }
    void runEnded();
    // The one line a dry run prints instead of the run's summary: of the last folder's run, or of all.
    QString drySummary(bool allFolders = false) const;
    // The account of the last run, attended or not: one line per archive it acted on (renamed, repaired,
    // purged, or not cleaned and why), between a heading and the run's counts. Empty before any run.
    QString accountText() const;
    bool hasAccount() const { return m_account != nullptr; }
    // Writes the summary object and renames the report into place; called once as the process ends.
    void finish(int status);

    // The verdict words of the report.
    static QString verdictName(int verdict);
    // What a damage code (110, 200, 410) means, in words; empty for other codes.
    static QString damageMeaning(qint16 code);
    // The progress text of archive n of total, cut to width characters (0: no limit).
    static QString progressText(int n, int total, const QString& name, double megabytesPerSecond, int width);

private:
    struct Current;
    struct Account;
    void startAccount(const QString& folder, int archives);
    void addToAccount(int verdict, const Current& archive, bool aborted);
    void writeObject(const QByteArray& json);
    void showProgress(qint16 percent, bool force);
    QJsonObject salvageObject(const zipsalvage::Report& report, const QString& target);
    QJsonObject summaryExtras() const;

    // Archives counted by verdict, for one folder's run and for all.
    struct Tally
    {
        int index = 0;
        qint64 counts[5] = {};
        qint64 entriesRemoved = 0;
        qint64 fromCache = 0;      // archives whose cached test stood
        qint64 oldestCachedNs = 0; // the oldest test among them
    };

    std::unique_ptr<QFileDevice> m_report;
    std::unique_ptr<Current> m_current;
    std::unique_ptr<Account> m_account;
    bool m_progress = false;
    bool m_started = false;
    bool m_finished = false;
    bool m_aborted = false;
    QStringList m_folders;
    int m_archives = 0; // of every folder
    int m_total = 0;    // of this folder
    int m_index = 0;    // the archive's place in this folder's run, for the progress line
    Tally m_run;
    Tally m_all;
    bool m_lastSound = false;
    QString m_damageLine;
    int m_shard = 0, m_shards = 0, m_shardFolders = 0; // m_shards 0: not a shard
    bool m_cacheRun = false;
    qint64 m_salvaged = 0;         // salvaged copies written (or that would be), of every folder
    qint64 m_entriesRecovered = 0; // entries in them
    qint64 m_bytesDone = 0;
    QElapsedTimer m_runClock;
    QElapsedTimer m_sinceShown;
    QMetaObject::Connection m_status;
};
