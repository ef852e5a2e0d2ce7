// The cleaning of one archive of a run: list and test, quarantine a damaged one, repair a double zip, purge.

#include "zip/CleanRun.h"

#include "zip/CleanRunParts.h"
#include "zip/DiskName.h"
#include "zip/DriveInfo.h"
#include "zip/FileOps.h"
#include "zip/ListOrder.h"
#include "zip/RunReport.h"
#include "zip/ShownText.h"

#include <QDir>
#include <QFileInfo>

namespace {

constexpr qint64 kPumpIntervalMs = 20;
// An archive replaced between its listing and its rewrite is read and judged anew, this many times at most.
constexpr int kMaxJudgedAnew = 3;

// The description goes out to the work folder and back into the archive: whatever is extracted must fit
// back, or the repair would fail only after the extraction (a copy of the description left in temp).
static_assert(ZipComponent::kMaxExtractSize <= ZipComponent::kMaxAddSize);

// What became of a double-zip repair: repaired, or why not (empty when the user's abort stopped it).
struct RepairResult
{
    bool repaired = false;
    QString why;
};

QString countText(qint64 count)
{
    return QLatin1Char(' ') + QString::number(count);
}

QString megabytes(qint64 bytes)
{
    return QString::number(bytes / (1024 * 1024)) + QStringLiteral(" MB");
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
        return QStringLiteral("the archive cannot be rewritten (error%1)").arg(countText(code));
    }
}

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
    return QStringLiteral("the description cannot be added back (error%1)").arg(countText(added));
}

// The first half of a double-zip repair: one copy of the description extracted to the work folder, named in
// *repairFile. The second half, adding it back in place of every copy, is part of the archive's one rewrite.
RepairResult extractDescription(ZipComponent& zip, const QString& work, const QString& archive, QString* repairFile)
{
    // The repair file must come from this extraction: an older one goes first, and if it cannot go,
    // there is no repair.
    if (!QFileInfo(work).isDir())
        QDir().mkpath(work);
    if (!QFileInfo(work).isDir())
        return {false, QStringLiteral("the work folder %1 cannot be made").arg(QDir::toNativeSeparators(work))};
    const QString file = work + QLatin1Char('/') + ArchiveCleaner::kDescription;
    if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
        fileops::removeFile(file);
    if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
        return {false, QStringLiteral("%1 cannot be removed").arg(QDir::toNativeSeparators(file))};

    zip.AlternateMode = false;
    zip.EntryMask = ArchiveCleaner::kDescription;
    zip.ExtractFolder = work;
    zip.ArchivePath = archive;
    // The component writes the file only after its CRC and size are checked, so a file present after a
    // clean result holds a copy of the description as stored.
    const qint16 extracted = zip.ExtractEntries(0);
    if (extracted == ZipAborted)
        return {};
    if (extracted == ZipCannotWrite)
        return {false, QStringLiteral("the description cannot be written to %1").arg(QDir::toNativeSeparators(work))};
    if (extracted == ZipOtherError)
        return {false, QStringLiteral("the description cannot be taken out (over %1, encrypted or of an "
                                      "unknown method)")
                           .arg(megabytes(ZipComponent::kMaxExtractSize))};
    if (extracted != ZipSuccess)
        return {false, QStringLiteral("the description cannot be taken out (error%1)").arg(countText(extracted))};
    if (!fileops::isOrdinaryFile(file))
        return {false, QStringLiteral("the description was not written to %1").arg(QDir::toNativeSeparators(work))};
    *repairFile = file;
    return {true, QString()};
}

} // namespace

CleanOutcome CleanRun::cleanArchive(int i, const QString& archive)
{
    Impl& r = *m_impl;
    RunReport& report = *m_setup.report;
    ZipComponent& zip = *r.zip;

    // Says that the archive was not cleaned as asked, and why: to the observer, in the account, and on the
    // console of an unattended run.
    const auto notCleaned = [&](const QString& what, const QString& why) {
        const QString name = diskname::lowered(QFileInfo(archive).fileName());
        const QString doubleZip = QStringLiteral("double zip ");
        m_notCleaned = what.startsWith(doubleZip)
                           ? QStringLiteral("Double zip %1 %2: %3").arg(name, what.mid(doubleZip.size()), why)
                           : QStringLiteral("%1 %2: %3").arg(name, what, why);
        m_observer.notCleaned(archive, what, why);
        report.noteWhy(QStringLiteral("%1: %2").arg(what, why));
        if (m_setup.unattended)
            m_observer.consoleLine(QStringLiteral("tamsorel: %1: %2: %3").arg(what, shownPath(archive), why), true);
    };
    const auto unrepaired = [&](const QString& why) { notCleaned(QStringLiteral("double zip not repaired"), why); };
    // The quarantine: the observer hears of the damage, then the archive is renamed NAME.bad on a drive that
    // allows it; a dry run renames nothing.
    const auto quarantine = [&] {
        m_observer.damaged(archive);
        QString notRenamed;
        QString keptAside;
        DriveInfo drive;
        drive.Drive = archive;
        if (drive.DriveClass() > DriveInfo::NotWritable && fileops::isOrdinaryFile(archive) && !m_setup.dryRun)
            notRenamed = renameToBad(archive, &keptAside);
        if (!keptAside.isEmpty() && m_setup.unattended)
            m_observer.consoleLine(
                QStringLiteral("tamsorel: kept the older %1 as %2")
                    .arg(QDir::toNativeSeparators(archive + QStringLiteral(".bad")), QFileInfo(keptAside).fileName()),
                true);
        if (notRenamed.isEmpty())
            ++m_counts.bad;
        else
            notCleaned(QStringLiteral("not cleaned"), notRenamed);
    };

    // A run killed during a rewrite left its temporary file beside the archive. The run clears the folder's
    // at its start; a linked archive's lies beside the link's target, cleared here.
    if (diskname::isLink(archive) && !m_setup.dryRun)
        ZipComponent::removeStaleTemporaries(archive);

    m_observer.listingStarted(archive);

    // A. Listing, which also tests every entry: read ahead by the run's worker when it could, here otherwise
    //    (the name or the file changed since, or there is no worker).
    ArchiveCleaner cleaner(zip, archive);
    std::optional<ArchiveListing> ahead;
    if (r.readAhead) {
        bool stopped = false;
        // The progress replayed while the worker reads this archive is this archive's.
        zip.ArchivePath = archive;
        ahead = r.readAhead->take(archive, [&] {
            const int percent = r.readAhead->progress(archive);
            if (percent >= 0)
                zip.replayStatus(qint16(percent));
            m_observer.breathe();
            r.sinceBreath.start();
            stopped = stopNow();
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
        zip.AlternateMode = false;
        zip.EntryMask = QStringLiteral("*.*");
        zip.ArchivePath = archive;
        zip.replayListing(listing.names);
    } else {
        listing = cleaner.list(r.folderVerdicts.get());
    }
    const qint16 listed = listing.result;
    if (m_observer.gone())
        return CleanOutcome::Abort;
    if (r.cache) {
        // The file the verdict will be about, unless a rewrite replaces it.
        r.told = {};
        if (listed == ZipSuccess)
            r.told = {false, listing.stamp, listing.directoryHash, listing.testedNs};
        report.dataSource(listing.fromCache, listing.testedNs);
    }
    report.noteCode(listed);
    if (listed != 0)
        m_observer.listingLine(QStringLiteral("Bad zip found"));
    if (listed == ZipAborted)
        return CleanOutcome::Abort;
    if (listed != 0 && !ZipComponent::isDamage(listed)) {
        // Not damage, but nothing can be repaired or purged in it either: said, never passed over in silence.
        notCleaned(QStringLiteral("not cleaned"), whyNot(listed));
        return CleanOutcome::Finished;
    }
    if (ZipComponent::isDamage(listed)) {
        // D. Damaged archive found by the listing: the quarantine and the count. Nothing more is done to it:
        // a repair or purge would rewrite a damaged archive, and where the rename failed (a .bad of that name,
        // a folder that refuses it) the archive is still there under its name to be rewritten.
        quarantine();
        return CleanOutcome::Finished;
    }

    // B. A second exact "file_id.diz" makes the archive a double zip: one copy goes out to the work folder, to
    //    go back in place of every copy.
    QString repairFile;
    if (ArchiveCleaner::isDoubleZip(listing.names)) {
        report.doubleFound();
        m_observer.doubleZipFound(archive);
        const RepairResult extracted = extractDescription(zip, m_setup.workFolder, archive, &repairFile);
        if (m_observer.gone())
            return CleanOutcome::Abort;
        if (!extracted.repaired && !extracted.why.isEmpty())
            unrepaired(extracted.why);
        // The description is sound, so the rewrite that a dry run leaves out is what a run would do.
        if (extracted.repaired && m_setup.dryRun)
            ++m_counts.doubles;
    }

    // C. Purge pass. Which lines go is decided first, against the archive as the repair and the deletions
    //    before each line leave it; the repair and every deletion are then one rewrite, made where the first of
    //    them is due, and the observer sees the lines leaving. The front-end breathes after every removal and
    //    otherwise when kPumpIntervalMs passed since it last did (the run lets it after each archive): a breath
    //    after each of thousands of unchanged lines, or at the first line of each of thousands of small
    //    archives, costs more than the archive's whole test, and a window still answers within a frame.
    // The lines as the listing shows them: lower case, in the listing's order.
    QStringList lines;
    lines.reserve(listing.names.size());
    for (const QString& name : listing.names)
        lines << name.toLower();
    lines = sortedLines(lines);
    const int n = int(lines.size());
    const CleanPlan plan = ArchiveCleaner::plan(lines, listing.names, repairFile, r.purgeRow);
    listing.names.clear(); // the plan holds what the pass needs; a large archive's names need not wait

    bool rewritten = false;
    qint16 rewriteResult = ZipSuccess;
    auto rewriteOnce = [&] {
        rewritten = true;
        if (m_setup.dryRun)
            return;
        qint16 addBack = ZipSuccess;
        ArchiveStamp produced;
        QByteArray producedHash;
        rewriteResult = cleaner.rewrite(plan, &addBack, &listing.stamp, &produced, &producedHash);
        if (produced.valid()) // the entries were copied from the tested ones: their test time stays
            r.told = {false, produced, producedHash, r.told.testedNs};
        if (rewriteResult == ZipArchiveChanged)
            return; // nothing was changed; the archive is judged anew
        if (!plan.masks.isEmpty())
            report.noteCode(rewriteResult);
        if (plan.repairFile.isEmpty() || m_observer.gone() || addBack == ZipAborted || ZipComponent::isDamage(addBack))
            return;
        if (addBack == ZipSuccess)
            ++m_counts.doubles;
        else
            unrepaired(addBackFailure(addBack));
    };
    // The file was replaced after its listing: the plan was made for another archive, so this one is listed,
    // tested and planned from the start, under the same name.
    auto judgeAnew = [&] {
        if (r.judgingAnew >= kMaxJudgedAnew) {
            notCleaned(QStringLiteral("not cleaned"), whyNot(ZipArchiveChanged));
            return CleanOutcome::Finished;
        }
        ++r.judgingAnew;
        const CleanOutcome outcome = cleanArchive(i, archive);
        --r.judgingAnew;
        return outcome;
    };
    if (!repairFile.isEmpty()) {
        rewriteOnce();
        if (m_observer.gone() || rewriteResult == ZipAborted)
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
                notCleaned(QStringLiteral("not purged"),
                           QStringLiteral("%1 stays: the purge row \"%2\" would delete other entries too")
                               .arg(lines[line], plan.refusals[refusal].row));
        const bool goes = plan.removes(line);
        if (goes) {
            m_observer.lineGoing(k);
            if (!rewritten)
                rewriteOnce();
            if (m_observer.gone())
                return CleanOutcome::Abort;
            if (rewriteResult == ZipArchiveChanged)
                return judgeAnew();
            if (ZipComponent::isDamage(rewriteResult)) {
                // E. Damaged archive found by the rewrite: the file changed after its listing.
                quarantine();
                return CleanOutcome::DamagedDuringPurge;
            }
            m_observer.lineRewritten();
            if (rewriteResult == ZipAborted)
                return CleanOutcome::Abort;
            if (rewriteResult != ZipSuccess) {
                // The deletions are one rewrite: every line it was to remove stays, and each is named.
                QStringList staying;
                for (const CleanPlan::Removal& removal : plan.removals)
                    staying << lines[removal.line];
                notCleaned(QStringLiteral("not purged"),
                           staying.join(QStringLiteral(", ")) +
                               (staying.size() == 1 ? QStringLiteral(" stays: ") : QStringLiteral(" stay: ")) +
                               whyNot(rewriteResult));
                return CleanOutcome::Finished;
            }
            report.entryPurged(lines[line]);
            m_observer.lineGone(k);
            ++removed;
        }
        const qint64 sinceBreath =
            m_observer.msSinceBreath() >= 0 ? m_observer.msSinceBreath() : r.sinceBreath.elapsed();
        if (goes || ((line & 63) == 0 && sinceBreath >= kPumpIntervalMs)) { // the clock, every 64 lines
            m_observer.lineLooked(k, goes);
            m_observer.breathe();
            r.sinceBreath.start();
            if (m_observer.gone())
                return CleanOutcome::Abort;
            m_observer.lineLookedDone(k);
        }
        if (m_observer.abortAsked())
            return CleanOutcome::Abort;
    }
    return CleanOutcome::Finished;
}
