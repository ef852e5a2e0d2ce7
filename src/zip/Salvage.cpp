// Salvage, writing: the entries that came back into a new archive, proven ones under headers written anew
// from proven values, unproven ones byte for byte, with a central directory made from the same values.

#include "zip/Salvage.h"

#include "zip/SalvagePlan.h"
#include "zip/ZipComponent.h"
#include "zip/ZipJob.h"

#include <QFileInfo>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace zipformat;

namespace zipsalvage {
namespace {

// Entries whose final test fails are found one by one, up to this many entries; beyond, the copy goes.
constexpr size_t kMaxEntriesRetested = 4096;

QByteArray centralRecordFor(const Found& f, quint64 offset)
{
    CentralRecordFields r;
    const HeaderFields& h = f.fields;
    r.versionNeeded = h.versionNeeded;
    // Without a record of its own: made by MS-DOS, whose attributes are all a local header implies.
    r.versionMadeBy = h.versionMadeBy ? h.versionMadeBy : quint16(h.versionNeeded & 0xff);
    r.flags = h.flags;
    r.method = h.method;
    r.dosTime = h.dosTime;
    r.crc = h.crc;
    r.compressedSize = h.compressedSize;
    r.size = h.size;
    r.internalAttributes = h.internalAttributes;
    r.externalAttributes = h.externalAttributes;
    r.offset = offset;
    r.name = f.rawName;
    r.extra = f.centralExtra;
    r.comment = f.comment;
    return writeCentralRecord(r);
}

// The new central directory and end records for entries laid out one after the other from offset 0.
QByteArray directoryFor(const Plan& plan, quint64* entriesSize)
{
    QByteArray central;
    quint64 at = 0;
    for (const Found& f : plan.entries) {
        central.append(centralRecordFor(f, at));
        at += f.writtenSize();
    }
    *entriesSize = at;
    return central + endRecords(plan.entries.size(), at, quint64(central.size()), plan.comment);
}

// The engine's own listing and data test on the written file, of the entries mask takes: a ZipResult code,
// or ZipOtherError when fewer than expected are listed.
int ownTest(const QString& path, const QString& mask, size_t expected, Poll& poll)
{
    ZipComponent zip;
    zip.ArchivePath = path;
    zip.EntryMask = mask;
    zip.TestData = true;
    zip.setProgressHook([&zip, &poll] {
        if (poll.stop())
            zip.Abort = true;
    });
    size_t listed = 0;
    QObject::connect(&zip, &ZipComponent::Listing, &zip, [&listed](const QString&) { ++listed; });
    const int rc = zip.ListContents();
    if (poll.stopped())
        return ZipAborted;
    return rc == ZipSuccess && listed < expected ? int(ZipOtherError) : rc;
}

// The mode of a salvaged copy: the damaged archive's read and write bits, never more.
quint32 damagedMode(FileReader& reader)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::fstat(reader.file().handle(), &st) == 0)
        return quint32(st.st_mode) & 0666;
    return 0600;
#else
    return zipjob::unixMode(reader.file().permissions()) & 0666;
#endif
}

Status writeCopy(FileReader& reader, const Plan& plan, zipjob::TempFile& temp)
{
    QByteArray buf;
    quint64 entriesSize = 0;
    const QByteArray directory = directoryFor(plan, &entriesSize);
    for (const Found& f : plan.entries) {
        const QByteArray header = f.newLocalHeader();
        if (!temp.write(header.constData(), header.size()))
            return Status::CannotWrite;
        // A proven entry's data alone; an unproven one's header, data and descriptor as they were.
        const quint64 from = f.proven ? f.dataOffset : f.localOffset;
        const quint64 to = f.proven ? f.dataOffset + f.fields.compressedSize : f.endOffset;
        for (quint64 at = from; at < to;) {
            const qint64 n = qint64(std::min<quint64>(to - at, quint64(zipjob::kChunk)));
            buf.resize(n);
            if (!reader.read(qint64(at), buf.data(), n))
                return Status::CannotRead;
            if (!temp.write(buf.constData(), n))
                return Status::CannotWrite;
            at += quint64(n);
        }
    }
    if (!temp.write(directory.constData(), directory.size()) || !temp.file().flush())
        return Status::CannotWrite;
#ifdef Q_OS_UNIX
    // On disk before it is named: a crash after the rename must not leave a salvaged copy of holes.
    if (::fsync(temp.file().handle()) != 0)
        return Status::CannotWrite;
#endif
    return Status::Written;
}

// Writes the copy and tests it. An entry that fails the test is left out (into lost) and the copy written
// again without it, once.
Status write(FileReader& reader, Plan& plan, const QString& target, Poll& poll, FileReader& damaged)
{
    const QFileInfo info(target);
    for (int round = 0; round < 2; ++round) {
        zipjob::TempFile temp(info.absolutePath(), info.fileName());
        if (!temp.isOpen())
            return Status::CannotWrite;
        // The copy belongs to whoever the damaged archive belongs to, where this user may give it away; a copy
        // that stays this user's is no wider for it, its mode being the archive's.
        temp.keepOwnerAndAttributes(damaged.file().handle());
        const Status written = writeCopy(reader, plan, temp);
        if (written != Status::Written)
            return written;
        const QString path = temp.path();
        const int rc = ownTest(path, QStringLiteral("*"), plan.entries.size(), poll);
        if (rc == ZipAborted)
            return Status::Aborted;
        if (rc == ZipSuccess) {
            // Never over an existing file, not even one that appeared while the copy was written; readable by no
            // one the damaged archive was kept from.
            switch (temp.nameNew(target, damagedMode(damaged))) {
            case zipjob::TempFile::Named::Done:
                return Status::Written;
            case zipjob::TempFile::Named::Exists:
                return Status::TargetExists;
            case zipjob::TempFile::Named::Failed:
                break;
            }
            return Status::CannotWrite;
        }
        if (round > 0 || plan.entries.size() > kMaxEntriesRetested)
            break;
        std::vector<Found> kept;
        for (Found& f : plan.entries) {
            // A name's mask may take other entries of the copy too: all of them must test good.
            const int one = ownTest(path, f.name.toLower(), 1, poll);
            if (one == ZipAborted)
                return Status::Aborted;
            if (one == ZipSuccess)
                kept.push_back(std::move(f));
            else
                plan.addLost(f.name);
        }
        if (kept.empty() || kept.size() == plan.entries.size())
            break;
        plan.entries = std::move(kept);
    }
    return Status::FailedCheck;
}

} // namespace

QString salvagedPath(const QString& damagedPath)
{
    QString base = damagedPath;
    if (base.endsWith(QLatin1String(".bad"), Qt::CaseInsensitive))
        base.chop(4);
    if (base.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        base.chop(4);
    return base + QStringLiteral(".salvaged.zip");
}

Report salvage(const QString& source, const QString& target, bool dryRun, const Control& control)
{
    Report report;
    Poll poll(control);
    FileReader reader;
    if (!diskname::isFile(source) || !reader.open(source)) {
        report.status = Status::CannotRead;
        return report;
    }
    Plan plan;
    FileReader* from = &reader;
    // A file moved in text mode is read again as it was before; the reading that proves more wins. The
    // restored copy is a temporary file beside the target, gone when salvage ends.
    const QFileInfo info(target);
    std::optional<zipjob::TempFile> restored;
    FileReader restoredReader;
    if (findEntries(reader, plan, poll) && looksTextModeMangled(reader, poll)) {
        restored.emplace(info.absolutePath(), info.fileName(), zipjob::TempFile::Rewrite);
        Plan undone;
        if (restored->isOpen() && undoTextMode(reader, restored->file(), poll) &&
            restoredReader.open(restored->path()) && findEntries(restoredReader, undone, poll) &&
            undone.provenCount() > plan.provenCount()) {
            plan = std::move(undone);
            plan.textModeUndone = true;
            from = &restoredReader;
        }
    }
    if (poll.stopped()) {
        report.status = Status::Aborted;
        return report;
    }
    if (plan.entries.empty()) {
        report.status = Status::NothingRecoverable;
    } else if (diskname::exists(target)) {
        report.status = Status::TargetExists;
    } else if (dryRun) {
        report.status = Status::WouldWrite;
    } else {
        report.status = write(*from, plan, target, poll, reader);
        if (report.status == Status::FailedCheck)
            plan.entries.clear();
    }
    report.fromDirectory = plan.fromDirectory;
    report.lost = plan.lost;
    report.lostLeftOut = plan.lostLeftOut;
    for (const Found& f : plan.entries) {
        report.recovered << f.name;
        if (!f.proven)
            report.unproven << f.name;
        report.bytesRecovered += qint64(f.fields.size);
    }
    quint64 entriesSize = 0;
    if (report.status == Status::Written || report.status == Status::WouldWrite) {
        const qint64 directorySize = directoryFor(plan, &entriesSize).size();
        report.bytesWritten = qint64(entriesSize) + directorySize;
    }
    return report;
}

const char* statusText(Status status)
{
    switch (status) {
    case Status::Written:
        return "written";
    case Status::WouldWrite:
        return "would be written";
    case Status::NothingRecoverable:
        return "nothing recoverable";
    case Status::TargetExists:
        return "a salvaged copy exists already";
    case Status::CannotRead:
        return "cannot read the damaged archive";
    case Status::CannotWrite:
        return "cannot write the salvaged copy";
    case Status::FailedCheck:
        return "the salvaged copy failed its test and was discarded";
    case Status::Aborted:
        return "aborted";
    }
    return "";
}

} // namespace zipsalvage
