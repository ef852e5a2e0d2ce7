// The cleaning steps of one archive in a clean-all run: list and test, repair a double zip, purge.

#include "app/Form1.h"
#include "clean/ZipComponent.h"
#include "platform/FileListBox.h"
#include "platform/FileOps.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "zip/ArchiveCleaner.h"
#include "zip/ReadAhead.h"

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

// The first half of a double-zip repair: one copy of the description extracted to the work folder. The
// second half, adding it back in place of every copy, is part of the archive's one rewrite.
RepairResult extractDescription(Form1& f, const QString& archive, QString* repairFile)
{
    f.SSPanel2->setFloodType(0);
    f.SSPanel2->setCaption(QStringLiteral("Double zip found"));

    // The repair file must come from this extraction: an older one goes first, and if it cannot go,
    // there is no repair.
    const QString work = f.dataPath(QStringLiteral("temp"));
    if (!QFileInfo(work).isDir())
        QDir().mkdir(work);
    if (!QFileInfo(work).isDir())
        return notRepaired(QStringLiteral("the work folder %1 cannot be made").arg(QDir::toNativeSeparators(work)));
    const QString file = work + QLatin1Char('/') + kDescription;
    if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
        fileops::removeFile(file);
    if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
        return notRepaired(QStringLiteral("%1 cannot be removed").arg(QDir::toNativeSeparators(file)));

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
    if (!fileops::isOrdinaryFile(file))
        return notRepaired(QStringLiteral("the description was not written to %1").arg(QDir::toNativeSeparators(work)));
    *repairFile = file;
    return {true, QString()};
}

// Why adding the description back failed, from the rewrite's result.
QString addBackFailure(qint16 added)
{
    if (added == ZipCannotWrite)
        return QStringLiteral("the archive cannot be written");
    if (added == ZipOtherError)
        return QStringLiteral("the description cannot be added back (over %1 or unreadable)")
            .arg(megabytes(ZipComponent::kMaxAddSize));
    return QStringLiteral("the description cannot be added back (error%1)").arg(Form1::countText(added));
}

// Says that a double zip stays as it was, and why: on the console of an unattended run, on SSPanel2 in the
// window (and again when the run ends).
void reportUnrepaired(Form1& f, const QString& archive, const QString& why)
{
    const QString name = QFileInfo(archive).fileName().toLower();
    f.repairFailure = QStringLiteral("Double zip %1 not repaired: %2").arg(name, why);
    f.SSPanel2->setFloodType(0);
    f.SSPanel2->setCaption(f.repairFailure);
    if (f.unattended())
        f.consoleLine(
            QStringLiteral("tamsorel: double zip not repaired: %1: %2").arg(QDir::toNativeSeparators(archive), why),
            true);
}

} // namespace

// The purge pass as one deletion per line, each decided against the archive as it is then: for a listing
// that came back with a failure other than damage, whose names may be incomplete.
CleanOutcome Form1::purgeLineByLine(int i, const QString& archive, qint64& badCount)
{
    // After a removal the line that moves up into position k is examined in its turn, so every line that
    // matches a row goes; n shrinks with each removal so every position is walked once. The pump runs after
    // the first line, after every deletion and otherwise at most every kPumpIntervalMs.
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
            const qint16 deleted = XceedZip1->DeleteEntries();
            if (unloaded())
                return CleanOutcome::Abort;
            if (ZipComponent::isDamage(deleted)) {
                // E. Damaged archive found by a deletion.
                currentArchive = archive.toLower();
                currentArchiveOnDisk = archive;
                Quarantine(QuarantineCaller::RunDeletion);
                ++badCount;
                File1->setSelected(i, false);
                return CleanOutcome::DamagedDuringPurge;
            }
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

CleanOutcome Form1::CleanArchive(int i, qint64& badCount, qint64& doubleCount)
{
    const QString archive = currentFolder + QLatin1Char('/') + File1->List(i);

    // A run killed during a rewrite left its temporary file beside the archive. The run clears the folder's
    // at its start; a linked archive's lies beside the link's target, cleared here.
    if (QFileInfo(archive).isSymLink())
        ZipComponent::removeStaleTemporaries(archive);

    // A. Listing, which also tests every entry: read ahead by the run's worker when it could, here otherwise
    //    (the name or the file changed since, or there is no worker).
    List1->Clear();
    currentArchive = archive.toLower();
    currentArchiveOnDisk = archive;
    ArchiveCleaner cleaner(*XceedZip1, archive);
    std::optional<ArchiveListing> ahead;
    if (readAhead) {
        bool stopped = false;
        ahead = readAhead->take(archive, [&] {
            const int percent = readAhead->progress(archive);
            if (percent >= 0)
                XceedZip1_Status(qint16(percent));
            pumpEvents();
            stopped = unloaded() || runFlag == 0;
            return !stopped;
        });
        // An abort while the worker still reads this archive ends the run before anything of it is shown.
        if (stopped)
            return CleanOutcome::Abort;
    }
    ArchiveListing listing;
    if (ahead) {
        listing = std::move(*ahead);
        // The component is left as its own listing would leave it.
        XceedZip1->AlternateMode = false;
        XceedZip1->EntryMask = QStringLiteral("*.*");
        XceedZip1->ArchivePath = archive;
        XceedZip1->replayListing(listing.names);
    } else {
        listing = cleaner.list();
    }
    const qint16 listed = listing.result;
    if (unloaded())
        return CleanOutcome::Abort;
    if (listed != 0)
        List1->AddItem(QStringLiteral("Bad zip found"));

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

    // B. A second exact "file_id.diz" makes the archive a double zip: one copy goes out to the work folder,
    //    to go back in place of every copy.
    QString repairFile;
    if (ArchiveCleaner::isDoubleZip(listing.names)) {
        const RepairResult extracted = extractDescription(*this, archive, &repairFile);
        if (unloaded())
            return CleanOutcome::Abort;
        if (!extracted.repaired && !extracted.why.isEmpty())
            reportUnrepaired(*this, archive, extracted.why);
    }
    if (listed != 0) {
        // A listing that failed otherwise than by damage may not hold every name, so nothing is planned from
        // it: the description goes back by itself and each purge line is a deletion of its own.
        if (!repairFile.isEmpty()) {
            XceedZip1->AlternateMode = false;
            XceedZip1->EntryMask = repairFile;
            XceedZip1->ArchivePath = archive;
            const qint16 added = XceedZip1->AddEntries(0);
            if (unloaded())
                return CleanOutcome::Abort;
            if (added == ZipSuccess)
                ++doubleCount;
            else if (added != ZipAborted)
                reportUnrepaired(*this, archive, addBackFailure(added));
        }
        return purgeLineByLine(i, archive, badCount);
    }

    // C. Purge pass over a clean listing. Which lines go is decided first; the repair and every deletion are
    //    one rewrite, made where the first of them was due. The window then shows the lines leaving.
    QStringList lines;
    const int n = List1->ListCount();
    lines.reserve(n);
    for (int k = 0; k < n; ++k)
        lines << List1->List(k);
    const CleanPlan plan = ArchiveCleaner::plan(lines, listing.names, repairFile,
                                                [this](const QString& line) { return purgeEntries.match(line); });
    lines.clear();
    listing.names.clear(); // the plan holds what the pass needs; the names of a large archive need not wait

    bool rewritten = false;
    qint16 rewriteResult = ZipSuccess;
    auto rewriteOnce = [&] {
        qint16 addBack = ZipSuccess;
        rewriteResult = cleaner.rewrite(plan, &addBack);
        rewritten = true;
        if (plan.repairFile.isEmpty() || unloaded() || addBack == ZipAborted || ZipComponent::isDamage(addBack))
            return;
        if (addBack == ZipSuccess)
            ++doubleCount;
        else
            reportUnrepaired(*this, archive, addBackFailure(addBack));
    };
    if (!repairFile.isEmpty()) {
        rewriteOnce();
        if (unloaded() || rewriteResult == ZipAborted)
            return CleanOutcome::Abort;
    }

    QElapsedTimer sincePump;
    sincePump.start();
    int removed = 0;
    for (int line = 0; line < n; ++line) {
        const int k = line - removed;
        const bool goes = plan.removes(line);
        if (goes) {
            List1->setSelected(k, true);
            SSPanel2->setFloodPercent(100);
            if (!rewritten) {
                rewriteOnce();
                if (unloaded() || rewriteResult == ZipAborted)
                    return CleanOutcome::Abort;
            }
            if (ZipComponent::isDamage(rewriteResult)) {
                // E. Damaged archive found by the rewrite: the file changed after its listing.
                currentArchive = archive.toLower();
                currentArchiveOnDisk = archive;
                Quarantine(QuarantineCaller::RunDeletion);
                ++badCount;
                File1->setSelected(i, false);
                return CleanOutcome::DamagedDuringPurge;
            }
            List1->RemoveItem(k);
            SSPanel2->setFloodPercent(0);
            ++removed;
        }
        // The pump runs after the first line, after every removal and otherwise at most every kPumpIntervalMs:
        // a repaint after each of thousands of unchanged lines costs more than the archive's whole test.
        if (line == 0 || goes || sincePump.elapsed() >= kPumpIntervalMs) {
            if (!goes)
                List1->setSelected(k, true);
            pumpEvents();
            if (unloaded())
                return CleanOutcome::Abort;
            List1->setSelected(k, false);
            sincePump.start();
        }
        if (runFlag == 0)
            return CleanOutcome::Abort;
    }
    return CleanOutcome::Finished;
}
