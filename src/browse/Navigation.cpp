// Folder navigation and the contents listing of the archive chosen in File1.

#include "app/ArchiveWork.h"
#include "app/Form1.h"
#include "platform/DirListBox.h"
#include "platform/DriveListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/ShownName.h"
#include "zip/DiskName.h"
#include "zip/ZipComponent.h"

#include <QDir>

namespace {

void storeName(QStringList& table, int index, const QString& text)
{
    // The table grows with the folder: more archives than its first size lose nothing.
    if (index >= table.size())
        table.resize(index + 1);
    table[index] = text;
}

} // namespace

void Form1::Drive1_Change()
{
    if (!Dir1->setPath(Drive1->Drive())) {
        SSPanel2->setFloodType(0);
        SSPanel2->setCaption(
            QStringLiteral("Drive not ready: %1").arg(shownName(QDir::toNativeSeparators(Drive1->Drive()))));
    }
}

void Form1::Dir1_Change()
{
    File1->setPath(Dir1->Path());
    if (!File1->readError().isEmpty()) {
        SSPanel2->setFloodType(0);
        SSPanel2->setCaption(File1->readError());
    }
    if (File1->ListCount() < 1)
        return;
    File1->setFocus();
    // While idle the selection's Click lists the archive; during a run Click does nothing, so the listing is
    // asked for here, and waits until the run is over: List1 is the run's until then.
    const bool clickLists = runFlag == 0;
    File1->setSelected(0, true);
    if (!clickLists)
        ShowArchiveContents();
}

void Form1::File1_Click()
{
    if (runFlag == -1)
        return;
    for (int i = 0; i < File1->ListCount(); ++i) {
        if (File1->Selected(i)) {
            storeName(selectedNames, i, File1->Name(i));
            SSPanel1->setCaption(shownName(diskname::lowered(File1->Name(i))));
        }
    }
    ShowArchiveContents();
}

void Form1::File1_MouseUp()
{
    if (runFlag == -1)
        return;
    const QString index = QString::number(File1->ListIndex());
    for (int i = 0; i < File1->ListCount(); ++i)
        storeName(selectedNames, i, index);
}

void Form1::ShowArchiveContents()
{
    // Asked for in the middle of other archive work (a click pumped inside a component call): this listing
    // would replace List1 and the current archive under that work, so it waits until the work ends.
    if (archiveWorkInProgress()) {
        listingWaits();
        return;
    }
    if (m_listingWaits) {
        m_listingWaits = false;
        if (SSPanel2->Caption() == m_waitWord)
            SSPanel2->setCaption(QString());
    }
    setMousePointer(11);
    List1->Clear();
    int next = 1;
    for (int i = 0; i < File1->ListCount(); ++i)
        if (File1->Selected(i))
            storeName(selectedNames, next++, File1->Name(i));
    // Without a selected archive there is nothing to list: an old name must not be asked about, let alone
    // quarantined.
    if (next == 1) {
        setMousePointer(0);
        return;
    }
    const QString path = Dir1->Path();
    const QString archive =
        path.endsWith(QLatin1Char('/')) ? path + selectedNames[1] : path + QLatin1Char('/') + selectedNames[1];
    ArchiveWork work(*this, QStringLiteral("listing ") + shownName(diskname::lowered(selectedNames[1])), QString());
    currentArchive = archive;
    currentArchiveOnDisk = archive;

    XceedZip1->AlternateMode = false;
    XceedZip1->EntryMask = QStringLiteral("*.*");
    XceedZip1->ArchivePath = archive;
    const qint16 result = XceedZip1->ListContents();
    if (result != 0)
        List1->AddItem(QStringLiteral("--> Moving too fast! <--"));
    if (ZipComponent::isDamage(result) && !unloaded()) {
        // The verdict is about this archive, whatever the events during the call did to the shared state.
        currentArchive = archive;
        currentArchiveOnDisk = archive;
        Quarantine(QuarantineCaller::ContentsListing);
    }
    setMousePointer(0);
}

void Form1::XceedZip1_Listing(const QString& name)
{
    List1->AddItem(diskname::lowered(name));
}

void Form1::XceedZip1_Status(qint16 percent)
{
    SSPanel2->setFloodType(1);
    if (SSPanel2->FloodPercent() != percent)
        SSPanel2->setFloodPercent(percent);
    SSPanel2->repaintNow();
}
