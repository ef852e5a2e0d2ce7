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

class QSaveFile;
class ZipComponent;

class RunReport
{
public:
    RunReport();
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // A dry run tests every archive and changes none: no rename, no rewrite, no temporary file beside them.
    bool dryRun = false;

    // Opens the report's temporary file beside `path`; false with a reason when it cannot be made.
    bool openReport(const QString& path, QString* error);
    // Progress on stderr, in place; meant for a terminal only.
    void setProgress(bool on) { m_progress = on; }

    // The run: its archive count and the component whose Status reports feed the progress line.
    void runStarted(const QString& folder, int archives, ZipComponent* component);
    void archiveStarted(const QString& path);
    void noteCode(qint16 code); // the first result code other than success is the archive's
    void doubleFound();
    void entryPurged(const QString& entry);
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
    void runEnded();
    // The one line a dry run prints instead of the run's summary.
    QString drySummary() const;
    // The account of the last run, attended or not: one line per archive it acted on (renamed, repaired,
    // purged, or not cleaned and why), between a heading and the run's counts. Empty before any run.
    QString accountText() const;
    bool hasAccount() const { return m_account != nullptr; }
    // Writes the summary object and renames the report into place; called once as the process ends.
    void finish(int status);

    // The verdict words of the report.
    static QString verdictName(int verdict);
    // The progress text of archive n of total, cut to width characters (0: no limit).
    static QString progressText(int n, int total, const QString& name, double megabytesPerSecond, int width);

private:
    struct Current;
    struct Account;
    void startAccount(const QString& folder, int archives);
    void addToAccount(int verdict, const Current& archive, bool aborted);
    void writeObject(const QByteArray& json);
    void showProgress(qint16 percent, bool force);

    std::unique_ptr<QSaveFile> m_report;
    std::unique_ptr<Current> m_current;
    std::unique_ptr<Account> m_account;
    bool m_progress = false;
    bool m_started = false;
    bool m_finished = false;
    QString m_folder;
    int m_total = 0;
    int m_index = 0;
    qint64 m_counts[5] = {};
    qint64 m_entriesRemoved = 0;
    qint64 m_bytesDone = 0;
    QElapsedTimer m_runClock;
    QElapsedTimer m_sinceShown;
    QMetaObject::Connection m_status;
};
