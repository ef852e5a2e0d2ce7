// The window's program: the application, its services and Form1, until the window closes.

#include "app/DataFolders.h"
#include "app/Form1.h"
#include "app/Identity.h"
#include "app/RunLock.h"
#include "platform/RealServices.h"
#include "zip/DiskName.h"

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

extern "C" __attribute__((visibility("default"))) int tamsorelWindowMain(int argc, char* argv[])
{
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
    // The working folder by its exact name: Qt's own answer names a folder that is not UTF-8 otherwise.
    config.startFolder = diskname::absolute(QStringLiteral("."));
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
