// The cleaning steps of one archive in a clean-all run: list and test, repair a double zip, purge.

#include "app/Form1.h"
#include "clean/ZipComponent.h"
#include "platform/FileListBox.h"
#include "platform/FileOps.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

namespace {

const QString kDescription = QStringLiteral("file_id.diz");
constexpr qint64 kPumpIntervalMs = 20;

bool hasWildcard(const QString& text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'));
}

// True when the component, given this row as its mask, would delete only entries named exactly like the row.
// A purge row holding '*' or '?' is a name to the purge list but a wildcard to the component; a probe
// listing of the archive with that mask shows what a deletion would take.
bool maskTakesOnlyItself(const QString& archive, const QString& row)
{
    if (!hasWildcard(row))
        return true;
    ZipComponent probe;
    probe.TestData = false;
    probe.AlternateMode = false;
    probe.ArchivePath = archive;
    probe.EntryMask = row;
    bool onlyItself = true;
    QObject::connect(&probe, &ZipComponent::Listing, &probe, [&](const QString& name) {
        if (name.compare(row, Qt::CaseInsensitive) != 0)
            onlyItself = false;
    });
    return probe.ListContents() == 0 && onlyItself;
}

// Double-zip repair; true when the archive now holds one description.
bool repairDoubleZip(Form1& f, const QString& archive)
{
    f.SSPanel2->setFloodType(0);
    f.SSPanel2->setCaption(QStringLiteral("Double zip found"));

    // The repair file must come from this extraction: an older one goes first, and if it cannot go,
    // there is no repair.
    const QString work = f.dataPath(QStringLiteral("temp"));
    if (!QFileInfo(work).isDir())
        QDir().mkpath(work);
    const QString repairFile = work + QLatin1Char('/') + kDescription;
    if (QFileInfo::exists(repairFile) || QFileInfo(repairFile).isSymLink())
        fileops::removeFile(repairFile);
    if (QFileInfo::exists(repairFile) || QFileInfo(repairFile).isSymLink())
        return false;

    f.XceedZip1->AlternateMode = false;
    f.XceedZip1->EntryMask = kDescription;
    f.XceedZip1->ExtractFolder = work;
    f.XceedZip1->ArchivePath = archive;
    // The component writes the file only after its CRC and size are checked, so a file present after a
    // clean result holds a copy of the description as stored.
    if (f.XceedZip1->ExtractEntries(0) != 0 || f.unloaded() || !fileops::isOrdinaryFile(repairFile))
        return false;
    if (f.runReport.dryRun)
        return true; // the description is sound, so the rewrite below is what a run would do

    // Adding replaces every copy of the name with the one file in a single rewrite that lands only when
    // complete: the archive holds its copies or the one copy, never no description.
    f.XceedZip1->AlternateMode = false;
    f.XceedZip1->EntryMask = repairFile;
    f.XceedZip1->ArchivePath = archive;
    return f.XceedZip1->AddEntries(0) == 0;
}

} // namespace

CleanOutcome Form1::CleanArchive(int i, qint64& badCount, qint64& doubleCount)
{
    const QString archive = currentFolder + QLatin1Char('/') + File1->List(i);
    bool countedBad = false;

    // A run killed during a rewrite left its temporary file beside the archive. The run clears the folder's
    // at its start; a linked archive's lies beside the link's target, cleared here.
    if (QFileInfo(archive).isSymLink() && !runReport.dryRun)
        ZipComponent::removeStaleTemporaries(archive);

    // A. Listing, which also tests every entry.
    List1->Clear();
    currentArchive = archive.toLower();
    currentArchiveOnDisk = archive;
    XceedZip1->AlternateMode = false;
    XceedZip1->EntryMask = QStringLiteral("*.*");
    XceedZip1->ArchivePath = archive;
    const qint16 listed = XceedZip1->ListContents();
    if (unloaded())
        return CleanOutcome::Abort;
    runReport.noteCode(listed);
    if (listed != 0)
        List1->AddItem(QStringLiteral("Bad zip found"));

    if (ZipComponent::isDamage(listed)) {
        // D. Damaged archive found by the listing: the sound, the rename, the count.
        Quarantine(QuarantineCaller::RunListing);
        ++badCount;
        countedBad = true;
    } else {
        // Description scan: a second exact "file_id.diz" line makes the archive a double zip.
        int descriptions = 0;
        const int lines = List1->ListCount();
        for (int k = 0; k < lines; ++k) {
            if (List1->List(k).toLower() == kDescription && ++descriptions > 1) {
                runReport.doubleFound();
                if (repairDoubleZip(*this, archive))
                    ++doubleCount;
                if (unloaded())
                    return CleanOutcome::Abort;
                break;
            }
        }
    }

    // C. Purge pass. After a removal the line that moves up into position k is examined in its turn, so
    // every line that matches a row goes; n shrinks with each removal so every position is walked once.
    // The pump runs after the first line, after every deletion and otherwise at most every kPumpIntervalMs:
    // a repaint after each of thousands of unchanged lines costs more than the archive's whole test, and
    // the window still answers within a frame.
    int n = List1->ListCount();
    int k = 0;
    QElapsedTimer sincePump;
    bool firstLine = true;
    while (k < n) {
        List1->setSelected(k, true);
        bool removed = false;
        const QString line = List1->List(k);
        const QString row = line.isEmpty() ? QString() : purgeEntries.match(line);
        if (!row.isNull() && maskTakesOnlyItself(archive, row)) {
            SSPanel2->setFloodPercent(100);
            XceedZip1->AlternateMode = false;
            XceedZip1->EntryMask = row; // as written in the list; the component ignores letter case
            XceedZip1->ArchivePath = archive;
            const qint16 deleted = runReport.dryRun ? qint16(ZipSuccess) : XceedZip1->DeleteEntries();
            if (unloaded())
                return CleanOutcome::Abort;
            runReport.noteCode(deleted);
            if (ZipComponent::isDamage(deleted)) {
                // E. Damaged archive found by a deletion. One already counted by its listing is not
                // counted, sounded or renamed a second time.
                if (!countedBad) {
                    currentArchive = archive.toLower();
                    currentArchiveOnDisk = archive;
                    Quarantine(QuarantineCaller::RunDeletion);
                    ++badCount;
                }
                File1->setSelected(i, false);
                return CleanOutcome::DamagedDuringPurge;
            }
            if (deleted == ZipSuccess)
                runReport.entryPurged(line);
            List1->RemoveItem(k);
            SSPanel2->setFloodPercent(0);
            removed = true;
        }
        if (firstLine || removed || sincePump.elapsed() >= kPumpIntervalMs) {
            pumpEvents();
            if (unloaded())
                return CleanOutcome::Abort;
            sincePump.start();
            firstLine = false;
        }
        List1->setSelected(k, false);
        if (runFlag == 0)
            return CleanOutcome::Abort;
        if (removed)
            --n;
        else
            ++k;
    }
    return CleanOutcome::Finished;
}
