#pragma once
// The unattended run over the folders of the command line: each folder (and with --recursive each folder
// below it) is one clean-all run of Form1, in the order given, under a lock of that folder; the run stops
// at the first abort and ends with a total line when there were several folders.

#include "app/CommandLine.h"
#include "zip/ShownText.h"

#include <QString>
#include <QStringList>
#include <functional>

class RunReport;

// Where the run's lines go: stdout (toStderr false) or stderr.
using ConsoleWriter = std::function<void(const QString& line, bool toStderr)>;

class UnattendedRun
{
public:
    // `lockFolder` holds the folders' lock files; `purgeFolder` the purge list; `workFolder` is the run's own
    // temp folder. The report is the invocation's: every folder's run writes into it.
    UnattendedRun(RunReport& report, const RunOptions& options, QString lockFolder, QString purgeFolder,
                  QString workFolder, ConsoleWriter console);

    // Cleans every folder; returns the status: 0 ended, 1 aborted, 2 something refused, 3 ended and found damage.
    int run();

    // The folders a run cleans for one argument: the folder, and with `recursive` every folder below it,
    // parents before children, names in byte order; links to folders and hidden folders are not entered.
    // Paths are carried (see DiskName): a folder whose name is not UTF-8 is entered like any other.
    static QStringList foldersOf(const QString& folder, bool recursive);

private:
    void cleanFolder(const QString& folder, bool several);
    bool folderUsable(const QString& folder);
    bool driveUsable(const QString& folder);
    void skipHiddenArchives(const QString& folder);
    void line(const QString& text, bool toStderr) const;

    RunReport& m_report;
    const RunOptions& m_options;
    QString m_lockFolder;
    QString m_purgeFolder;
    QString m_workFolder;
    ConsoleWriter m_console;
    int m_status = 0;
    qint64 m_processed = 0, m_bad = 0, m_doubles = 0;
    bool m_aborted = false;
};
