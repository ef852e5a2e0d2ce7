// The window's keyboard commands: Up and Down relist, Delete removes one entry, Escape aborts a run, F1
// opens the help file. Every command works with any modifier held; the key still reaches the focused control.

#include "app/ArchiveWork.h"
#include "app/Form1.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/ShownName.h"
#include "zip/FileOps.h"
#include "zip/ZipComponent.h"

#include <QDir>

namespace {

constexpr int kKeyEscape = 27;
constexpr int kKeyUp = 38;
constexpr int kKeyDown = 40;
constexpr int kKeyDelete = 46;
constexpr int kKeyF1 = 112;

} // namespace

static void deleteSelectedEntry(Form1& f)
{
    f.setMousePointer(11);
    int archiveIndex = -1;
    for (int i = 0; i < f.File1->ListCount(); ++i) {
        if (f.File1->Selected(i)) {
            archiveIndex = i;
            break;
        }
    }
    if (archiveIndex < 0) {
        f.setMousePointer(0);
        return;
    }
    const QString archiveName = f.File1->Name(archiveIndex);
    f.currentFolder = f.folderFromDir();
    // The archive names come from File1 as they stand on disk, so these paths are the real ones.
    for (int i = 0; i < f.File1->ListCount(); ++i)
        fileops::clearAttributes(f.currentFolder + QLatin1Char('/') + f.File1->Name(i));

    const QString archivePath = f.currentFolder + QLatin1Char('/') + archiveName;
    for (int i = 0; i < f.List1->ListCount(); ++i) {
        if (!f.List1->Selected(i))
            continue;
        const QString entry = f.List1->Line(i);
        f.XceedZip1->AlternateMode = false;
        f.XceedZip1->EntryMask = entry;
        f.XceedZip1->ArchivePath = archivePath;
        const qint16 result = f.XceedZip1->DeleteEntries();
        if (ZipComponent::isDamage(result)) {
            f.showMessage(QStringLiteral("CRC error in ") + shownName(QDir::toNativeSeparators(archivePath)), 48,
                          QStringLiteral("Tamsorel error"));
        } else if (result == ZipSuccess) {
            // The component pumps events while it works, so the line may have moved: find it by its text.
            int at = f.List1->Line(i) == entry ? i : -1;
            for (int j = 0; at < 0 && j < f.List1->ListCount(); ++j)
                if (f.List1->Line(j) == entry)
                    at = j;
            f.List1->RemoveItem(at);
        } else {
            // The entry is still in the archive (folder not writable, archive gone): the line stays and the
            // status line says why nothing changed.
            f.SSPanel2->setFloodType(0);
            f.SSPanel2->setCaption(
                QStringLiteral("Could not delete %1 (error%2)").arg(shownName(entry), Form1::countText(result)));
        }
        break;
    }
    f.setMousePointer(0);
}

void Form1::Form_KeyDown(int keyCode, int shift)
{
    Q_UNUSED(shift); // every command works with any modifier held

    if (runFlag == 0 && (keyCode == kKeyUp || keyCode == kKeyDown)) {
        ShowArchiveContents();
        return;
    }
    switch (keyCode) {
    case kKeyDelete: {
        // During a clean-all run the archive in work must not change behind the run's back; during other
        // archive work (a Delete already rewriting the archive, a listing) the press is refused as well.
        if (runFlag != 0) {
            showRefusal(QStringLiteral("Busy cleaning: Delete refused"));
            return;
        }
        const ArchiveWork work(*this, QStringLiteral("deleting an entry"), QStringLiteral("Delete"));
        if (!work.refused())
            deleteSelectedEntry(*this);
        return;
    }
    case kKeyEscape:
        // Only a run in progress can be stopped; idle, Escape leaves the state alone.
        if (runFlag == -1) {
            runFlag = 0;
            XceedZip1->Abort = true;
        }
        return;
    case kKeyF1:
        contents_Click();
        return;
    default:
        return;
    }
}
