#include "ZipFormat.h"

#include "ZipComponent.h"

#include <QVarLengthArray>
#include <algorithm>
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

    // The last end record whose numbers make sense: a comment may itself contain the signature.
    for (qint64 i = tailLen - 22; i >= 0; --i) {
        const char* p = tail.constData() + i;
        if (get32(p) != kEndSig)
            continue;
        const qint64 endPos = tailStart + i;
        const quint16 commentLen = get16(p + 20);
        if (endPos + 22 + commentLen > fileSize)
            continue;
        quint64 disk = get16(p + 4);
        quint64 cdDisk = get16(p + 6);
        quint64 count = get16(p + 10);
        quint64 cdSize = get32(p + 12);
        quint64 cdOffset = get32(p + 16);
        quint64 cdLimit = quint64(endPos);
        bool zip64 = false;
        if (endPos >= 20) {
            char loc[20];
            if (reader.read(endPos - 20, loc, 20) && get32(loc) == kZip64LocatorSig) {
                const quint64 recOffset = get64(loc + 8);
                char rec[56];
                if (recOffset > quint64(endPos - 20) || quint64(endPos - 20) - recOffset < 56 ||
                    !reader.read(qint64(recOffset), rec, 56) || get32(rec) != kZip64EndSig)
                    continue;
                zip64 = true;
                disk = get32(rec + 16);
                cdDisk = get32(rec + 20);
                count = get64(rec + 32);
                cdSize = get64(rec + 40);
                cdOffset = get64(rec + 48);
                cdLimit = recOffset;
            }
        }
        if (cdOffset > cdLimit || cdSize > cdLimit - cdOffset)
            continue;
        if (disk != 0 || cdDisk != 0)
            return ZipOtherError; // a piece of a multi-volume archive: not ours to judge
        if (cdSize > kMaxCentralDirectory)
            return ZipOtherError;
        archive.comment = tail.mid(i + 22, commentLen);
        archive.centralDirectoryOffset = cdOffset;
        archive.centralDirectorySize = cdSize;
        archive.centralDirectory.resize(qsizetype(cdSize));
        if (!reader.read(qint64(cdOffset), archive.centralDirectory.data(), qint64(cdSize)))
            return ZipCannotRead;

        const QByteArray& cd = archive.centralDirectory;
        archive.entries.clear();
        archive.entries.reserve(size_t(std::min<quint64>(count, cdSize / 46)));
        qint64 pos = 0;
        while (pos < qint64(cdSize)) {
            if (qint64(cdSize) - pos < 46 || get32(cd.constData() + pos) != kCentralSig)
                return ZipStructureDamaged;
            const char* r = cd.constData() + pos;
            const int nameLen = get16(r + 28);
            const int extraLen = get16(r + 30);
            const int commentLen2 = get16(r + 32);
            const qint64 len = 46 + qint64(nameLen) + extraLen + commentLen2;
            if (len > qint64(cdSize) - pos)
                return ZipStructureDamaged;
            Entry e;
            e.recordPos = pos;
            e.recordLen = int(len);
            e.versionMadeBy = get16(r + 4);
            e.flags = get16(r + 8);
            e.method = get16(r + 10);
            e.crc = get32(r + 16);
            e.compressedSize = get32(r + 20);
            e.size = get32(r + 24);
            e.localOffset = get32(r + 42);
            const bool needSize = e.size == kMax32;
            const bool needComp = e.compressedSize == kMax32;
            const bool needOffset = e.localOffset == kMax32;
            const char* extra = r + 46 + nameLen;
            if (needSize || needComp || needOffset) {
                bool found = false;
                bool complete = false;
                forEachExtra(extra, extraLen, [&](quint16 id, const char* data, int size) {
                    if (id != 0x0001)
                        return true;
                    found = true;
                    int at = 0;
                    auto take = [&](quint64& v) {
                        if (at + 8 > size)
                            return false;
                        v = get64(data + at);
                        at += 8;
                        return true;
                    };
                    complete = (!needSize || take(e.size)) && (!needComp || take(e.compressedSize)) &&
                               (!needOffset || take(e.localOffset));
                    return false;
                });
                if (!found || !complete)
                    return ZipStructureDamaged;
                e.zip64 = true;
            }
            e.rawName = QByteArray(r + 46, nameLen);
            e.name = decodeName(e.rawName, e.flags, extra, extraLen);
            if (e.localOffset >= cdOffset || cdOffset - e.localOffset < 30)
                return ZipStructureDamaged;
            archive.entries.push_back(std::move(e));
            pos += len;
        }
        const quint64 found = archive.entries.size();
        // Writers without zip64 support store the count modulo 65536; the records themselves decide.
        if (found != count && (zip64 || (found & 0xffff) != count))
            return ZipStructureDamaged;
        return ZipSuccess;
    }
    return ZipStructureDamaged;
}

int checkLocalHeader(FileReader& reader, const Archive& archive, Entry& entry)
{
    char h[30];
    if (!reader.read(qint64(entry.localOffset), h, 30))
        return ZipStructureDamaged;
    if (get32(h) != kLocalSig)
        return ZipHeaderDamaged;
    const int nameLen = get16(h + 26);
    const int extraLen = get16(h + 28);
    if (nameLen != entry.rawName.size())
        return ZipHeaderDamaged;
    QVarLengthArray<char, 256> name(nameLen);
    if (!reader.read(qint64(entry.localOffset) + 30, name.data(), nameLen))
        return ZipStructureDamaged;
    if (std::memcmp(name.constData(), entry.rawName.constData(), size_t(nameLen)) != 0)
        return ZipHeaderDamaged;
    const quint64 limit = archive.centralDirectoryOffset;
    entry.dataOffset = entry.localOffset + 30 + quint64(nameLen) + quint64(extraLen);
    if (entry.dataOffset > limit || entry.compressedSize > limit - entry.dataOffset)
        return ZipStructureDamaged;
    quint64 end = entry.dataOffset + entry.compressedSize;
    if (entry.flags & 0x0008) {
        // Data descriptor: optional signature, CRC, then two 4-byte (8-byte for zip64) sizes.
        bool zip64 = entry.zip64;
        if (!zip64 && extraLen > 0) {
            QVarLengthArray<char, 256> extra(extraLen);
            if (reader.read(qint64(entry.localOffset) + 30 + nameLen, extra.data(), extraLen))
                forEachExtra(extra.constData(), extraLen, [&](quint16 id, const char*, int) {
                    zip64 = zip64 || id == 0x0001;
                    return !zip64;
                });
        }
        char sig[4];
        quint64 len = zip64 ? 20 : 12;
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
    const int nameLen = get16(r + 28);
    const int extraLen = get16(r + 30);
    const int commentLen = get16(r + 32);
    const char* extra = r + 46 + nameLen;
    const bool sizeIn64 = get32(r + 24) == kMax32;
    const bool compIn64 = get32(r + 20) == kMax32;
    const bool offsetIn64 = newOffset >= kMax32;

    QByteArray zip64;
    if (sizeIn64)
        put64(zip64, entry.size);
    if (compIn64)
        put64(zip64, entry.compressedSize);
    if (offsetIn64)
        put64(zip64, newOffset);

    // Other extra blocks stay as they are; a zip64 block is rebuilt for the new offset.
    QByteArray otherExtra;
    bool wellFormed = true;
    {
        int pos = 0;
        while (pos < extraLen) {
            if (pos + 4 > extraLen || pos + 4 + get16(extra + pos + 2) > extraLen) {
                wellFormed = false;
                break;
            }
            const int size = get16(extra + pos + 2);
            if (get16(extra + pos) != 0x0001)
                otherExtra.append(extra + pos, 4 + size);
            pos += 4 + size;
        }
    }
    if (!wellFormed)
        otherExtra = QByteArray(extra, extraLen); // unknown layout: keep the bytes, add ours after them
    QByteArray newExtra = otherExtra;
    if (!zip64.isEmpty()) {
        put16(newExtra, 0x0001);
        put16(newExtra, quint16(zip64.size()));
        newExtra.append(zip64);
    }
    if (newExtra.size() > 0xffff)
        newExtra = QByteArray(extra, extraLen); // cannot grow; only reachable with hostile records

    QByteArray out;
    out.reserve(46 + nameLen + newExtra.size() + commentLen);
    out.append(r, 30);
    put16(out, quint16(newExtra.size()));
    out.append(r + 32, 2); // comment length
    put16(out, 0);         // disk number start
    out.append(r + 36, 6); // internal and external attributes
    put32(out, offsetIn64 ? kMax32 : quint32(newOffset));
    out.append(r + 46, nameLen);
    out.append(newExtra);
    out.append(r + 46 + nameLen + extraLen, commentLen);
    return out;
}

QByteArray endRecords(quint64 count, quint64 cdOffset, quint64 cdSize, const QByteArray& comment)
{
    QByteArray out;
    const bool zip64 = count >= kMax16 || cdOffset >= kMax32 || cdSize >= kMax32;
    if (zip64) {
        const quint64 recOffset = cdOffset + cdSize;
        put32(out, kZip64EndSig);
        put64(out, 44);
        put16(out, 45);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        put64(out, count);
        put64(out, count);
        put64(out, cdSize);
        put64(out, cdOffset);
        put32(out, kZip64LocatorSig);
        put32(out, 0);
        put64(out, recOffset);
        put32(out, 1);
    }
    put32(out, kEndSig);
    put16(out, 0);
    put16(out, 0);
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
