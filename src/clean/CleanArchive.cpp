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

// What became of a double-zip repair: repaired, or why not (empty when the user's abort stopped it).
struct RepairResult
{
    bool repaired = false;
    QString why;
};

RepairResult notRepaired(const QString& why)
{
    return {false, why};
}

// The description goes out to the work folder and back into the archive: whatever is extracted must fit
// back, or the repair would fail only after the extraction (a copy of the description left in temp).
static_assert(ZipComponent::kMaxExtractSize <= ZipComponent::kMaxAddSize);

QString megabytes(qint64 bytes)
{
    return QString::number(bytes / (1024 * 1024)) + QStringLiteral(" MB");
}

RepairResult repairDoubleZip(Form1& f, const QString& archive)
{
    f.SSPanel2->setFloodType(0);
    f.SSPanel2->setCaption(QStringLiteral("Double zip found"));

    // The repair file must come from this extraction: an older one goes first, and if it cannot go,
    // there is no repair.
    const QString work = f.dataPath(QStringLiteral("temp"));
    if (!QFileInfo(work).isDir())
        QDir().mkpath(work);
    if (!QFileInfo(work).isDir())
        return notRepaired(QStringLiteral("the work folder %1 cannot be made").arg(QDir::toNativeSeparators(work)));
    const QString repairFile = work + QLatin1Char('/') + kDescription;
    if (QFileInfo::exists(repairFile) || QFileInfo(repairFile).isSymLink())
        fileops::removeFile(repairFile);
    if (QFileInfo::exists(repairFile) || QFileInfo(repairFile).isSymLink())
        return notRepaired(QStringLiteral("%1 cannot be removed").arg(QDir::toNativeSeparators(repairFile)));

    f.XceedZip1->AlternateMode = false;
    f.XceedZip1->EntryMask = kDescription;
    f.XceedZip1->ExtractFolder = work;
    f.XceedZip1->ArchivePath = archive;
    // The component writes the file only after its CRC and size are checked, so a file present after a
    // clean result holds a copy of the description as stored.
    const qint16 extracted = f.XceedZip1->ExtractEntries(0);
    if (f.unloaded() || extracted == ZipAborted)
        return notRepaired(QString());
    if (extracted == ZipCannotWrite)
        return notRepaired(
            QStringLiteral("the description cannot be written to %1").arg(QDir::toNativeSeparators(work)));
    if (extracted == ZipOtherError)
        return notRepaired(QStringLiteral("the description cannot be taken out (over %1, encrypted or of an "
                                          "unknown method)")
                               .arg(megabytes(ZipComponent::kMaxExtractSize)));
    if (extracted != ZipSuccess)
        return notRepaired(
            QStringLiteral("the description cannot be taken out (error%1)").arg(Form1::countText(extracted)));
    if (!fileops::isOrdinaryFile(repairFile))
        return notRepaired(QStringLiteral("the description was not written to %1").arg(QDir::toNativeSeparators(work)));
    if (f.runReport.dryRun)
        return {true, QString()}; // the description is sound, so the rewrite below is what a run would do

    // Adding replaces every copy of the name with the one file in a single rewrite that lands only when
    // complete: the archive holds its copies or the one copy, never no description.
    f.XceedZip1->AlternateMode = false;
    f.XceedZip1->EntryMask = repairFile;
    f.XceedZip1->ArchivePath = archive;
    const qint16 added = f.XceedZip1->AddEntries(0);
    if (added == ZipSuccess)
        return {true, QString()};
    if (f.unloaded() || added == ZipAborted)
        return notRepaired(QString());
    if (added == ZipCannotWrite)
        return notRepaired(QStringLiteral("the archive cannot be written"));
    if (added == ZipOtherError)
        return notRepaired(QStringLiteral("the description cannot be added back (over %1 or unreadable)")
                               .arg(megabytes(ZipComponent::kMaxAddSize)));
    return notRepaired(QStringLiteral("the description cannot be added back (error%1)").arg(Form1::countText(added)));
}

// Says that an archive was not cleaned as asked, and why: on the console of an unattended run, on SSPanel2
// in the window (and again when the run ends). what is "not cleaned", "not purged" or "double zip not repaired".
void reportNotCleaned(Form1& f, const QString& archive, const QString& what, const QString& why)
{
    const QString name = QFileInfo(archive).fileName().toLower();
    const QString doubleZip = QStringLiteral("double zip ");
    f.repairFailure = what.startsWith(doubleZip)
                          ? QStringLiteral("Double zip %1 %2: %3").arg(name, what.mid(doubleZip.size()), why)
                          : QStringLiteral("%1 %2: %3").arg(name, what, why);
    f.SSPanel2->setFloodType(0);
    f.SSPanel2->setCaption(f.repairFailure);
    if (f.unattended())
        f.consoleLine(QStringLiteral("tamsorel: %1: %2: %3").arg(what, QDir::toNativeSeparators(archive), why), true);
}

void reportUnrepaired(Form1& f, const QString& archive, const QString& why)
{
    reportNotCleaned(f, archive, QStringLiteral("double zip not repaired"), why);
}

// Why the component could not list or rewrite an archive, for a failure that is not damage.
QString whyNot(qint16 code)
{
    switch (code) {
    case ZipMultiPart:
        return QStringLiteral("one part of an archive split over several files");
    case ZipCannotWrite:
        return QStringLiteral("the archive cannot be written (a read-only file or folder, or a full disk)");
    case ZipCannotRead:
        return QStringLiteral("the archive cannot be read");
    case ZipArchiveNotFound:
        return QStringLiteral("the archive is gone");
    default:
        return QStringLiteral("the archive cannot be rewritten (error%1)").arg(Form1::countText(code));
    }
}

} // namespace

CleanOutcome Form1::CleanArchive(int i, qint64& badCount, qint64& doubleCount)
{
    const QString archive = currentFolder + QLatin1Char('/') + File1->List(i);

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
    if (listed == ZipAborted)
        return CleanOutcome::Abort;
    if (listed != 0 && !ZipComponent::isDamage(listed)) {
        // Not damage, but nothing can be repaired or purged in it either: said, never passed over in silence.
        reportNotCleaned(*this, archive, QStringLiteral("not cleaned"), whyNot(listed));
        return CleanOutcome::Finished;
    }

    if (ZipComponent::isDamage(listed)) {
        // D. Damaged archive found by the listing: the sound, the rename, the count. Nothing more is done to
        // it: a repair or purge would rewrite a damaged archive, and where the rename failed (a .bad of that
        // name, a folder that refuses it) the archive is still there under its name to be rewritten.
        currentArchive = archive.toLower();
        currentArchiveOnDisk = archive;
        Quarantine(QuarantineCaller::RunListing);
        ++badCount;
        return CleanOutcome::Finished;
    }

    // Description scan: a second exact "file_id.diz" line makes the archive a double zip.
    int descriptions = 0;
    const int lines = List1->ListCount();
    for (int k = 0; k < lines; ++k) {
        if (List1->List(k).toLower() == kDescription && ++descriptions > 1) {
            runReport.doubleFound();
            const RepairResult repair = repairDoubleZip(*this, archive);
            if (unloaded())
                return CleanOutcome::Abort;
            if (repair.repaired)
                ++doubleCount;
            else if (!repair.why.isEmpty())
                reportUnrepaired(*this, archive, repair.why);
            break;
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
        const bool onlyItself = row.isNull() || maskTakesOnlyItself(archive, row);
        if (!onlyItself)
            reportNotCleaned(
                *this, archive, QStringLiteral("not purged"),
                QStringLiteral("%1 stays: the purge row \"%2\" would delete other entries too").arg(line, row));
        if (!row.isNull() && onlyItself) {
            SSPanel2->setFloodPercent(100);
            XceedZip1->AlternateMode = false;
            XceedZip1->EntryMask = row; // as written in the list; the component ignores letter case
            XceedZip1->ArchivePath = archive;
            const qint16 deleted = runReport.dryRun ? qint16(ZipSuccess) : XceedZip1->DeleteEntries();
            if (unloaded())
                return CleanOutcome::Abort;
            runReport.noteCode(deleted);
            if (ZipComponent::isDamage(deleted)) {
                // E. Damaged archive found by a deletion.
                currentArchive = archive.toLower();
                currentArchiveOnDisk = archive;
                Quarantine(QuarantineCaller::RunDeletion);
                ++badCount;
                File1->setSelected(i, false);
                return CleanOutcome::DamagedDuringPurge;
            }
            SSPanel2->setFloodPercent(0);
            if (deleted == ZipAborted)
                return CleanOutcome::Abort;
            if (deleted != ZipSuccess) {
                // The line stays: nothing was deleted. The same archive refuses every further deletion too.
                reportNotCleaned(*this, archive, QStringLiteral("not purged"),
                                 line + QStringLiteral(" stays: ") + whyNot(deleted));
                return CleanOutcome::Finished;
            }
            runReport.entryPurged(line);
            List1->RemoveItem(k);
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
