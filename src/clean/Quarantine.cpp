// Quarantine of a damaged archive: report it, then rename it by appending ".bad" on a writable drive.

#include "app/Form1.h"
#include "platform/FileListBox.h"
#include "platform/ShownName.h"
#include "zip/DiskName.h"
#include "zip/FileOps.h"

#include <QDir>
#include <QFileInfo>

QString Form1::renameToBad(const QString& onDisk)
{
    QString keptAside;
    const QString why = CleanRun::renameToBad(onDisk, &keptAside);
    if (!keptAside.isEmpty() && unattended())
        consoleLine(QStringLiteral("tamsorel: kept the older %1 as %2")
                        .arg(shownName(QDir::toNativeSeparators(onDisk + QStringLiteral(".bad"))),
                             shownName(QFileInfo(keptAside).fileName())),
                    true);
    return why;
}

QString Form1::Quarantine(QuarantineCaller caller)
{
    // The lower-cased path is only shown; the file is renamed under its name as it stands on disk.
    const QString onDisk = currentArchiveOnDisk;
    if (caller != QuarantineCaller::EntryViewer)
        currentArchive = diskname::lowered(currentArchive);

    switch (caller) {
    case QuarantineCaller::ContentsListing:
        if (!unattended())
            showMessage(QStringLiteral("CRC error in - ") + shownName(QDir::toNativeSeparators(currentArchive)), 16,
                        QStringLiteral("Tamsorel error"));
        break;
    case QuarantineCaller::RunListing:
    case QuarantineCaller::RunDeletion:
        if (!unattended())
            playSound(QStringLiteral("error.wav"), 1);
        break;
    case QuarantineCaller::EntryViewer:
        showMessage(QStringLiteral("CRC error in - ") + shownName(QDir::toNativeSeparators(currentArchive)), 16,
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
        currentArchive = diskname::lowered(currentArchive);
    return notRenamed;
}
