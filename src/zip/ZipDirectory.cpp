// The reader's directory half: finding the archive's end record in the file's tail and parsing the
// central directory it names.

#include "ZipFormat.h"
#include "ZipRecords.h"
#include "ZipResult.h"

#include <algorithm>
#include <cstdint>
#include <libdeflate.h>

namespace zipformat {
namespace {

// A central directory larger than this is refused rather than loaded (millions of entries).
constexpr quint64 kMaxCentralDirectory = quint64(512) * 1024 * 1024;
// End records tried at most: a hostile comment full of signatures costs no more than this many reads.
constexpr size_t kMaxEndCandidates = 32;

QString decodeName(const QByteArray& raw, quint16 flags, const char* extra, int extraLen)
{
    if (flags & 0x0800)
        return QString::fromUtf8(raw);
    QString unicode;
    // Info-ZIP's Unicode path field: valid only while its CRC matches the stored name.
    forEachExtra(extra, extraLen, [&](quint16 id, const char* data, int size) {
        if (id != 0x7075 || size < 5 || data[0] != 1)
            return true;
        const quint32 crc = libdeflate_crc32(0, raw.constData(), size_t(raw.size()));
        if (get32(data + 1) == crc)
            unicode = QString::fromUtf8(data + 5, size - 5);
        return false;
    });
    return unicode.isNull() ? cp437ToUnicode(raw) : unicode;
}

} // namespace

namespace {

// One end record found in the file's tail, with its zip64 record when it has one.
struct EndRecord
{
    qint64 pos = 0;
    quint16 commentLen = 0;
    quint32 disk = 0;
    quint32 cdDisk = 0;
    quint64 countHere = 0;
    quint64 count = 0;
    quint64 cdSize = 0;
    quint64 cdOffset = 0; // as stored
    quint64 cdLimit = 0;  // where the central directory must end: the zip64 end record or the end record
    bool zip64 = false;
};

// Reads the zip64 end record named by the locator in front of an end record. The locator's offset may
// count from the start of ZIP data behind a prefix, so a record that is not where it says is looked for
// where it must be when it has no extensible data: right before the locator.
bool readZip64End(FileReader& reader, EndRecord& end)
{
    char loc[20];
    if (end.pos < 20 + 56 || !reader.read(end.pos - 20, loc, 20) || get32(loc) != kZip64LocatorSig)
        return true; // no zip64 records: fine
    const quint64 locatorPos = quint64(end.pos - 20);
    char rec[56];
    quint64 recPos = get64(loc + 8);
    if (recPos > locatorPos || locatorPos - recPos < 56 || !reader.read(qint64(recPos), rec, 56) ||
        get32(rec) != kZip64EndSig) {
        recPos = locatorPos - 56;
        if (!reader.read(qint64(recPos), rec, 56) || get32(rec) != kZip64EndSig || get64(rec + 4) != 44)
            return false;
    }
    end.zip64 = true;
    end.disk = get32(rec + 16);
    end.cdDisk = get32(rec + 20);
    end.countHere = get64(rec + 24);
    end.count = get64(rec + 32);
    end.cdSize = get64(rec + 40);
    end.cdOffset = get64(rec + 48);
    end.cdLimit = recPos;
    return true;
}

// Parses the central directory of an end record, its stored offsets shifted by shift. Fills archive on
// success; returns a ZipResult code.
int parseCentralDirectory(FileReader& reader, const EndRecord& end, quint64 shift, Archive& archive)
{
    const quint64 cdStart = end.cdOffset + shift;
    const quint64 cdSize = end.cdSize;
    if (cdSize > kMaxCentralDirectory)
        return ZipOtherError;
    archive.centralDirectoryOffset = cdStart;
    archive.centralDirectorySize = cdSize;
    archive.shift = shift;
    archive.disk = end.disk;
    archive.centralDirectory.resize(qsizetype(cdSize));
    if (!reader.read(qint64(cdStart), archive.centralDirectory.data(), qint64(cdSize)))
        return ZipCannotRead;

    const QByteArray& cd = archive.centralDirectory;
    archive.entries.clear();
    archive.entries.reserve(size_t(std::min<quint64>(end.count, cdSize / 46)));
    quint64 prefixEnd = cdStart;
    qint64 pos = 0;
    while (pos < qint64(cdSize)) {
        if (qint64(cdSize) - pos < 46 || get32(cd.constData() + pos) != kCentralSig)
            return ZipStructureDamaged;
        const char* r = cd.constData() + pos;
        const int nameLen = get16(r + 28);
        const int extraLen = get16(r + 30);
        const int commentLen = get16(r + 32);
        const qint64 len = 46 + qint64(nameLen) + extraLen + commentLen;
        if (len > qint64(cdSize) - pos)
            return ZipStructureDamaged;
        // An entry that starts on another disk belongs to an archive split over several files.
        const quint32 startDisk = get16(r + 34);
        if (startDisk != 0 && startDisk != end.disk)
            return ZipMultiPart;
        Entry e;
        e.recordPos = pos;
        e.recordLen = int(len);
        e.versionMadeBy = get16(r + 4);
        e.flags = get16(r + 8);
        e.method = get16(r + 10);
        e.crc = get32(r + 16);
        e.compressedSize = get32(r + 20);
        e.size = get32(r + 24);
        quint64 offset = get32(r + 42);
        const bool needSize = e.size == kMax32;
        const bool needComp = e.compressedSize == kMax32;
        const bool needOffset = offset == kMax32;
        const char* extra = r + 46 + nameLen;
        if (needSize || needComp || needOffset) {
            // Without a zip64 field, all-ones values are literal: an entry of 4 GiB - 1 bytes is valid.
            bool complete = true;
            forEachExtra(extra, extraLen, [&](quint16 id, const char* data, int size) {
                if (id != 0x0001)
                    return true;
                int at = 0;
                auto take = [&](quint64& v) {
                    if (at + 8 > size)
                        return false;
                    v = get64(data + at);
                    at += 8;
                    return true;
                };
                complete = (!needSize || take(e.size)) && (!needComp || take(e.compressedSize));
                if (complete && needOffset) {
                    e.zip64OffsetAt = int(data - r) + at;
                    complete = take(offset);
                }
                e.zip64 = true;
                return false;
            });
            if (!complete)
                return ZipStructureDamaged;
        }
        if (offset > cdStart || shift > cdStart - offset)
            return ZipStructureDamaged;
        e.localOffset = offset + shift;
        if (e.localOffset >= cdStart || cdStart - e.localOffset < 30)
            return ZipStructureDamaged;
        prefixEnd = std::min(prefixEnd, e.localOffset);
        e.rawName = QByteArray(r + 46, nameLen);
        e.name = decodeName(e.rawName, e.flags, extra, extraLen);
        archive.entries.push_back(std::move(e));
        pos += len;
    }
    const quint64 found = archive.entries.size();
    // Writers without zip64 support store the count modulo 65536, or 0xffff once it overflows; the
    // records themselves decide.
    if (found != end.count &&
        (end.zip64 || ((found & 0xffff) != end.count && !(end.count == kMax16 && found > kMax16))))
        return ZipStructureDamaged;
    archive.prefixEnd = prefixEnd;
    return ZipSuccess;
}

// True when the first count entries' local headers lie where the central directory (with its shift) says.
bool headersFit(FileReader& reader, const Archive& archive, size_t count)
{
    for (size_t i = 0; i < std::min(count, archive.entries.size()); ++i) {
        const Entry& e = archive.entries[i];
        char h[30];
        if (!reader.read(qint64(e.localOffset), h, 30) || get32(h) != kLocalSig || get16(h + 26) != e.rawName.size())
            return false;
    }
    return true;
}

} // namespace

int readCentralDirectory(FileReader& reader, Archive& archive)
{
    const qint64 fileSize = reader.size();
    archive.fileSize = fileSize;
    if (fileSize < 22)
        return ZipStructureDamaged;
    const qint64 tailLen = std::min<qint64>(fileSize, 22 + 65535 + 20);
    const qint64 tailStart = fileSize - tailLen;
    QByteArray tail(tailLen, Qt::Uninitialized);
    if (!reader.read(tailStart, tail.data(), tailLen))
        return ZipCannotRead;

    // Every end record in the tail, the last one first.
    std::vector<EndRecord> ends;
    for (qint64 i = tailLen - 22; i >= 0 && ends.size() < kMaxEndCandidates; --i) {
        const char* p = tail.constData() + i;
        if (get32(p) != kEndSig)
            continue;
        EndRecord end;
        end.pos = tailStart + i;
        end.commentLen = get16(p + 20);
        if (end.pos + 22 + end.commentLen > fileSize)
            continue;
        end.disk = get16(p + 4);
        end.cdDisk = get16(p + 6);
        end.countHere = get16(p + 8);
        end.count = get16(p + 10);
        end.cdSize = get32(p + 12);
        end.cdOffset = get32(p + 16);
        end.cdLimit = quint64(end.pos);
        if (!readZip64End(reader, end) || end.cdSize > end.cdLimit)
            continue;
        ends.push_back(end);
    }

    int failure = ZipStructureDamaged;
    // First the offsets as stored, then offsets that count from ZIP data behind a prefix.
    for (const bool shifted : {false, true}) {
        for (const EndRecord& end : ends) {
            const quint64 actualStart = end.cdLimit - end.cdSize;
            quint64 shift = 0;
            if (!shifted) {
                if (end.cdOffset > actualStart)
                    continue;
            } else {
                if (end.cdOffset >= actualStart)
                    continue;
                shift = actualStart - end.cdOffset;
            }
            // A central directory on another disk, or entries on others: one part of a split archive. An
            // archive that is one file whatever its disk number says is read as the file it is.
            if (end.cdDisk != end.disk || end.countHere != end.count) {
                failure = ZipMultiPart;
                continue;
            }
            Archive candidate;
            candidate.fileSize = fileSize;
            candidate.comment = tail.mid(end.pos - tailStart + 22, end.commentLen);
            const int rc = parseCentralDirectory(reader, end, shift, candidate);
            // An empty directory must lie right before its end record: a comment's stray end record
            // claiming "no entries at offset 0" must not hide the archive's entries.
            // A shift is taken only when the first local header is where it then must be; every other
            // one is checked with the entries.
            const bool fits = candidate.entries.empty() ? end.cdOffset + shift == actualStart
                                                        : shift == 0 || headersFit(reader, candidate, 1);
            // A disk number other than 0 is believed to mean one file only when every entry is here.
            if (rc == ZipSuccess && fits && end.disk != 0 && !headersFit(reader, candidate, SIZE_MAX)) {
                failure = ZipMultiPart;
                continue;
            }
            if (rc == ZipSuccess && fits) {
                archive = std::move(candidate);
                return ZipSuccess;
            }
            if (rc != ZipStructureDamaged && failure == ZipStructureDamaged)
                failure = rc;
        }
    }
    return failure;
}

} // namespace zipformat
