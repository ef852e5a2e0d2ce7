#include "app/UnattendedMain.h"

#include "app/DataFolders.h"
#include "app/Identity.h"
#include "app/RunLock.h"
#include "app/UnattendedRun.h"
#include "zip/RunReport.h"
#include "zip/ShownText.h"
#include "zip/VerdictCache.h"
#include "zip/ZipComponent.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

// An unattended run speaks on stdout and stderr in its own lines only: Qt's notes about the session (no
// XDG_RUNTIME_DIR under cron or sudo) are noise to a script.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::fflush(stderr);
    }
}

void print(const QString& line, bool toStderr, const RunOptions& options)
{
    // Quiet, the summary lines go nowhere; when standard output carries the report, they go to stderr.
    if (!toStderr && options.quiet)
        return;
    std::FILE* out = toStderr || options.reportToStdout() ? stderr : stdout;
    std::fprintf(out, "%s\n", consoleText(line).toLocal8Bit().constData());
    std::fflush(out);
}

int refuse(const QString& why)
{
    std::fprintf(stderr, "tamsorel: %s\n", why.toLocal8Bit().constData());
    return 2;
}

bool isRootFolder(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) || QDir(folder).isRoot();
}

} // namespace

int unattendedMain(int argc, char* argv[], RunOptions& options)
{
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);
    nameApplication();

    const QString programFolder = QCoreApplication::applicationDirPath();
    DataFolders folders = DataFolders::locate(programFolder);
    QString problem;
    // Without its folders a run could neither repair nor purge, and would still look ended.
    if (!folders.prepare(&problem))
        return refuse(problem);
    // The lock files of the folders this user's runs clean, in a folder of this user's own; they stay.
    const QString lockFolder = RunLock::userLockFolder(folders.cache + QStringLiteral("/locks"));
    // The verdict cache outlives the run's temp folder: it stays in the cache place, shared by every run.
    options.collection.cacheFile = folders.cache + QStringLiteral("/verdicts.sqlite");
    // Each run has a temp folder of its own, locked while it runs: runs of different folders go at once, and
    // a run finds the folders of killed runs by their free locks.
    RunLock::removeAbandonedRunFolders(folders.cache);
    QTemporaryDir runTemp(folders.cache + QStringLiteral("/run-XXXXXX"));
    if (!runTemp.isValid())
        return refuse(QStringLiteral("cannot make a temp folder in ") + QDir::toNativeSeparators(folders.cache));
    auto runTempLock = std::make_unique<RunLock>(runTemp.path(), QString());

    RunReport report;
    report.dryRun = options.dryRun;
    report.setProgress(::isatty(STDERR_FILENO));
    if (!options.report.isEmpty() && !report.openReport(options.report, &problem))
        return refuse(problem);
    const ConsoleWriter console = [&options](const QString& line, bool toStderr) { print(line, toStderr, options); };

    int status = 2;
    // Never from a drive's root: the data files and the temp folder would be strewn over it.
    if (isRootFolder(programFolder)) {
        console(QStringLiteral("tamsorel: Error: Tamsor can NOT be run from a root directory"), true);
    } else {
        UnattendedRun run(report, options, lockFolder, folders.config.isEmpty() ? programFolder : folders.config,
                          runTemp.path(), console);
        status = run.run();
    }
    ZipComponent::discardPendingWrites();
    // Each folder's run left the cache without a sync; the process's run checkpoints it once and tidies it.
    if (options.collection.cache != CollectionSettings::Cache::Off)
        VerdictCache::endRun(options.collection.cacheFile,
                             [&console](const QString& line) { console(QStringLiteral("tamsorel: ") + line, true); });
    report.finish(status);
    runTempLock.reset();
    runTemp.remove();
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
