#include "ZipRecords.h"

#include <algorithm>
#include <libdeflate.h>

namespace zipformat {

QString entryName(const QByteArray& raw, quint16 flags, const char* extra, int extraLen)
{
    if (flags & kFlagUtf8)
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

quint16 versionNeededFor(quint16 method, const QByteArray& rawName)
{
    switch (method) {
    case 0:
        return rawName.endsWith('/') || rawName.endsWith('\\') ? 20 : 10;
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        return 10;
    case 9:
        return 21;
    case 12:
        return 46;
    case 14:
    case 98:
        return 63;
    default:
        return 20;
    }
}

bool parseLocalFixed(const char* h, HeaderFields& f)
{
    if (get32(h) != kLocalSig)
        return false;
    f = HeaderFields();
    f.versionNeeded = get16(h + 4);
    f.flags = get16(h + 6);
    f.method = get16(h + 8);
    f.dosTime = get32(h + 10);
    f.crc = get32(h + 14);
    f.compressedSize = get32(h + 18);
    f.size = get32(h + 22);
    f.nameLen = get16(h + 26);
    f.extraLen = get16(h + 28);
    return true;
}

bool parseCentralFixed(const char* r, HeaderFields& f)
{
    if (get32(r) != kCentralSig)
        return false;
    f = HeaderFields();
    f.versionMadeBy = get16(r + 4);
    f.versionNeeded = get16(r + 6);
    f.flags = get16(r + 8);
    f.method = get16(r + 10);
    f.dosTime = get32(r + 12);
    f.crc = get32(r + 16);
    f.compressedSize = get32(r + 20);
    f.size = get32(r + 24);
    f.nameLen = get16(r + 28);
    f.extraLen = get16(r + 30);
    f.commentLen = get16(r + 32);
    f.startDisk = get16(r + 34);
    f.internalAttributes = get16(r + 36);
    f.externalAttributes = get32(r + 38);
    f.offset = get32(r + 42);
    return true;
}

Zip64 readZip64(const char* extra, int extraLen, bool central, HeaderFields& f, int* offsetAt)
{
    if (offsetAt)
        *offsetAt = -1;
    const bool needSize = f.size == kMax32;
    const bool needComp = f.compressedSize == kMax32;
    const bool needOffset = central && f.offset == kMax32;
    const bool needDisk = central && f.startDisk == kMax16;
    Zip64 result = Zip64::Absent;
    forEachExtra(extra, extraLen, [&](quint16 id, const char* data, int size) {
        if (id != 0x0001)
            return true;
        int at = 0;
        auto take = [&](quint64& v, int width) {
            if (at + width > size)
                return false;
            v = width == 8 ? get64(data + at) : get32(data + at);
            at += width;
            return true;
        };
        bool complete = (!needSize || take(f.size, 8)) && (!needComp || take(f.compressedSize, 8));
        if (complete && needOffset) {
            if (offsetAt)
                *offsetAt = int(data - extra) + at;
            complete = take(f.offset, 8);
        }
        if (complete && needDisk) {
            quint64 disk = 0;
            f.startDisk = take(disk, 4) ? quint32(disk) : kMax16;
        }
        result = complete ? Zip64::Complete : Zip64::Incomplete;
        return false;
    });
    return result;
}

quint64 descriptorLength(const char* d, quint64 room, quint32 crc, quint64 compressedSize, bool zip64Hint)
{
    int crcAt = -1;
    if (room >= 16 && get32(d) == kDescriptorSig)
        crcAt = 4;
    else if (room >= 12 && get32(d) == crc)
        crcAt = 0;
    else if (room >= 16 && get32(d + 4) == crc)
        crcAt = 4;
    if (crcAt < 0)
        return 0;
    const quint64 sizesAt = quint64(crcAt) + 4;
    auto holds = [&](quint64 sizesLen) {
        return room >= sizesAt + sizesLen &&
               (sizesLen == 16 ? get64(d + sizesAt) : get32(d + sizesAt)) == compressedSize;
    };
    const quint64 hinted = zip64Hint ? 16 : 8;
    const quint64 sizesLen = holds(hinted) ? hinted : holds(24 - hinted) ? 24 - hinted : hinted;
    return std::min(sizesAt + sizesLen, room);
}

QByteArray sanitisedExtra(const char* extra, int extraLen, const QByteArray& rawName)
{
    QByteArray out;
    forEachExtra(extra, extraLen, [&](quint16 id, const char* data, int size) {
        if (id == 0x5455 && size >= 5 && (data[0] & 1)) {
            put16(out, id);
            put16(out, 5);
            out.append(char(1));
            out.append(data + 1, 4);
        } else if (id == 0x7075 && size >= 5 && data[0] == 1 &&
                   get32(data + 1) == libdeflate_crc32(0, rawName.constData(), size_t(rawName.size()))) {
            put16(out, id);
            put16(out, quint16(size));
            out.append(data, size);
        }
        return true;
    });
    return out;
}

QByteArray writeLocalHeader(const HeaderFields& f, const QByteArray& name, const QByteArray& extra)
{
    const bool zip64 = f.size >= kMax32 || f.compressedSize >= kMax32;
    QByteArray ext = extra;
    if (zip64) {
        // A local zip64 field holds both sizes.
        put16(ext, 0x0001);
        put16(ext, 16);
        put64(ext, f.size);
        put64(ext, f.compressedSize);
    }
    QByteArray out;
    out.reserve(kLocalHeaderSize + name.size() + ext.size());
    put32(out, kLocalSig);
    put16(out, zip64 ? std::max<quint16>(f.versionNeeded, 45) : f.versionNeeded);
    put16(out, f.flags);
    put16(out, f.method);
    put32(out, f.dosTime);
    put32(out, f.crc);
    put32(out, zip64 ? kMax32 : quint32(f.compressedSize));
    put32(out, zip64 ? kMax32 : quint32(f.size));
    put16(out, quint16(name.size()));
    put16(out, quint16(ext.size()));
    out.append(name);
    out.append(ext);
    return out;
}

} // namespace zipformat
