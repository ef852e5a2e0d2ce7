// The reader's directory half: finding the archive's end record in the file's tail and parsing the
// central directory it names.
//
// Which end record is the archive's, and what its directory is, is decided by one rule, applied in this
// order to each end record found (judge() below follows it step by step). The first step that settles a
// candidate settles it. The aim: accept what a reader that starts from the end record and checks every
// local header accepts, call damage what it refuses, and never answer success without a directory that
// was found and fits. The archive of a file is the one every reader takes: the one whose end record ends
// the file.
//
// step | what is looked at                                                | verdict when it fails
// -----+------------------------------------------------------------------+-------------------------
//    1 | the file holds at least an end record (22 bytes)                 | 110
//    2 | candidates: every end-record signature in the last 64 KiB + 42   | no candidate: 110
//      | bytes, at most 32; one whose comment runs past the file's end is |
//      | none. Those that end the file (with their comment) are judged    |
//      | first; one followed by other bytes only after them (the order    |
//      | below the table)                                                 |
//    3 | a zip64 locator in front of it names a zip64 end record, found   | 110
//      | where it says or right before the locator                        |
//    4 | numbers a split set can have: entries on this disk no more than  | 110
//      | the total; on a disk above 0, the directory on no later disk     |
//    5 | disk numbers before offsets: an end record on a disk above 0     | 7 (a split part: never
//      | whose directory starts on an earlier disk is a split part unless | damage, never rewritten)
//      | the directory is found here and every entry's local header is    |
//      | here (steps 6-11 all hold); an end record on disk 0 is one file, |
//      | whatever the other disk fields say                               |
//    6 | where the directory lies: it ends where the zip64 end record (or | 110
//      | the end record) begins. Its stored offset either points there    |
//      | (the offsets count from the start of the file: "as stored") or   |
//      | lies below it (they count from ZIP data behind a prefix:         |
//      | "shifted")                                                       |
//    7 | a shift only when the directory holds entries to confirm it      | 110
//    8 | the directory parses: every record has its signature and lies    | 110 (6 over 512 MiB, 3
//      | inside it, zip64 fields hold the values the record defers to     | when unreadable)
//      | them, the records found are the end record's total (a total      |
//      | modulo 65536, or 0xffff once it overflowed, is the writer's)     |
//    9 | on a disk above 0: no entry starts on a later disk; an entry on  | 110; 7
//      | an earlier one is a split part's unless its local header is here |
//   10 | each entry's local header and data lie before the directory, and | 110
//      | its size is one a file can have                                  |
//   11 | shifted: the first local header is where the shift puts it, and  | 110
//      | the ZIP data with its end record does not lie inside the data of |
//      | an entry whose local header is in front of it (an archive stored |
//      | inside a truncated one; a concatenation, a stub or a stray local |
//      | header in front is no such entry)                                |
//   12 | accepted: the candidate is the archive; each local header is     | 110, 410 (checkLocalHeader)
//      | then checked against its record (checkLocalHeader)               |
//   13 | no two entries' bytes (local header, data, data descriptor)      | 110 (checkEntryRanges)
//      | overlap: overlapping entries test and copy the same bytes again  |
//      | for each entry, which a few bytes can make terabytes of          |
//
// Candidates are judged in three passes, the last one first within each: those that end the file whose
// offsets count as stored, then those that end the file and are shifted, so that an archive held in a
// comment never wins over the archive around it; then those followed by bytes that are not their comment,
// whatever their offsets, as readers take the last one. So the second of two archives written one after
// the other is the file's archive, the first its prefix. The first accepted one wins. Without one, the
// strongest failure seen is the answer: cannot read (3) over a size limit (6) over damage (110) over a
// split part (7): a failure is never replaced by a weaker one, and success comes only with an accepted
// candidate. Bytes in front of the accepted archive and behind its end record are not its own; a rewrite
// keeps them byte for byte.

#include "ZipFormat.h"
#include "ZipRecords.h"
#include "ZipResult.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <libdeflate.h>
#include <limits>

namespace zipformat {
namespace {

// A central directory larger than this is refused rather than loaded (millions of entries).
constexpr quint64 kMaxCentralDirectory = quint64(512) * 1024 * 1024;
// End records tried at most: a hostile comment full of signatures costs no more than this many reads.
constexpr size_t kMaxEndCandidates = 32;
// The largest size a file can have: a size beyond it is no size at all.
constexpr quint64 kMaxFileSize = quint64(std::numeric_limits<qint64>::max());

// How strong a failure is (the rule's last line); success and unknown codes are weakest.
int strength(int rc)
{
    switch (rc) {
    case ZipMultiPart:
        return 1;
    case ZipStructureDamaged:
        return 2;
    case ZipOtherError:
        return 3;
    case ZipCannotRead:
        return 4;
    default:
        return 0;
    }
}

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
    bool zip64Missing = false; // a locator names a zip64 end record that is not there (step 3)
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

// True when the records found match a count of the end record (step 8).
bool countMatches(const EndRecord& end, quint64 found, quint64 count)
{
    // Writers without zip64 support store the count modulo 65536, or 0xffff once it overflows.
    return found == count || (!end.zip64 && ((found & 0xffff) == count || (count == kMax16 && found > kMax16)));
}

// True when a local header with the entry's name lies where the entry says.
bool headerHere(FileReader& reader, const Entry& e)
{
    char h[30];
    if (!reader.read(qint64(e.localOffset), h, 30) || get32(h) != kLocalSig || get16(h + 26) != e.rawName.size())
        return false;
    QByteArray name(e.rawName.size(), Qt::Uninitialized);
    return reader.read(qint64(e.localOffset) + 30, name.data(), name.size()) && name == e.rawName;
}

// Parses the central directory of an end record, its stored offsets shifted by shift (steps 8 to 10).
// Fills archive, and in elsewhere the entries that may start on an earlier disk; returns a ZipResult code.
int parseCentralDirectory(FileReader& reader, const EndRecord& end, quint64 shift, Archive& archive,
                          std::vector<size_t>& elsewhere)
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
        Entry e;
        e.recordPos = pos;
        e.recordLen = int(len);
        HeaderFields h;
        parseCentralFixed(r, h);
        e.versionMadeBy = h.versionMadeBy;
        e.flags = h.flags;
        e.method = h.method;
        e.crc = h.crc;
        const char* extra = r + 46 + nameLen;
        // Without a zip64 field, all-ones values are literal: an entry of 4 GiB - 1 bytes is valid.
        const bool deferred =
            h.size == kMax32 || h.compressedSize == kMax32 || h.offset == kMax32 || h.startDisk == kMax16;
        int offsetAt = -1;
        const Zip64 zip64 = readZip64(extra, extraLen, true, h, &offsetAt);
        if (zip64 == Zip64::Incomplete)
            return ZipStructureDamaged;
        e.zip64 = deferred && zip64 != Zip64::Absent;
        if (offsetAt >= 0)
            e.zip64OffsetAt = int(extra - r) + offsetAt;
        e.compressedSize = h.compressedSize;
        e.size = h.size;
        const quint64 offset = h.offset;
        const quint64 startDisk = h.startDisk;
        e.rawName = QByteArray(r + 46, nameLen);
        e.name = entryName(e.rawName, e.flags, extra, extraLen);
        // Step 9: disk numbers before offsets. On disk 0 the entry's disk field means nothing.
        if (end.disk > 0 && startDisk > end.disk)
            return ZipStructureDamaged;
        const bool maybeElsewhere = end.disk > 0 && startDisk < end.disk;
        if (offset > kMaxFileSize - shift)
            return maybeElsewhere ? ZipMultiPart : ZipStructureDamaged;
        e.localOffset = offset + shift;
        // Step 10: the local header and the data lie before the directory; a size no file can have is
        // no size. An entry that may lie on an earlier disk is judged by its header below.
        const bool fits = e.localOffset < cdStart && cdStart - e.localOffset >= 30 &&
                          e.compressedSize <= cdStart - e.localOffset - 30 && e.size <= kMaxFileSize;
        if (maybeElsewhere)
            elsewhere.push_back(archive.entries.size());
        else if (!fits)
            return ZipStructureDamaged;
        if (fits)
            prefixEnd = std::min(prefixEnd, e.localOffset);
        archive.entries.push_back(std::move(e));
        pos += len;
    }
    const quint64 found = archive.entries.size();
    if (!countMatches(end, found, end.count))
        return ZipStructureDamaged;
    archive.prefixEnd = prefixEnd;
    return ZipSuccess;
}

// The compressed size a local header gives its data, from its zip64 field when the 32-bit one defers to it
// (the one rule of readZip64); 0 when it gives none (a data descriptor follows the data).
quint64 localCompressedSize(const char* h, const char* extra, int extraLen)
{
    HeaderFields f;
    if (!parseLocalFixed(h, f))
        return 0;
    readZip64(extra, extraLen, false, f);
    return f.compressedSize;
}

// True when the ZIP data starting at start, with its end record ending at end, lies inside the data of an
// entry whose local header is in front of it: an archive stored in another one, whose own end record is
// gone (step 11). The data of an entry of a concatenated archive, of a stub or of a stray local header ends
// before the end record of the archive behind it. Headers are looked for as far back as the largest one
// reaches.
bool insideAnEntry(FileReader& reader, quint64 start, quint64 end)
{
    const quint64 reach = std::min<quint64>(start, 30 + 2 * quint64(kMax16));
    QByteArray before(qsizetype(reach), Qt::Uninitialized);
    if (!reader.read(qint64(start - reach), before.data(), qint64(reach)))
        return false;
    const quint64 base = start - reach;
    for (qsizetype at = before.lastIndexOf("PK\x03\x04"); at >= 0;
         at = at > 0 ? before.lastIndexOf("PK\x03\x04", at - 1) : -1) {
        if (before.size() - at < 30)
            continue;
        const char* h = before.constData() + at;
        const int nameLen = get16(h + 26);
        const int extraLen = get16(h + 28);
        const quint64 dataAt = quint64(at) + 30 + quint64(nameLen) + quint64(extraLen);
        if (dataAt > reach)
            continue; // the header runs past the ZIP data's start: the data cannot hold it
        const quint64 size = localCompressedSize(h, h + 30 + nameLen, extraLen);
        if (size >= end - (base + dataAt))
            return true;
    }
    return false;
}

// Everything the judge of one candidate needs to know about the file.
struct FileFacts
{
    qint64 size = 0;
    QByteArray tail;
    qint64 tailStart = 0;
};

// The passes of the rule's order: which candidates each one judges.
enum class Pass
{
    AsStored, // those whose offsets count from the start of the file
    Shifted,  // those whose offsets count from ZIP data behind a prefix
    Either    // both kinds
};

// Judges one candidate by the rule at the top of this file, steps 3 to 11. Returns -1 when the candidate
// belongs to another pass (as stored or shifted), else a ZipResult code; fills archive on success.
int judge(FileReader& reader, const FileFacts& file, const EndRecord& end, Pass pass, Archive& archive)
{
    // A candidate whose numbers say nothing about its offsets is judged by the first pass that sees it.
    const bool judgedBefore = pass == Pass::Shifted;
    // Steps 3 and 4: numbers that no archive can have.
    if (end.zip64Missing || end.countHere > end.count || (end.disk > 0 && end.cdDisk > end.disk))
        return judgedBefore ? -1 : ZipStructureDamaged;
    // Step 5: a directory on an earlier disk must prove it is here; if it does not, this is a split part.
    const bool directoryElsewhere = end.disk > 0 && end.cdDisk < end.disk;
    const int notHere = directoryElsewhere ? ZipMultiPart : ZipStructureDamaged;
    // Step 6: the directory ends where the (zip64) end record begins.
    if (end.cdSize > end.cdLimit || end.cdOffset > end.cdLimit - end.cdSize)
        return judgedBefore ? -1 : notHere;
    const quint64 shift = end.cdLimit - end.cdSize - end.cdOffset;
    if (pass != Pass::Either && (shift > 0) != (pass == Pass::Shifted))
        return -1;
    // Step 7: a shift needs entries to confirm it.
    if (shift > 0 && end.cdSize == 0)
        return notHere;

    Archive candidate;
    candidate.fileSize = file.size;
    candidate.comment = file.tail.mid(end.pos - file.tailStart + 22, end.commentLen);
    candidate.archiveEnd = quint64(end.pos) + 22 + end.commentLen;
    std::vector<size_t> elsewhere;
    const int rc = parseCentralDirectory(reader, end, shift, candidate, elsewhere);
    if (rc == ZipStructureDamaged || rc == ZipMultiPart)
        return directoryElsewhere ? ZipMultiPart : rc;
    if (rc != ZipSuccess)
        return rc;
    // Step 9: an entry that says it starts on an earlier disk and is not here belongs to a split set.
    for (size_t i : elsewhere) {
        const Entry& e = candidate.entries[i];
        if (e.localOffset >= candidate.centralDirectoryOffset || !headerHere(reader, e))
            return ZipMultiPart;
    }
    if (directoryElsewhere && !std::all_of(candidate.entries.begin(), candidate.entries.end(),
                                           [&](const Entry& e) { return headerHere(reader, e); }))
        return ZipMultiPart;
    // Step 11: a shift is believed when the first local header is where it puts it, and the ZIP data it
    // names is not inside an entry's data.
    if (shift > 0) {
        const auto first =
            std::min_element(candidate.entries.begin(), candidate.entries.end(),
                             [](const Entry& a, const Entry& b) { return a.localOffset < b.localOffset; });
        if (!headerHere(reader, *first) || insideAnEntry(reader, shift, candidate.archiveEnd))
            return ZipStructureDamaged;
    }
    archive = std::move(candidate);
    return ZipSuccess;
}

} // namespace

int readCentralDirectory(FileReader& reader, Archive& archive)
{
    FileFacts file;
    file.size = reader.size();
    archive.fileSize = file.size;
    // Step 1.
    if (file.size < 22)
        return ZipStructureDamaged;
    const qint64 tailLen = std::min<qint64>(file.size, 22 + 65535 + 20);
    file.tailStart = file.size - tailLen;
    file.tail = QByteArray(tailLen, Qt::Uninitialized);
    if (!reader.read(file.tailStart, file.tail.data(), tailLen))
        return ZipCannotRead;

    // Step 2: the end records in the tail, the last one first, found as the judging needs them: the last one
    // is almost always the archive's, and the rest of the tail need not be searched for it. Only bytes that
    // can start the signature are looked at.
    std::vector<EndRecord> ends;
    qint64 below = tailLen - 22 + 1; // the search goes on below this position
    const auto nextEnd = [&] {
        while (below > 0 && ends.size() < kMaxEndCandidates) {
            const void* hit = ::memrchr(file.tail.constData(), kEndSig & 0xff, size_t(below));
            if (!hit)
                break;
            const char* p = static_cast<const char*>(hit);
            below = p - file.tail.constData();
            if (get32(p) != kEndSig)
                continue;
            EndRecord end;
            end.pos = file.tailStart + below;
            end.commentLen = get16(p + 20);
            if (end.pos + 22 + end.commentLen > file.size)
                continue;
            end.disk = get16(p + 4);
            end.cdDisk = get16(p + 6);
            end.countHere = get16(p + 8);
            end.count = get16(p + 10);
            end.cdSize = get32(p + 12);
            end.cdOffset = get32(p + 16);
            end.cdLimit = quint64(end.pos);
            end.zip64Missing = !readZip64End(reader, end);
            ends.push_back(end);
            return true;
        }
        below = 0;
        return false;
    };

    int failure = -1;
    const auto judgeAs = [&](const EndRecord& end, Pass pass) {
        const int rc = judge(reader, file, end, pass, archive);
        if (rc != ZipSuccess && strength(rc) > strength(failure))
            failure = rc;
        return rc == ZipSuccess;
    };
    // The order below the rule: those that end the file, as stored and then shifted; then the others.
    const auto endsFile = [&](const EndRecord& end) { return end.pos + 22 + end.commentLen == file.size; };
    for (size_t k = 0; k < ends.size() || nextEnd(); ++k)
        if (endsFile(ends[k]) && judgeAs(ends[k], Pass::AsStored))
            return ZipSuccess;
    for (const EndRecord& end : ends)
        if (endsFile(end) && judgeAs(end, Pass::Shifted))
            return ZipSuccess;
    for (const EndRecord& end : ends)
        if (!endsFile(end) && judgeAs(end, Pass::Either))
            return ZipSuccess;
    return failure < 0 ? int(ZipStructureDamaged) : failure;
}

} // namespace zipformat
