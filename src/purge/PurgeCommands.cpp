// Add and View: the purge list commands of the window.

#include "app/ArchiveWork.h"
#include "app/Form1.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/ShownName.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QFile>

void Form1::Command1_Click()
{
    const QString errorTitle = QStringLiteral("Tamsorel error");
    // Pressed through the event pump of other archive work (a listing, a view, a Delete): the lines
    // selected may not belong to the archive the work leaves in view, so the press is refused.
    ArchiveWork work(*this, QStringLiteral("adding to the purge list"), QStringLiteral("Add"));
    if (work.refused())
        return;
    if (!purgeEntries.exists()) {
        showMessage(QStringLiteral("No purge list exists"), 48, errorTitle);
        return;
    }
    QString archiveName;
    for (int i = 0; i < File1->ListCount(); ++i) {
        if (File1->Selected(i)) {
            archiveName = File1->Name(i);
            break;
        }
    }
    currentFolder = folderFromDir();
    const QString archive = currentFolder + QLatin1Char('/') + archiveName;

    // The list must take the names before any leaves the archive: a list that cannot be appended to would
    // otherwise lose them from both.
    QFile listProbe(purgeEntries.listPath());
    if (!listProbe.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly)) {
        showMessage(QStringLiteral("Cannot add to %1").arg(QDir::toNativeSeparators(purgeEntries.listPath())), 48,
                    errorTitle);
        return;
    }
    listProbe.close();

    PurgeAppend append(purgeEntries);
    if (!append.open()) {
        // Nothing is taken out of the archive unless it is also kept on the list.
        showMessage(append.errorString(), 48, errorTitle);
        return;
    }
    QString stagingError;
    QStringList staged;
    const int lines = List1->ListCount();
    for (int k = 0; k < lines; ++k) {
        if (!List1->Selected(k))
            continue;
        const QString text = List1->Line(k);
        if (purgeEntries.isListed(text)) {
            SSPanel2->setFloodType(0);
            SSPanel2->setCaption(QString());
        } else if (!append.stage(text)) {
            // A name the list cannot hold stays in the archive: deleting it would lose it from both.
            stagingError = append.errorString();
        } else {
            SSPanel2->setFloodType(0);
            SSPanel2->setCaption(shownName(text) + QStringLiteral(" added"));
            staged << text;
            pumpEvents();
        }
        List1->setSelected(k, false);
    }
    pumpEvents();
    if (!append.merge()) {
        showMessage(append.errorString(), 48, errorTitle);
    } else {
        // Every added name leaves the archive in one rewrite, once the list holds them all.
        if (!staged.isEmpty()) {
            XceedZip1->AlternateMode = false;
            XceedZip1->ArchivePath = archive;
            XceedZip1->RewriteEntries(staged);
        }
        if (!stagingError.isEmpty())
            showMessage(stagingError, 48, errorTitle);
    }
    work.release(); // the listing that follows is archive work of its own
    ShowArchiveContents();
}

void Form1::vpurge_Click()
{
    if (purgeEntries.exists())
        launch(QStringLiteral("notepad.exe"), purgeEntries.listPath());
}
