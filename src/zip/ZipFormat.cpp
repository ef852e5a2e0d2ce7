#include "ZipFormat.h"

#include "ZipResult.h"

#include <QVarLengthArray>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <libdeflate.h>

namespace zipformat {
namespace {

constexpr quint32 kLocalSig = 0x04034b50;
constexpr quint32 kCentralSig = 0x02014b50;
constexpr quint32 kEndSig = 0x06054b50;
constexpr quint32 kZip64EndSig = 0x06064b50;
constexpr quint32 kZip64LocatorSig = 0x07064b50;
constexpr quint32 kDescriptorSig = 0x08074b50;
constexpr quint32 kMax32 = 0xffffffffu;
constexpr quint16 kMax16 = 0xffff;
constexpr qint64 kWindow = 256 * 1024;
// A central directory larger than this is refused rather than loaded (millions of entries).
constexpr quint64 kMaxCentralDirectory = quint64(512) * 1024 * 1024;
// End records tried at most: a hostile comment full of signatures costs no more than this many reads.
constexpr size_t kMaxEndCandidates = 32;

} // namespace

void put16(QByteArray& b, quint16 v)
{
    const char bytes[2] = {char(v & 0xff), char(v >> 8)};
    b.append(bytes, 2);
}

void put32(QByteArray& b, quint32 v)
{
    put16(b, quint16(v & 0xffff));
    put16(b, quint16(v >> 16));
}

void put64(QByteArray& b, quint64 v)
{
    put32(b, quint32(v & kMax32));
    put32(b, quint32(v >> 32));
}

bool FileReader::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    m_size = m_file.size();
    return true;
}

bool FileReader::read(qint64 offset, char* dest, qint64 len)
{
    if (offset < 0 || len < 0 || offset > m_size || len > m_size - offset)
        return false;
    if (len == 0)
        return true;
    if (m_windowOffset >= 0 && offset >= m_windowOffset && offset + len <= m_windowOffset + m_window.size()) {
        std::memcpy(dest, m_window.constData() + (offset - m_windowOffset), size_t(len));
        return true;
    }
    if (len > kWindow / 2) {
        if (!m_file.seek(offset))
            return false;
        qint64 done = 0;
        while (done < len) {
            const qint64 got = m_file.read(dest + done, len - done);
            if (got <= 0)
                return false;
            done += got;
        }
        return true;
    }
    const qint64 want = std::min(kWindow, m_size - offset);
    m_window.resize(want);
    m_windowOffset = -1;
    if (!m_file.seek(offset))
        return false;
    qint64 done = 0;
    while (done < want) {
        const qint64 got = m_file.read(m_window.data() + done, want - done);
        if (got <= 0)
            return false;
        done += got;
    }
    m_windowOffset = offset;
    std::memcpy(dest, m_window.constData(), size_t(len));
    return true;
}

namespace {

// Walks the extra field blocks of a record; f(id, data, size) returns false to stop.
template <typename F> void forEachExtra(const char* extra, int len, F f)
{
    int pos = 0;
    while (pos + 4 <= len) {
        const quint16 id = get16(extra + pos);
        const quint16 size = get16(extra + pos + 2);
        if (pos + 4 + size > len)
            return;
        if (!f(id, extra + pos + 4, int(size)))
            return;
        pos += 4 + size;
    }
}

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

int checkLocalHeader(FileReader& reader, const Archive& archive, Entry& entry)
{
    char h[30];
    if (!reader.read(qint64(entry.localOffset), h, 30))
        return ZipStructureDamaged;
    if (get32(h) != kLocalSig)
        return ZipHeaderDamaged;
    const quint16 flags = get16(h + 6);
    const int nameLen = get16(h + 26);
    const int extraLen = get16(h + 28);
    if (nameLen != entry.rawName.size())
        return ZipHeaderDamaged;
    QVarLengthArray<char, 256> name(nameLen + extraLen);
    if (!reader.read(qint64(entry.localOffset) + 30, name.data(), nameLen + extraLen))
        return ZipStructureDamaged;
    if (std::memcmp(name.constData(), entry.rawName.constData(), size_t(nameLen)) != 0)
        return ZipHeaderDamaged;
    const quint64 limit = archive.centralDirectoryOffset;
    entry.dataOffset = entry.localOffset + 30 + quint64(nameLen) + quint64(extraLen);
    // Data that would run into the central directory or past the end: truncated, whatever the method.
    if (entry.dataOffset > limit || entry.compressedSize > limit - entry.dataOffset)
        return ZipStructureDamaged;

    // What the local header says must agree with the central directory: readers extract from the local
    // header, so an entry whose two headers disagree cannot be extracted as listed. Encryption of the
    // central directory (flag 13) masks the local values, so they are not compared then.
    constexpr quint16 kMustAgree = 0x0001 | 0x0020 | 0x0040; // encrypted, patched data, strong encryption
    if ((flags ^ entry.flags) & kMustAgree || get16(h + 8) != entry.method)
        return ZipHeaderDamaged;
    const char* extra = name.constData() + nameLen;
    int zip64Fields = 0;
    const char* zip64 = nullptr;
    int zip64Size = 0;
    forEachExtra(extra, extraLen, [&](quint16 id, const char* data, int size) {
        if (id == 0x0001 && ++zip64Fields == 1) {
            zip64 = data;
            zip64Size = size;
        }
        return true;
    });
    if (zip64Fields > 1)
        return ZipHeaderDamaged;
    if (!((flags | entry.flags) & 0x2000)) {
        quint64 size = get32(h + 22);
        quint64 compressed = get32(h + 18);
        if (zip64 && (size == kMax32 || compressed == kMax32)) {
            // The local zip64 field holds both sizes; some writers put in only those that overflowed.
            int at = 0;
            if (size == kMax32 && at + 8 <= zip64Size) {
                size = get64(zip64 + at);
                at += 8;
            }
            if (compressed == kMax32 && at + 8 <= zip64Size)
                compressed = get64(zip64 + at);
        }
        // A data descriptor explains zero values here, and nothing else.
        const bool descriptor = (flags | entry.flags) & 0x0008;
        auto agrees = [descriptor](quint64 local, quint64 central) {
            return local == central || (descriptor && (local == 0 || local == kMax32));
        };
        if (!agrees(get32(h + 14), entry.crc) || !agrees(size, entry.size) || !agrees(compressed, entry.compressedSize))
            return ZipHeaderDamaged;
    }

    quint64 end = entry.dataOffset + entry.compressedSize;
    if (entry.flags & 0x0008) {
        // Data descriptor: optional signature, CRC, then two 4-byte (8-byte for zip64) sizes.
        const bool descriptor64 = entry.zip64 || zip64Fields > 0;
        char sig[4];
        quint64 len = descriptor64 ? 20 : 12;
        if (limit - end >= 4 && reader.read(qint64(end), sig, 4) && get32(sig) == kDescriptorSig)
            len += 4;
        end += std::min(len, limit - end);
    }
    entry.endOffset = end;
    return ZipSuccess;
}

QString cp437ToUnicode(const QByteArray& bytes)
{
    static const char16_t high[128] = {
        0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
        0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
        0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
        0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
        0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
        0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
        0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
        0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
        0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
        0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* d = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const quint8 c = quint8(bytes[i]);
        d[i] = QChar(c < 0x80 ? char16_t(c) : high[c - 0x80]);
    }
    return out;
}

namespace {

bool wildcard(const QChar* m, qsizetype mlen, const QChar* s, qsizetype slen)
{
    qsizetype mi = 0, si = 0, starM = -1, starS = 0;
    while (si < slen) {
        if (mi < mlen && (m[mi] == u'?' || m[mi] == s[si])) {
            ++mi;
            ++si;
        } else if (mi < mlen && m[mi] == u'*') {
            starM = mi++;
            starS = si;
        } else if (starM >= 0) {
            mi = starM + 1;
            si = ++starS;
        } else {
            return false;
        }
    }
    while (mi < mlen && m[mi] == u'*')
        ++mi;
    return mi == mlen;
}

} // namespace

bool maskMatches(const QString& lowerMask, const QString& name)
{
    const QString n = name.toLower();
    if (wildcard(lowerMask.constData(), lowerMask.size(), n.constData(), n.size()))
        return true;
    // "name.*" also matches "name" without any extension, as on the original platform.
    if (lowerMask.endsWith(u".*") && !n.contains(u'.'))
        return wildcard(lowerMask.constData(), lowerMask.size() - 2, n.constData(), n.size());
    return false;
}

QByteArray centralRecord(const Archive& archive, const Entry& entry, quint64 newOffset)
{
    const char* r = archive.centralDirectory.constData() + entry.recordPos;
    if (entry.zip64OffsetAt >= 0 || newOffset <= kMax32) {
        QByteArray out(r, entry.recordLen);
        QByteArray value;
        if (entry.zip64OffsetAt >= 0)
            put64(value, newOffset);
        else
            put32(value, quint32(newOffset));
        out.replace(entry.zip64OffsetAt >= 0 ? entry.zip64OffsetAt : 42, value.size(), value);
        return out;
    }
    // The offset outgrows the record's 32-bit field: the record is made anew with a zip64 field for it.
    const int nameLen = get16(r + 28);
    const int extraLen = get16(r + 30);
    const int commentLen = get16(r + 32);
    const char* extra = r + 46 + nameLen;
    CentralRecordFields f;
    f.versionMadeBy = get16(r + 4);
    f.versionNeeded = get16(r + 6);
    f.flags = get16(r + 8);
    f.method = get16(r + 10);
    f.dosTime = get32(r + 12);
    f.crc = get32(r + 16);
    f.compressedSize = entry.compressedSize;
    f.size = entry.size;
    f.internalAttributes = get16(r + 36);
    f.externalAttributes = get32(r + 38);
    f.offset = newOffset;
    f.name = QByteArray(r + 46, nameLen);
    f.comment = QByteArray(r + 46 + nameLen + extraLen, commentLen);
    // Other extra blocks stay as they are; the old zip64 block gives way to the new one.
    bool wellFormed = true;
    int pos = 0;
    while (pos < extraLen) {
        if (pos + 4 > extraLen || pos + 4 + get16(extra + pos + 2) > extraLen) {
            wellFormed = false;
            break;
        }
        const int size = get16(extra + pos + 2);
        if (get16(extra + pos) != 0x0001)
            f.extra.append(extra + pos, 4 + size);
        pos += 4 + size;
    }
    if (!wellFormed)
        f.extra = QByteArray(extra, extraLen); // unknown layout: keep the bytes, add ours after them
    // Only a hostile record leaves no room for the zip64 block: a readable record beats its other blocks.
    if (f.extra.size() + 4 + 3 * 8 > 0xffff)
        f.extra.clear();
    return writeCentralRecord(f);
}

QByteArray writeCentralRecord(const CentralRecordFields& f)
{
    QByteArray zip64;
    const bool sizeIn64 = f.size >= kMax32;
    const bool compressedIn64 = f.compressedSize >= kMax32;
    const bool offsetIn64 = f.offset >= kMax32;
    if (sizeIn64)
        put64(zip64, f.size);
    if (compressedIn64)
        put64(zip64, f.compressedSize);
    if (offsetIn64)
        put64(zip64, f.offset);
    QByteArray extra = f.extra;
    if (!zip64.isEmpty()) {
        put16(extra, 0x0001);
        put16(extra, quint16(zip64.size()));
        extra.append(zip64);
    }
    QByteArray out;
    out.reserve(46 + f.name.size() + extra.size() + f.comment.size());
    put32(out, kCentralSig);
    put16(out, f.versionMadeBy);
    put16(out, zip64.isEmpty() ? f.versionNeeded : std::max<quint16>(f.versionNeeded, 45));
    put16(out, f.flags);
    put16(out, f.method);
    put32(out, f.dosTime);
    put32(out, f.crc);
    put32(out, compressedIn64 ? kMax32 : quint32(f.compressedSize));
    put32(out, sizeIn64 ? kMax32 : quint32(f.size));
    put16(out, quint16(f.name.size()));
    put16(out, quint16(extra.size()));
    put16(out, quint16(f.comment.size()));
    put16(out, 0); // disk number start
    put16(out, f.internalAttributes);
    put32(out, f.externalAttributes);
    put32(out, offsetIn64 ? kMax32 : quint32(f.offset));
    out.append(f.name);
    out.append(extra);
    out.append(f.comment);
    return out;
}

bool looksLikeLocator(const QByteArray& bytes)
{
    return bytes.size() >= 20 && get32(bytes.constData() + bytes.size() - 20) == kZip64LocatorSig;
}

QByteArray endRecords(quint64 count, quint64 cdOffset, quint64 cdSize, const QByteArray& comment, quint32 disk,
                      bool forceZip64)
{
    QByteArray out;
    const bool zip64 = forceZip64 || count >= kMax16 || cdOffset >= kMax32 || cdSize >= kMax32;
    if (zip64) {
        const quint64 recOffset = cdOffset + cdSize;
        put32(out, kZip64EndSig);
        put64(out, 44);
        put16(out, 45);
        put16(out, 45);
        put32(out, disk);
        put32(out, disk);
        put64(out, count);
        put64(out, count);
        put64(out, cdSize);
        put64(out, cdOffset);
        put32(out, kZip64LocatorSig);
        put32(out, disk);
        put64(out, recOffset);
        put32(out, disk + 1);
    }
    put32(out, kEndSig);
    put16(out, quint16(std::min<quint32>(disk, kMax16)));
    put16(out, quint16(std::min<quint32>(disk, kMax16)));
    put16(out, zip64 ? kMax16 : quint16(count));
    put16(out, zip64 ? kMax16 : quint16(count));
    put32(out, zip64 ? kMax32 : quint32(cdSize));
    put32(out, zip64 ? kMax32 : quint32(cdOffset));
    const QByteArray c = comment.left(0xffff);
    put16(out, quint16(c.size()));
    out.append(c);
    return out;
}

} // namespace zipformat
