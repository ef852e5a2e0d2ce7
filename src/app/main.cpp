// Tamsorel: keeps a folder of ZIP archives clean.

#include "app/DataFolders.h"
#include "app/Form1.h"
#include "app/Identity.h"
#include "platform/RealServices.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const char usage[] = "Usage: tamsorel [OPTION]... [FOLDER]\n"
                     "Keeps a folder of ZIP archives clean: tests every *.zip, repairs double file_id.diz\n"
                     "descriptions, deletes the entries named in purge.txt and renames damaged archives to *.bad.\n"
                     "\n"
                     "Without FOLDER the window opens. With FOLDER the program cleans that folder unattended,\n"
                     "prints one summary line and exits.\n"
                     "\n"
                     "  --dry-run      test every archive and print what a run would do (rename to *.bad,\n"
                     "                 repair, each entry to purge) without changing any file\n"
                     "  --salvage      give each damaged archive a NAME.salvaged.zip beside its NAME.zip.bad\n"
                     "                 with every entry whose data tests good, copied byte for byte (also\n"
                     "                 for older *.zip.bad files without one); one line on stderr each\n"
                     "  --report FILE  write a JSON Lines report: one object per archive (name, verdict\n"
                     "                 clean/purged/repaired/damaged/skipped, code, entries_removed,\n"
                     "                 bytes_before, bytes_after, ms, salvage) and a closing summary object\n"
                     "  --help         show this text\n"
                     "  --version      show the version\n"
                     "  --             what follows is the folder, even when it starts with -\n"
                     "\n"
                     "When stderr is a terminal, an unattended run shows its progress there.\n"
                     "\n"
                     "Entries of these methods are tested: stored, shrink, reduce, implode, deflate, deflate64,\n"
                     "bzip2, LZMA, xz, zstd and PPMd. Encrypted entries and entries of any other method are\n"
                     "listed but not tested, and never count as damage.\n"
                     "\n"
                     "Exit status: 0 the run ended, 1 it was aborted, 2 the folder does not exist, the run\n"
                     "was refused or the command line is wrong.\n"
                     "\n"
                     "Files: beside the program when its folder is writable; otherwise the purge list in\n"
                     "$XDG_CONFIG_HOME/tamsorel/purge.txt and the temp folder in $XDG_CACHE_HOME/tamsorel/.\n";

struct Options
{
    QStringList folderWords;
    QString report;
    bool dryRun = false;
    bool salvage = false;
    bool help = false;
    bool version = false;
    QString error;
};

Options parse(const QStringList& args)
{
    Options o;
    bool optionsEnd = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (optionsEnd || a == QLatin1String("-h")) {
            if (a == QLatin1String("-h") && !optionsEnd)
                o.help = true;
            else
                o.folderWords.append(a);
        } else if (!a.startsWith(QLatin1String("--")) || a.size() == 2) {
            if (a == QLatin1String("--"))
                optionsEnd = true;
            else
                o.folderWords.append(a);
        } else if (a == QLatin1String("--help")) {
            o.help = true;
        } else if (a == QLatin1String("--version")) {
            o.version = true;
        } else if (a == QLatin1String("--dry-run")) {
            o.dryRun = true;
        } else if (a == QLatin1String("--salvage")) {
            o.salvage = true;
        } else if (a == QLatin1String("--report") && i + 1 < args.size()) {
            o.report = args[++i];
        } else if (a.startsWith(QLatin1String("--report="))) {
            o.report = a.mid(9);
        } else {
            o.error = QStringLiteral("unknown option or missing value: ") + a;
        }
    }
    if (o.error.isEmpty() && (o.dryRun || o.salvage || !o.report.isNull()) && o.folderWords.isEmpty())
        o.error = QStringLiteral("--dry-run, --salvage and --report need a FOLDER");
    else if (o.error.isEmpty() && !o.report.isNull() && o.report.isEmpty())
        o.error = QStringLiteral("--report needs a file name");
    return o;
}

// An unattended run speaks on stdout and stderr in its own lines only: Qt's notes about the desktop
// session (no XDG_RUNTIME_DIR under cron or sudo, a missing sound device) are noise to a script.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::fflush(stderr);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const Options options = parse(args);
    if (options.help && args.size() == 1) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (options.version && args.size() == 1) {
        std::printf("Tamsorel %s\n", TAMSOREL_VERSION);
        return 0;
    }
    if (!options.error.isEmpty() || options.help || options.version) {
        std::fprintf(
            stderr, "tamsorel: %s\nTry 'tamsorel --help'.\n",
            qPrintable(options.error.isEmpty() ? QStringLiteral("--help and --version stand alone") : options.error));
        return 2;
    }
    // A folder name with blanks may come as several words; they join as they were typed.
    const QString commandLine = options.folderWords.join(QLatin1Char(' '));
    const bool unattended = !commandLine.isEmpty();
    // Unattended runs work from cron or over ssh: without a display the window lives offscreen.
    if (unattended && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (unattended && qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qInstallMessageHandler(quietMessages);

    QApplication app(argc, argv);
    nameApplication();

    const QString programFolder = QCoreApplication::applicationDirPath();
    const DataFolders folders = DataFolders::locate(programFolder);
    QString problem;
    if (!folders.prepare(&problem))
        std::fprintf(stderr, "tamsorel: %s\n", qPrintable(problem));
    DesktopMessageBox messageBox;
    WaveSoundPlayer sound;
    DesktopLauncher launcher;
    // One instance per data folder: two installed copies share the user's purge list, so they are one.
    LocalSocketInstanceGuard guard(folders.config);

    Form1Config config;
    config.programFolder = programFolder;
    config.folders = folders;
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
    form.runReport.dryRun = options.dryRun;
    form.runReport.salvage = options.salvage;
    form.runReport.setProgress(unattended && ::isatty(STDERR_FILENO));
    if (!options.report.isEmpty() && !form.runReport.openReport(options.report, &problem)) {
        std::fprintf(stderr, "tamsorel: %s\n", qPrintable(problem));
        return 2;
    }
    messageBox.setParent(&form);
    form.Form_Load();
    form.show();
    return app.exec();
}
