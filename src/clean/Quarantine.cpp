// Quarantine of a damaged archive: report it, then rename it by appending ".bad" on a writable drive.

#include "app/Form1.h"
#include "platform/FileListBox.h"
#include "zip/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace {

// The quarantined name NAME.bad, or the name an older file there moves to (NAME.bad.1, .2, ...).
QString freeName(const QString& quarantined)
{
    for (int n = 1;; ++n) {
        const QString name = quarantined + QStringLiteral(".%1").arg(n);
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink())
            return name;
    }
}

} // namespace

QString Form1::renameToBad(const QString& onDisk)
{
    const QString quarantined = onDisk + QStringLiteral(".bad");
    const QFileInfo there(quarantined);
    QString why;
    // An older quarantined file is replaced only when it is this very archive again; any other (an earlier
    // damaged upload of the same name, someone's file) moves to the next free name, never lost. A folder
    // stays where it is, and the archive keeps its name.
    if (there.isFile() && !there.isSymLink() && fileops::sameBytes(onDisk, quarantined)) {
        if (std::rename(QFile::encodeName(onDisk).constData(), QFile::encodeName(quarantined).constData()) == 0)
            return {};
    } else if ((there.exists() || there.isSymLink()) && !there.isDir()) {
        const QString aside = freeName(quarantined);
        if (!fileops::renameNoReplace(quarantined, aside, &why))
            return QStringLiteral("the older %1 cannot be moved aside: %2").arg(there.fileName(), why);
        if (unattended())
            consoleLine(QStringLiteral("tamsorel: kept the older %1 as %2")
                            .arg(QDir::toNativeSeparators(quarantined), QFileInfo(aside).fileName()),
                        true);
    }
    if (fileops::renameNoReplace(onDisk, quarantined, &why))
        return {};
    if (QFileInfo(quarantined).isDir())
        why = QStringLiteral("a folder of that name is in the way");
    return QStringLiteral("it cannot be renamed to %1: %2").arg(there.fileName(), why);
}

QString Form1::Quarantine(QuarantineCaller caller)
{
    // The lower-cased path is only shown; the file is renamed under its name as it stands on disk.
    const QString onDisk = currentArchiveOnDisk;
    if (caller != QuarantineCaller::EntryViewer)
        currentArchive = currentArchive.toLower();

    switch (caller) {
    case QuarantineCaller::ContentsListing:
        if (!unattended())
            showMessage(QStringLiteral("CRC error in - ") + QDir::toNativeSeparators(currentArchive), 16,
                        QStringLiteral("Tamsorel error"));
        break;
    case QuarantineCaller::RunListing:
    case QuarantineCaller::RunDeletion:
        if (!unattended())
            playSound(QStringLiteral("error.wav"), 1);
        break;
    case QuarantineCaller::EntryViewer:
        showMessage(QStringLiteral("CRC error in - ") + QDir::toNativeSeparators(currentArchive), 16,
                    QStringLiteral("Tamsor error"));
        break;
    }

    QString notRenamed;
    DiskInfo1.Drive = onDisk;
    if (DiskInfo1.DriveClass() > 2 && fileops::isOrdinaryFile(onDisk) && !runReport.dryRun)
        notRenamed = renameToBad(onDisk);
    if (caller == QuarantineCaller::ContentsListing || caller == QuarantineCaller::EntryViewer)
        File1->Refresh();
    if (caller == QuarantineCaller::EntryViewer)
        currentArchive = currentArchive.toLower();
    return notRenamed;
}
