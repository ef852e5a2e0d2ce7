#pragma once
// Record signatures, field limits and the parsers of ZIP records shared by the reader, salvage and the
// writer: the fixed fields of local and central headers, the zip64 extra field, data descriptors, the
// extra-field walk, and the flag bits a local header and its central record must share. A fix to how a
// record is read is made here once.

#include "ZipFormat.h"

namespace zipformat {

constexpr quint32 kLocalSig = 0x04034b50;
constexpr quint32 kCentralSig = 0x02014b50;
constexpr quint32 kEndSig = 0x06054b50;
constexpr quint32 kZip64EndSig = 0x06064b50;
constexpr quint32 kZip64LocatorSig = 0x07064b50;
constexpr quint32 kDescriptorSig = 0x08074b50;
constexpr quint32 kMax32 = 0xffffffffu;
constexpr quint16 kMax16 = 0xffff;
constexpr qint64 kWindow = 256 * 1024;
constexpr int kLocalHeaderSize = 30;
constexpr int kCentralHeaderSize = 46;

constexpr quint16 kFlagEncrypted = 0x0001;
constexpr quint16 kFlagDescriptor = 0x0008;
constexpr quint16 kFlagPatched = 0x0020;
constexpr quint16 kFlagStrongEncryption = 0x0040;
constexpr quint16 kFlagUtf8 = 0x0800;
constexpr quint16 kFlagMaskedHeader = 0x2000;

// The flags a local header and its central record must share: readers extract from the local header, so
// an entry whose headers differ in one of these decodes other data. Implode keeps its window size and tree
// count in bits 1 and 2.
inline quint16 flagsThatMustAgree(quint16 method)
{
    return quint16(kFlagEncrypted | kFlagPatched | kFlagStrongEncryption | (method == 6 ? 0x0006 : 0));
}

// The flags a header written anew keeps from proven values: the name's encoding, and bits 1 and 2 for the
// methods that read them (implode's window and trees, LZMA's end marker; deflate's level is a hint).
inline quint16 flagsToKeep(quint16 method)
{
    return quint16(kFlagUtf8 | (method == 6 || method == 8 || method == 9 || method == 14 ? 0x0006 : 0));
}

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

// The name readers show for a raw name: UTF-8 when flag 11 says so, else Info-ZIP's Unicode path field
// while its CRC matches the raw name, else code page 437.
QString entryName(const QByteArray& raw, quint16 flags, const char* extra, int extraLen);
// The version a reader needs for a method (and a folder entry), as a header written anew says it.
quint16 versionNeededFor(quint16 method, const QByteArray& rawName);

// What the fixed part of a local header (30 bytes) or a central header (46 bytes) says.
struct HeaderFields
{
    quint16 versionMadeBy = 0; // central only
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint32 dosTime = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    int nameLen = 0;
    int extraLen = 0;
    int commentLen = 0;             // central only
    quint32 startDisk = 0;          // central only
    quint16 internalAttributes = 0; // central only
    quint32 externalAttributes = 0; // central only
    quint64 offset = 0;             // central only: the stored offset of the local header

    qint64 variableLen() const { return qint64(nameLen) + extraLen + commentLen; }
};

// Parse the fixed part at h; false when the signature is not there.
bool parseLocalFixed(const char* h, HeaderFields& f);
bool parseCentralFixed(const char* r, HeaderFields& f);

// The zip64 extra field holds, in this order, the values whose fixed field is all ones: the size, the
// compressed size, the offset (central only), the disk (central only). That is the one rule for every
// record: a value whose fixed field is all ones and that the field does not hold is missing, except the
// disk number, which a writer that left it out meant as this disk. Without a zip64 field all-ones values
// are literal (an entry of 4 GiB - 1 bytes is valid).
enum class Zip64
{
    Absent,    // no zip64 field: the fixed fields are literal
    Complete,  // every deferred value was there and is now in f
    Incomplete // a deferred value is missing: f holds what was there
};
// Takes the deferred values of f from the extra field; *offsetAt (when given) gets where in extra the
// offset value lies, or -1.
Zip64 readZip64(const char* extra, int extraLen, bool central, HeaderFields& f, int* offsetAt = nullptr);

// The length of the data descriptor at d (room bytes of it readable) of an entry with this CRC-32 and
// compressed size: a signature (some writers leave it out), the CRC-32, then two 4-byte (8-byte for zip64)
// sizes. It is found by its signature, or by the CRC-32 where the signature is left out or damaged; its
// width is the one whose compressed size is the entry's, else the hinted one. 0 when none is there.
quint64 descriptorLength(const char* d, quint64 room, quint32 crc, quint64 compressedSize, bool zip64Hint);

// Extra blocks fit for a header written anew: the extended timestamp's modification time and a Unicode
// path whose CRC names rawName; every other block (and a malformed tail) is left out, as is zip64 (its
// values are written from proven sizes).
QByteArray sanitisedExtra(const char* extra, int extraLen, const QByteArray& rawName);

// A local header made from its fields (sizes over 32 bits go into a zip64 extra field after extra).
QByteArray writeLocalHeader(const HeaderFields& f, const QByteArray& name, const QByteArray& extra);

} // namespace zipformat
