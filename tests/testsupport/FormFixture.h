#pragma once
// A main window for tests: real widgets, recording fakes for the outside services, a temporary program
// folder (with its purge list and temp folder when asked) and a temporary folder of archives.

#include "app/Form1.h"
#include "platform/FakeServices.h"
#include "platform/ListBox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

struct FormFixture
{
    QTemporaryDir programDir;
    QTemporaryDir archiveDir;
    FakeServices fakes;
    std::unique_ptr<Form1> form;

    QString programFolder() const { return programDir.path(); }
    QString archiveFolder() const { return archiveDir.path(); }
    QString archive(const QString& name) const { return archiveDir.path() + QLatin1Char('/') + name; }
    QString tempFolder() const { return programDir.path() + QStringLiteral("/temp"); }

    // Writes purge.txt with the given lines, each ended by CR LF.
    void writePurgeList(const QStringList& lines)
    {
        QFile f(programDir.path() + QStringLiteral("/purge.txt"));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (const QString& l : lines)
            f.write(l.toUtf8() + "\r\n");
    }

    QString lockFolder; // the folder locks' place for the window built next; empty: its runs take no lock

    // Builds the window on the archive folder (or another start folder) without running its load handler.
    Form1& make(const QString& commandLine = {}, const QString& startFolder = {}, const QString& programFolderPath = {})
    {
        Form1Config config;
        config.programFolder = programFolderPath.isEmpty() ? programDir.path() : programFolderPath;
        config.commandLine = commandLine;
        config.startFolder = startFolder.isEmpty() ? archiveDir.path() : startFolder;
        config.services = fakes.services();
        config.lockFolder = lockFolder;
        form = std::make_unique<Form1>(config);
        return *form;
    }
};

// The lines of a list box, top to bottom.
inline QStringList listLines(const ListBox* list)
{
    QStringList out;
    for (int i = 0; i < list->ListCount(); ++i)
        out << list->List(i);
    return out;
}
