// Salvage, writing: the entries that came back, copied byte for byte into a new archive with a central
// directory of the archive's own records where they agree and records rebuilt from local headers elsewhere.

#include "zip/Salvage.h"

#include "zip/SalvagePlan.h"
#include "zip/ZipComponent.h"
#include "zip/ZipJob.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace zipformat;

namespace zipsalvage {
namespace {

constexpr quint32 kMax32 = 0xffffffffu;

// The local extra field as a central one: no zip64 field (rebuilt for the new values), the extended
// timestamp cut to its modification time, and the old Unix field (user and group only locally) left out.
QByteArray centralExtra(const QByteArray& local)
{
    QByteArray out;
    for (int at = 0; at + 4 <= local.size();) {
        const quint16 id = get16(local.constData() + at);
        const int len = get16(local.constData() + at + 2);
        if (at + 4 + len > local.size())
            break; // a malformed tail is dropped: readers of the new directory must be able to walk it
        const char* d = local.constData() + at + 4;
        if (id == 0x5455 && len >= 5 && (d[0] & 1)) {
            put16(out, id);
            put16(out, 5);
            out.append(d, 5);
        } else if (id != 0x0001 && id != 0x5455 && id != 0x5855) {
            out.append(local.constData() + at, 4 + len);
        }
        at += 4 + len;
    }
    return out;
}

// A central record made from what the local header and the proof found.
QByteArray rebuiltRecord(const Found& f, quint64 offset)
{
    CentralRecordFields r;
    r.versionNeeded = f.versionNeeded;
    const bool zip64 = f.size >= kMax32 || f.compressedSize >= kMax32 || offset >= kMax32;
    // Made by MS-DOS, whose attributes are all a local header implies, at the version the record needs.
    r.versionMadeBy = quint16((zip64 ? std::max<quint16>(f.versionNeeded, 45) : f.versionNeeded) & 0xff);
    r.flags = f.flags;
    r.method = f.method;
    r.dosTime = f.dosTime;
    r.crc = f.crc;
    r.compressedSize = f.compressedSize;
    r.size = f.size;
    r.externalAttributes = f.rawName.endsWith('/') || f.rawName.endsWith('\\') ? 0x10 : 0;
    r.offset = offset;
    r.name = f.rawName;
    r.extra = centralExtra(f.localExtra);
    // Only a hostile local header leaves no room for the zip64 block: a readable record beats its other blocks.
    if (r.extra.size() + 4 + 3 * 8 > 0xffff)
        r.extra.clear();
    return writeCentralRecord(r);
}

// True when a reader that checks local headers against the directory (ours does) accepts the entry's local
// header under the record it gets: a local header damaged in a field the proof does not read (a size where
// a data descriptor holds the real one) cannot travel byte for byte under any record.
bool headerFits(FileReader& reader, const Plan& plan, const Found& f)
{
    Entry e;
    if (f.record >= 0) {
        e = plan.records.entries[size_t(f.record)];
    } else {
        e.flags = f.flags;
        e.method = f.method;
        e.crc = f.crc;
        e.compressedSize = f.compressedSize;
        e.size = f.size;
        e.rawName = f.rawName;
        e.zip64 = f.size >= kMax32 || f.compressedSize >= kMax32;
    }
    e.localOffset = f.localOffset;
    Archive bounds;
    bounds.centralDirectoryOffset = quint64(reader.size());
    return checkLocalHeader(reader, bounds, e) == ZipSuccess;
}

// Gives each entry a record its local header fits (its own, or one rebuilt from the header); an entry that
// fits none is lost.
void fitRecords(FileReader& reader, Plan& plan)
{
    std::vector<Found> kept;
    for (Found& f : plan.entries) {
        if (f.record >= 0 && !headerFits(reader, plan, f))
            f.record = -1;
        if (f.record >= 0 || headerFits(reader, plan, f))
            kept.push_back(std::move(f));
        else
            plan.lost << f.name;
    }
    plan.entries = std::move(kept);
}

QByteArray recordFor(const Plan& plan, const Found& f, quint64 offset)
{
    if (f.record < 0)
        return rebuiltRecord(f, offset);
    QByteArray r = centralRecord(plan.records, plan.records.entries[size_t(f.record)], offset);
    // The new archive is one file on disk 0, whatever the old record said.
    r[34] = 0;
    r[35] = 0;
    return r;
}

// The new central directory and end records for entries laid out one after the other from offset 0.
QByteArray directoryFor(const Plan& plan, quint64* entriesSize)
{
    QByteArray central;
    quint64 at = 0;
    for (const Found& f : plan.entries) {
        central.append(recordFor(plan, f, at));
        at += f.endOffset - f.localOffset;
    }
    *entriesSize = at;
    return central + endRecords(plan.entries.size(), at, quint64(central.size()), plan.comment);
}

// The engine's own listing and data test on the written file: every entry must list and test good.
bool passesOwnTest(const QString& path, size_t expected)
{
    ZipComponent zip;
    zip.ArchivePath = path;
    zip.EntryMask = QStringLiteral("*");
    zip.TestData = true;
    size_t listed = 0;
    QObject::connect(&zip, &ZipComponent::Listing, &zip, [&listed](const QString&) { ++listed; });
    return zip.ListContents() == ZipSuccess && listed == expected;
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

Status write(FileReader& reader, const Plan& plan, const QByteArray& directory, const QString& target)
{
    const QFileInfo info(target);
    zipjob::TempFile temp(info.absolutePath(), info.fileName());
    if (!temp.isOpen())
        return Status::CannotWrite;
    // The copy belongs to whoever the damaged archive belongs to, where this user may give it away; a copy
    // that stays this user's is no wider for it, its mode being the archive's.
    temp.keepOwnerAndAttributes(reader.file().handle());
    QByteArray buf;
    for (const Found& f : plan.entries) {
        for (quint64 from = f.localOffset; from < f.endOffset;) {
            const qint64 n = qint64(std::min<quint64>(f.endOffset - from, quint64(zipjob::kChunk)));
            buf.resize(n);
            if (!reader.read(qint64(from), buf.data(), n))
                return Status::CannotRead;
            if (!temp.write(buf.constData(), n))
                return Status::CannotWrite;
            from += quint64(n);
        }
    }
    if (!temp.write(directory.constData(), directory.size()) || !temp.file().flush())
        return Status::CannotWrite;
#ifdef Q_OS_UNIX
    // On disk before it is named: a crash after the rename must not leave a salvaged copy of holes.
    if (::fsync(temp.file().handle()) != 0)
        return Status::CannotWrite;
#endif
    if (!passesOwnTest(temp.file().fileName(), plan.entries.size()))
        return Status::FailedCheck;
    // Never over an existing file, not even one that appeared while the copy was written; readable by no one
    // the damaged archive was kept from.
    switch (temp.nameNew(target, damagedMode(reader))) {
    case zipjob::TempFile::Named::Done:
        return Status::Written;
    case zipjob::TempFile::Named::Exists:
        return Status::TargetExists;
    case zipjob::TempFile::Named::Failed:
        break;
    }
    return Status::CannotWrite;
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

Report salvage(const QString& source, const QString& target, bool dryRun)
{
    Report report;
    FileReader reader;
    if (!QFileInfo(source).isFile() || !reader.open(source)) {
        report.status = Status::CannotRead;
        return report;
    }
    Plan plan;
    findEntries(reader, plan);
    fitRecords(reader, plan);
    report.fromDirectory = plan.fromDirectory;
    report.lost = plan.lost;
    for (const Found& f : plan.entries) {
        report.recovered << f.name;
        if (!f.proven)
            report.unproven << f.name;
        report.bytesRecovered += qint64(f.size);
    }
    if (plan.entries.empty()) {
        report.status = Status::NothingRecoverable;
        return report;
    }
    quint64 entriesSize = 0;
    QByteArray directory = directoryFor(plan, &entriesSize);
    report.bytesWritten = qint64(entriesSize) + directory.size();
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        report.status = Status::TargetExists;
    else if (dryRun)
        report.status = Status::WouldWrite;
    else
        report.status = write(reader, plan, directory, target);
    // A record of the archive's own can agree in what was compared and still hold a damaged field that
    // contradicts its local header: then every record is rebuilt from the local headers, once.
    bool ownRecords = false;
    for (const Found& f : plan.entries)
        ownRecords |= f.record >= 0;
    if (report.status == Status::FailedCheck && ownRecords) {
        for (Found& f : plan.entries)
            f.record = -1;
        directory = directoryFor(plan, &entriesSize);
        report.bytesWritten = qint64(entriesSize) + directory.size();
        report.status = write(reader, plan, directory, target);
    }
    if (report.status != Status::Written && report.status != Status::WouldWrite)
        report.bytesWritten = 0;
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
    }
    return "";
}

} // namespace zipsalvage
