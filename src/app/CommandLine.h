#pragma once
// The command line: the options of an unattended run and the folders it cleans. Each option is one row of
// the table in CommandLine.cpp.

#include "zip/CollectionSettings.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What an unattended run is asked to do, passed whole to the run of each folder.
struct RunOptions
{
    QList<QByteArray> folders; // as given, bytes and all: a folder's name need not be UTF-8
    bool recursive = false;    // the named folders and every folder below them
    bool dryRun = false;
    bool salvage = false; // damaged archives of each folder get a NAME.salvaged.zip
    int waitSeconds = 0;  // how long a folder's run waits for another run of it to end
    QString report;       // "-" is standard output; null when no report is asked for
    bool quiet = false;   // no summary lines on stdout: a run that ends well prints nothing there
    // --shard K/N: of the folders the run would clean, only those whose place hashes to K (see FolderShard).
    int shardIndex = 0;
    int shardCount = 0; // 0: no sharding
    // The verdict cache and the read-ahead workers of each folder's run; the cache file is the caller's to set.
    CollectionSettings collection;
    bool help = false;
    bool version = false;
    QString error; // why the command line cannot run; empty when it can

    bool unattended() const { return !folders.isEmpty(); }
    bool reportToStdout() const { return report == QLatin1String("-"); }
    bool sharded() const { return shardCount > 0; }
};

// Reads the arguments after the program's name.
RunOptions parseCommandLine(const QList<QByteArray>& args);

// The usage text of --help.
const char* usageText();

// What --version says after the version: the licence and where its text is.
const char* licenceText();
