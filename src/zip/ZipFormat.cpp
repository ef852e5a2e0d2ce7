#include "ZipFormat.h"

#include "DiskName.h"

#include "ZipRecords.h"
#include "ZipResult.h"

#include <QVarLengthArray>
#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zipformat {

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
    if (m_file.isOpen())
        m_file.close();
    if (!diskname::openFile(m_file, path, QIODevice::ReadOnly | QIODevice::Unbuffered))
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

int checkLocalHeader(FileReader& reader, const Archive& archive, Entry& entry)
{
    char h[kLocalHeaderSize];
    HeaderFields local;
    if (!reader.read(qint64(entry.localOffset), h, kLocalHeaderSize))
        return ZipStructureDamaged;
    if (!parseLocalFixed(h, local))
        return ZipHeaderDamaged;
    const quint16 flags = local.flags;
    const int nameLen = local.nameLen;
    const int extraLen = local.extraLen;
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
    if ((flags ^ entry.flags) & flagsThatMustAgree(entry.method) || local.method != entry.method)
        return ZipHeaderDamaged;
    const char* extra = name.constData() + nameLen;
    // The local zip64 field never makes damage: readers take the sizes from the central directory, and
    // the data decides. Its presence only says how wide a data descriptor's sizes are.
    bool localZip64 = false;
    forEachExtra(extra, extraLen, [&](quint16 id, const char*, int) {
        localZip64 = localZip64 || id == 0x0001;
        return !localZip64;
    });
    // A data descriptor promised by either header follows the data, and then the local CRC-32 and sizes
    // mean nothing, zero or not; encryption of the central directory (flag 13) masks them too.
    const bool descriptor = (flags | entry.flags) & 0x0008;
    if (!descriptor && !((flags | entry.flags) & 0x2000)) {
        // All-ones local sizes defer to the local zip64 field, whose values the central directory
        // overrules; without one they are literal.
        auto agrees = [localZip64](quint64 local, quint64 central) {
            return local == central || (localZip64 && local == kMax32);
        };
        if (local.crc != entry.crc || !agrees(local.size, entry.size) ||
            !agrees(local.compressedSize, entry.compressedSize))
            return ZipHeaderDamaged;
    }

    quint64 end = entry.dataOffset + entry.compressedSize;
    if (descriptor) {
        // The descriptor's width is the one whose compressed size is the entry's, else the one the zip64
        // fields suggest.
        char d[4 + 4 + 16];
        const quint64 room = std::min<quint64>(limit - end, sizeof d);
        if (!reader.read(qint64(end), d, qint64(room)))
            return ZipCannotRead;
        const quint64 len = descriptorLength(d, room, entry.crc, entry.compressedSize, entry.zip64 || localZip64);
        if (len > 0) {
            end += std::min(len, limit - end);
        } else if (flags & 0x0008) {
            // The local header promises a descriptor that is not there: a reader that streams the entry,
            // or checks that entries do not overlap, cannot read it.
            return ZipHeaderDamaged;
        }
        // Promised by the central record alone and not written: the entry ends with its data, so a
        // rewrite copies no bytes of the next header with it.
    }
    entry.endOffset = end;
    return ZipSuccess;
}

int checkEntryRanges(const Archive& archive)
{
    std::vector<const Entry*> byOffset;
    byOffset.reserve(archive.entries.size());
    for (const Entry& e : archive.entries)
        byOffset.push_back(&e);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const Entry* a, const Entry* b) { return a->localOffset < b->localOffset; });
    for (size_t i = 1; i < byOffset.size(); ++i)
        if (byOffset[i - 1]->endOffset > byOffset[i]->localOffset)
            return ZipStructureDamaged;
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
    HeaderFields h;
    parseCentralFixed(r, h);
    const int nameLen = h.nameLen;
    const int extraLen = h.extraLen;
    const int commentLen = h.commentLen;
    const char* extra = r + 46 + nameLen;
    CentralRecordFields f;
    f.versionMadeBy = h.versionMadeBy;
    f.versionNeeded = h.versionNeeded;
    f.flags = h.flags;
    f.method = h.method;
    f.dosTime = h.dosTime;
    f.crc = h.crc;
    f.compressedSize = entry.compressedSize;
    f.size = entry.size;
    f.internalAttributes = h.internalAttributes;
    f.externalAttributes = h.externalAttributes;
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
