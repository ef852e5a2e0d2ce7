// The cleaning steps of one archive in a clean-all run: list and test, repair a double zip, purge.

#include "app/Form1.h"
#include "app/UnattendedRun.h"
#include "platform/FileListBox.h"
#include "platform/FileOps.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "zip/ArchiveCleaner.h"
#include "zip/ReadAhead.h"
#include "zip/VerdictCache.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

namespace {

const QString kDescription = QStringLiteral("file_id.diz");
constexpr qint64 kPumpIntervalMs = 20;
// An archive replaced between its listing and its rewrite is read and judged anew, this many times at most.
constexpr int kMaxJudgedAnew = 3;
int judgingAnew = 0; // how deep CleanArchive is in judging one archive anew

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

// The first half of a double-zip repair: one copy of the description extracted to the work folder, named in
// *repairFile. The second half, adding it back in place of every copy, is part of the archive's one rewrite.
RepairResult extractDescription(Form1& f, const QString& archive, QString* repairFile)
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

QString whyNot(qint16 code);

// Why adding the description back failed, from the rewrite's result.
QString addBackFailure(qint16 added)
{
    if (added == ZipLinkOutside || added == ZipOwnerNotKept || added == ZipHardLinked)
        return whyNot(added);
    if (added == ZipCannotWrite)
        return QStringLiteral("the archive cannot be written");
    if (added == ZipOtherError)
        return QStringLiteral("the description cannot be added back (over %1 or unreadable)")
            .arg(megabytes(ZipComponent::kMaxAddSize));
    return QStringLiteral("the description cannot be added back (error%1)").arg(Form1::countText(added));
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
    f.runReport.noteWhy(QStringLiteral("%1: %2").arg(what, why));
    if (f.unattended())
        f.consoleLine(QStringLiteral("tamsorel: %1: %2: %3").arg(what, shownPath(archive), why), true);
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
    case ZipArchiveChanged:
        return QStringLiteral("the archive keeps changing while it is cleaned");
    case ZipLinkOutside:
        return QStringLiteral("the archive is a link to a file in another folder, which is not written");
    case ZipOwnerNotKept:
        return QStringLiteral("its owner, group or extended attributes (ACLs) cannot be kept by this user");
    case ZipHardLinked:
        return QStringLiteral("the archive has other hard links, which would keep the old file");
    default:
        return QStringLiteral("the archive cannot be rewritten (error%1)").arg(Form1::countText(code));
    }
}

} // namespace

CleanOutcome Form1::CleanArchive(int i, qint64& badCount, qint64& doubleCount)
{
    return CleanArchive(currentFolder + QLatin1Char('/') + File1->List(i), i, badCount, doubleCount);
}

CleanOutcome Form1::CleanArchive(const QString& archive, int i, qint64& badCount, qint64& doubleCount)
{

    // A run killed during a rewrite left its temporary file beside the archive. The run clears the folder's
    // at its start; a linked archive's lies beside the link's target, cleared here.
    if (QFileInfo(archive).isSymLink() && !runReport.dryRun)
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
        // The progress replayed while the worker reads this archive is this archive's.
        XceedZip1->ArchivePath = archive;
        ahead = readAhead->take(archive, [&] {
            const int percent = readAhead->progress(archive);
            if (percent >= 0)
                XceedZip1->replayStatus(qint16(percent));
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
        listing = cleaner.list(folderVerdicts.get());
    }
    const qint16 listed = listing.result;
    if (unloaded())
        return CleanOutcome::Abort;
    if (verdicts) {
        // The file the verdict will be about, unless a rewrite replaces it.
        told = {};
        if (listed == ZipSuccess)
            told = {false, listing.stamp, listing.directoryHash, listing.testedNs};
        runReport.dataSource(listing.fromCache, listing.testedNs);
    }
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
        const QString notRenamed = Quarantine(QuarantineCaller::RunListing);
        if (notRenamed.isEmpty())
            ++badCount;
        else
            reportNotCleaned(*this, archive, QStringLiteral("not cleaned"), notRenamed);
        return CleanOutcome::Finished;
    }

    // B. A second exact "file_id.diz" makes the archive a double zip: one copy goes out to the work folder, to
    //    go back in place of every copy.
    QString repairFile;
    if (ArchiveCleaner::isDoubleZip(listing.names)) {
        runReport.doubleFound();
        const RepairResult extracted = extractDescription(*this, archive, &repairFile);
        if (unloaded())
            return CleanOutcome::Abort;
        if (!extracted.repaired && !extracted.why.isEmpty())
            reportUnrepaired(*this, archive, extracted.why);
        // The description is sound, so the rewrite that a dry run leaves out is what a run would do.
        if (extracted.repaired && runReport.dryRun)
            ++doubleCount;
    }

    // C. Purge pass. Which lines go is decided first, against the archive as the repair and the deletions
    //    before each line leave it; the repair and every deletion are then one rewrite, made where the first of
    //    them is due, and the window shows the lines leaving. The pump runs after every removal and otherwise
    //    when kPumpIntervalMs passed since it last ran (the run pumps after each archive): a pump after each of
    //    thousands of unchanged lines, or at the first line of each of thousands of small archives, costs more
    //    than the archive's whole test, and the window still answers within a frame.
    QStringList lines;
    const int n = List1->ListCount();
    lines.reserve(n);
    for (int k = 0; k < n; ++k)
        lines << List1->List(k);
    const CleanPlan plan = ArchiveCleaner::plan(lines, listing.names, repairFile,
                                                [this](const QString& line) { return purgeEntries.match(line); });
    listing.names.clear(); // the plan holds what the pass needs; a large archive's names need not wait

    bool rewritten = false;
    qint16 rewriteResult = ZipSuccess;
    auto rewriteOnce = [&] {
        rewritten = true;
        if (runReport.dryRun)
            return;
        qint16 addBack = ZipSuccess;
        ArchiveStamp produced;
        QByteArray producedHash;
        rewriteResult = cleaner.rewrite(plan, &addBack, &listing.stamp, &produced, &producedHash);
        if (produced.valid()) // the entries were copied from the tested ones: their test time stays
            told = {false, produced, producedHash, told.testedNs};
        if (rewriteResult == ZipArchiveChanged)
            return; // nothing was changed; the archive is judged anew
        if (!plan.masks.isEmpty())
            runReport.noteCode(rewriteResult);
        if (plan.repairFile.isEmpty() || unloaded() || addBack == ZipAborted || ZipComponent::isDamage(addBack))
            return;
        if (addBack == ZipSuccess)
            ++doubleCount;
        else
            reportUnrepaired(*this, archive, addBackFailure(addBack));
    };
    // The file was replaced after its listing: the plan was made for another archive, so this one is listed,
    // tested and planned from the start.
    auto judgeAnew = [&] {
        if (judgingAnew >= kMaxJudgedAnew) {
            reportNotCleaned(*this, archive, QStringLiteral("not cleaned"), whyNot(ZipArchiveChanged));
            return CleanOutcome::Finished;
        }
        ++judgingAnew;
        const CleanOutcome outcome = CleanArchive(i, badCount, doubleCount);
        --judgingAnew;
        return outcome;
    };
    if (!repairFile.isEmpty()) {
        rewriteOnce();
        if (unloaded() || rewriteResult == ZipAborted)
            return CleanOutcome::Abort;
        if (rewriteResult == ZipArchiveChanged)
            return judgeAnew();
    }

    int removed = 0;
    size_t refusal = 0;
    for (int line = 0; line < n; ++line) {
        const int k = line - removed;
        for (; refusal < plan.refusals.size() && plan.refusals[refusal].line <= line; ++refusal)
            if (plan.refusals[refusal].line == line)
                reportNotCleaned(*this, archive, QStringLiteral("not purged"),
                                 QStringLiteral("%1 stays: the purge row \"%2\" would delete other entries too")
                                     .arg(lines[line], plan.refusals[refusal].row));
        const bool goes = plan.removes(line);
        if (goes) {
            List1->setSelected(k, true);
            SSPanel2->setFloodPercent(100);
            if (!rewritten)
                rewriteOnce();
            if (unloaded())
                return CleanOutcome::Abort;
            if (rewriteResult == ZipArchiveChanged)
                return judgeAnew();
            if (ZipComponent::isDamage(rewriteResult)) {
                // E. Damaged archive found by the rewrite: the file changed after its listing.
                currentArchive = archive.toLower();
                currentArchiveOnDisk = archive;
                const QString notRenamed = Quarantine(QuarantineCaller::RunDeletion);
                if (notRenamed.isEmpty())
                    ++badCount;
                else
                    reportNotCleaned(*this, archive, QStringLiteral("not cleaned"), notRenamed);
                if (fileListShows(i, archive))
                    File1->setSelected(i, false);
                return CleanOutcome::DamagedDuringPurge;
            }
            SSPanel2->setFloodPercent(0);
            if (rewriteResult == ZipAborted)
                return CleanOutcome::Abort;
            if (rewriteResult != ZipSuccess) {
                // The deletions are one rewrite: every line it was to remove stays, and each is named.
                QStringList staying;
                for (const CleanPlan::Removal& r : plan.removals)
                    staying << lines[r.line];
                reportNotCleaned(*this, archive, QStringLiteral("not purged"),
                                 staying.join(QStringLiteral(", ")) +
                                     (staying.size() == 1 ? QStringLiteral(" stays: ") : QStringLiteral(" stay: ")) +
                                     whyNot(rewriteResult));
                return CleanOutcome::Finished;
            }
            runReport.entryPurged(lines[line]);
            List1->RemoveItem(k);
            ++removed;
        }
        if (goes || ((line & 63) == 0 && msSincePump() >= kPumpIntervalMs)) { // the clock, every 64 lines
            if (!goes)
                List1->setSelected(k, true);
            pumpEvents();
            if (unloaded())
                return CleanOutcome::Abort;
            List1->setSelected(k, false);
        }
        if (runFlag == 0)
            return CleanOutcome::Abort;
    }
    return CleanOutcome::Finished;
}
