// Tamsorel: keeps a folder of ZIP archives clean.

#include "app/CommandLine.h"
#include "app/DataFolders.h"
#include "app/DisplayCheck.h"
#include "app/Form1.h"
#include "app/Identity.h"
#include "app/RunLock.h"
#include "app/Signals.h"
#include "app/UnattendedRun.h"
#include "platform/RealServices.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// An unattended run speaks on stdout and stderr in its own lines only: Qt's notes about the desktop
// session (no XDG_RUNTIME_DIR under cron or sudo, a missing sound device) are noise to a script.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::fflush(stderr);
    }
}

int refuse(const QString& why)
{
    std::fprintf(stderr, "tamsorel: %s\n", why.toLocal8Bit().constData());
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
#ifdef __GLIBC__
    // glibc gives each thread its own arena, and each arena keeps freed memory for later; the data test's
    // large buffers come from its own pool, so two arenas serve the rest as fast and keep less.
    mallopt(M_ARENA_MAX, 2);
#endif
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args.append(QByteArray(argv[i]));
    RunOptions options = parseCommandLine(args);
    if (options.help && args.size() == 1) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (options.version && args.size() == 1) {
        std::printf("Tamsorel %s\n%s", TAMSOREL_VERSION, licenceText());
        return 0;
    }
    if (!options.error.isEmpty() || options.help || options.version) {
        std::fprintf(
            stderr, "tamsorel: %s\nTry 'tamsorel --help'.\n",
            qPrintable(options.error.isEmpty() ? QStringLiteral("--help and --version stand alone") : options.error));
        return 2;
    }
    const bool unattended = options.unattended();
    // Qt ends the process when its platform cannot open the display (a stale ssh -X or tmux session, sudo):
    // an unattended run needs no display and goes offscreen; the window cannot open and says so.
    QString display;
    if (!displayUsable(&display)) {
        if (!unattended)
            return refuse(QStringLiteral("cannot open the display (%1); give a FOLDER to clean it without a window")
                              .arg(display));
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (unattended && qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qInstallMessageHandler(quietMessages);

    QApplication app(argc, argv);
    nameApplication();

    const QString programFolder = QCoreApplication::applicationDirPath();
    DataFolders folders = DataFolders::locate(programFolder);
    QString problem;
    if (!folders.prepare(&problem)) {
        // Without its folders a run could neither repair nor purge, and would still look ended.
        if (unattended || folders.config.isEmpty())
            return refuse(problem);
        std::fprintf(stderr, "tamsorel: %s\n", qPrintable(problem));
    }
    // Each unattended run has a temp folder of its own, locked while it runs: runs of different folders go at
    // once, and a run finds the folders of killed runs by their free locks.
    std::unique_ptr<QTemporaryDir> runTemp;
    std::unique_ptr<RunLock> runTempLock;
    // The lock files of the folders this user's runs clean, in a folder of this user's own; they stay.
    const QString lockFolder = RunLock::userLockFolder(folders.cache + QStringLiteral("/locks"));
    // The verdict cache outlives the run's temp folder: it stays in the cache place, shared by every run.
    options.collection.cacheFile = folders.cache + QStringLiteral("/verdicts.sqlite");
    if (unattended) {
        RunLock::removeAbandonedRunFolders(folders.cache);
        runTemp = std::make_unique<QTemporaryDir>(folders.cache + QStringLiteral("/run-XXXXXX"));
        if (!runTemp->isValid())
            return refuse(QStringLiteral("cannot make a temp folder in ") + QDir::toNativeSeparators(folders.cache));
        runTempLock = std::make_unique<RunLock>(runTemp->path(), QString());
        folders.cache = runTemp->path();
    }
    DesktopMessageBox messageBox;
    WaveSoundPlayer sound;
    DesktopLauncher launcher;
    // One window per user and data folder; an unattended run takes the lock of each folder it cleans instead,
    // so cron is not stopped by an open window nor by a run of another folder.
    std::unique_ptr<LocalSocketInstanceGuard> guard;
    if (!unattended) {
        guard = std::make_unique<LocalSocketInstanceGuard>(folders.config);
        if (!guard->problem().isEmpty())
            std::fprintf(stderr, "tamsorel: %s\n", qPrintable(guard->problem()));
    }

    Form1Config config;
    config.programFolder = programFolder;
    config.folders = folders;
    config.commandLine = unattended ? QFile::decodeName(options.folders.first()) : QString();
    if (unattended && config.commandLine.isEmpty())
        config.commandLine = QStringLiteral(" "); // marks the run unattended; the run names each folder itself
    config.startFolder = QDir::currentPath();
    config.services.messageBox = &messageBox;
    config.services.sound = &sound;
    config.services.launcher = &launcher;
    config.services.instanceGuard = guard.get();
    // The end of the process is immediate, as from inside a handler that waits in the event pump; what
    // destructors would remove goes first.
    config.services.exitProcess = [&guard, &runTemp](int status) {
        if (guard)
            guard->release();
        if (runTemp)
            runTemp->remove();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    };

    Form1 form(config);
    UnattendedRun run(form, options, lockFolder);
    if (unattended)
        form.runUnattended = [&run] { run.run(); };
    form.runReport.dryRun = options.dryRun;
    form.runReport.setProgress(unattended && ::isatty(STDERR_FILENO));
    if (!options.report.isEmpty() && !form.runReport.openReport(options.report, &problem))
        return refuse(problem);
    if (options.reportToStdout() || options.quiet)
        form.writeConsole = [&options](const QString& line, bool toStderr) {
            // Quiet, the summary lines go nowhere; when standard output carries the report, they go to stderr.
            if (!toStderr && options.quiet)
                return;
            std::FILE* out = toStderr || options.reportToStdout() ? stderr : stdout;
            std::fprintf(out, "%s\n", line.toLocal8Bit().constData());
            std::fflush(out);
        };
    // Ctrl-C, kill and a closed terminal do what the Abort button does.
    std::unique_ptr<AbortSignals> abortSignals;
    if (unattended)
        abortSignals = std::make_unique<AbortSignals>([&form](int) {
            if (form.runFlag == -1)
                form.Command2_Click();
        });
    messageBox.setParent(&form);
    form.Form_Load();
    form.show();
    return app.exec();
}
