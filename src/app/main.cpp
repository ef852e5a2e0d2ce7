// Tamsorel: keeps a folder of ZIP archives clean.

#include "app/CommandLine.h"
#include "app/DataFolders.h"
#include "app/DisplayCheck.h"
#include "app/Form1.h"
#include "app/Identity.h"
#include "app/RunLock.h"
#include "app/Signals.h"
#include "app/UnattendedMain.h"
#include "platform/RealServices.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

namespace {

int refuse(const QString& why)
{
    std::fprintf(stderr, "tamsorel: %s\n", why.toLocal8Bit().constData());
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    // First of all: a signal from here on asks an unattended run to stop, so it still ends with its report
    // and removes its temp folder.
    AbortSignals::installEarly();
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
    // With folders, the run needs no window: no widget, no display, no fonts.
    if (options.unattended())
        return unattendedMain(argc, argv, options);
    AbortSignals::restoreDefaults();
    // Qt ends the process when its platform cannot open the display (a stale ssh -X or tmux session, sudo):
    // the window cannot open and says so.
    QString display;
    if (!displayUsable(&display))
        return refuse(
            QStringLiteral("cannot open the display (%1); give a FOLDER to clean it without a window").arg(display));

    QApplication app(argc, argv);
    nameApplication();

    const QString programFolder = QCoreApplication::applicationDirPath();
    DataFolders folders = DataFolders::locate(programFolder);
    QString problem;
    if (!folders.prepare(&problem)) {
        if (folders.config.isEmpty())
            return refuse(problem);
        std::fprintf(stderr, "tamsorel: %s\n", qPrintable(problem));
    }
    DesktopMessageBox messageBox;
    WaveSoundPlayer sound;
    DesktopLauncher launcher;
    // One window per user and data folder; an unattended run takes the lock of each folder it cleans instead,
    // so cron is not stopped by an open window nor by a run of another folder.
    LocalSocketInstanceGuard guard(folders.config);
    if (!guard.problem().isEmpty())
        std::fprintf(stderr, "tamsorel: %s\n", qPrintable(guard.problem()));

    Form1Config config;
    config.programFolder = programFolder;
    config.folders = folders;
    config.startFolder = QDir::currentPath();
    // The window's Clean all takes the folder lock an unattended run of that folder takes.
    config.lockFolder = RunLock::userLockFolder(folders.cache + QStringLiteral("/locks"));
    config.services.messageBox = &messageBox;
    config.services.sound = &sound;
    config.services.launcher = &launcher;
    config.services.instanceGuard = &guard;
    // The end of the process is immediate, as from inside a handler that waits in the event pump; what
    // destructors would remove goes first.
    config.services.exitProcess = [&guard](int status) {
        guard.release();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    };

    Form1 form(config);
    messageBox.setParent(&form);
    form.Form_Load();
    form.show();
    return app.exec();
}
