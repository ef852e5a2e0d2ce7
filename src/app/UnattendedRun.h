#pragma once
// The unattended run over the folders of the command line: each folder (and with --recursive each folder
// below it) is one clean-all run of Form1, in the order given, under a lock of that folder; the run stops
// at the first abort and ends with a total line when there were several folders.

#include "app/CommandLine.h"
#include "zip/ShownText.h"

#include <QString>
#include <QStringList>

class Form1;

class UnattendedRun
{
public:
    // `lockFolder` holds lock files for folders that cannot be locked themselves.
    UnattendedRun(Form1& form, const RunOptions& options, const QString& lockFolder);

    // Cleans every folder; the status (0 ended, 1 aborted, 2 something refused, 3 ended and found damage) is
    // left in the form.
    void run();

    // The folders a run cleans for one argument: the folder, and with `recursive` every folder below it,
    // parents before children, names in byte order; links to folders and hidden folders are not entered.
    // Names of folders that are not UTF-8 go to `unreadable`.
    static QStringList foldersOf(const QString& folder, bool recursive, QList<QByteArray>* unreadable);

private:
    void cleanFolder(const QString& folder, bool several);
    bool folderUsable(const QString& folder);
    void skipHiddenArchives(const QString& folder);
    void line(const QString& text, bool toStderr) const;

    Form1& m_form;
    const RunOptions& m_options;
    QString m_lockFolder;
    int m_status = 0;
    qint64 m_processed = 0, m_bad = 0, m_doubles = 0;
    bool m_aborted = false;
};
