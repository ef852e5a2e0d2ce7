// Tamsorel: keeps a folder of ZIP archives clean.

#include "app/Form1.h"
#include "platform/RealServices.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

namespace {

const char usage[] = "Usage: tamsorel [FOLDER]\n"
                     "Keeps a folder of ZIP archives clean: tests every *.zip, repairs double file_id.diz\n"
                     "descriptions, deletes the entries named in purge.txt and renames damaged archives to *.bad.\n"
                     "\n"
                     "Without FOLDER the window opens. With FOLDER the program cleans that folder unattended,\n"
                     "prints one summary line and exits: status 0 when the run ended, 1 when it was aborted,\n"
                     "2 when the folder does not exist or the run was refused.\n"
                     "\n"
                     "Entries of these methods are tested: stored, shrink, reduce, implode, deflate, deflate64,\n"
                     "bzip2, LZMA, xz, zstd and PPMd. Encrypted entries and entries of any other method are\n"
                     "listed but not tested, and never count as damage.\n"
                     "\n"
                     "  --help     show this text\n"
                     "  --version  show the version\n";

} // namespace

int main(int argc, char* argv[])
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    if (args.size() == 1 && (args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == QLatin1String("--version")) {
        std::printf("Tamsorel %s\n", TAMSOREL_VERSION);
        return 0;
    }
    const QString commandLine = args.join(QLatin1Char(' '));
    // Unattended runs work from cron or over ssh: without a display the window lives offscreen.
    if (!commandLine.isEmpty() && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamsorel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tamsorel"));

    const QString programFolder = QCoreApplication::applicationDirPath();
    DesktopMessageBox messageBox;
    WaveSoundPlayer sound;
    DesktopLauncher launcher;
    LocalSocketInstanceGuard guard(programFolder);

    Form1Config config;
    config.programFolder = programFolder;
    config.commandLine = commandLine;
    config.startFolder = QDir::currentPath();
    config.services.messageBox = &messageBox;
    config.services.sound = &sound;
    config.services.launcher = &launcher;
    config.services.instanceGuard = &guard;
    // The end of the process is immediate, as from inside a handler that waits in the event pump.
    config.services.exitProcess = [](int status) {
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
