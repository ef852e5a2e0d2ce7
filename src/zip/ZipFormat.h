#pragma once
// The ZIP format as ZipComponent needs it: reading the end records and the central directory, checking
// local headers, decoding names, matching masks, and writing central-directory and end records. Pure
// byte work on top of QFile; no libzip here.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <vector>

namespace zipformat {

// Reads byte ranges of a file, keeping a window so that many small reads of neighbouring bytes (local
// headers of small entries) cost no system call each.
class FileReader
{
public:
    bool open(const QString& path);
    qint64 size() const { return m_size; }
    QFile& file() { return m_file; }
    // Reads exactly len bytes at offset; false when the file is shorter or a read fails.
    bool read(qint64 offset, char* dest, qint64 len);

private:
    QFile m_file;
    qint64 m_size = 0;
    QByteArray m_window;
    qint64 m_windowOffset = -1;
};

struct Entry
{
    qint64 recordPos = 0; // where the central-directory record starts in Archive::centralDirectory
    int recordLen = 0;
    quint16 versionMadeBy = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint64 localOffset = 0; // where the local header lies in the file (stored offset plus Archive::shift)
    bool zip64 = false;      // sizes or offset live in a zip64 extra field
    int zip64OffsetAt = -1;  // where in the record the zip64 field's offset value lies, when it has one
    QByteArray rawName;
    QString name;
    // Filled by checkLocalHeader():
    quint64 dataOffset = 0;
    quint64 endOffset = 0; // after the data and its data descriptor

    bool encrypted() const { return flags & 0x0001; }
    bool isFolder() const { return rawName.endsWith('/') || rawName.endsWith('\\'); }
};

struct Archive
{
    qint64 fileSize = 0;
    // Data before the first entry (a self-extractor's program, a script) is kept by every rewrite. Offsets
    // in the records either count it (shift 0) or count from the start of the ZIP data behind it (shift =
    // where that data starts); rewrites write offsets in the archive's own convention.
    quint64 prefixEnd = 0;
    quint64 shift = 0;
    // Where the end record and its comment end. Bytes behind them (another archive's, padding) are no part
    // of the archive either, and every rewrite keeps them too.
    quint64 archiveEnd = 0;
    // Disk numbers of the end record, kept by rewrites: some writers of single-file archives set them.
    quint32 disk = 0;
    quint64 centralDirectoryOffset = 0; // where the central directory lies in the file
    quint64 centralDirectorySize = 0;
    QByteArray centralDirectory;
    QByteArray comment;
    std::vector<Entry> entries;
};

// Reads the end records and the central directory (ZipDirectory.cpp, whose head states the rule). Returns
// a ZipResult code (0, 110, ZipMultiPart, or another failure); success always comes with the directory.
int readCentralDirectory(FileReader& reader, Archive& archive);
// Checks the entry's local header against the central directory and fills dataOffset and endOffset:
// signature, name, method and the encryption and patched-data flags must agree, and so must the CRC-32
// and sizes unless a data descriptor (promised by either header) carries them. endOffset counts that
// descriptor.
int checkLocalHeader(FileReader& reader, const Archive& archive, Entry& entry);
// After checkLocalHeader() for every entry: 110 when the bytes of two entries (local header, data and data
// descriptor) overlap, 0 otherwise. Readers extract and rewrites copy the shared bytes once per entry, so a
// small file of overlapping entries would be tested and written as terabytes.
int checkEntryRanges(const Archive& archive);

QString cp437ToUnicode(const QByteArray& bytes);
// mask must be lower-cased already (see ZipComponent.h for the rules).
bool maskMatches(const QString& lowerMask, const QString& name);

// What a central-directory record holds. writeCentralRecord() is the one place a record is made from
// its fields; sizes and an offset of 0xffffffff or more go into a zip64 extra field.
struct CentralRecordFields
{
    quint16 versionMadeBy = 20;
    quint16 versionNeeded = 20; // raised to 45 when the record needs a zip64 field
    quint16 flags = 0;
    quint16 method = 0;
    quint32 dosTime = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint16 internalAttributes = 0;
    quint32 externalAttributes = 0;
    quint64 offset = 0; // stored offset of the local header
    QByteArray name;
    QByteArray extra; // extra blocks other than zip64; the zip64 block, when needed, goes after them
    QByteArray comment;
};
QByteArray writeCentralRecord(const CentralRecordFields& f);

// The entry's central-directory record, byte for byte as it was, but for its local header offset, which
// becomes newOffset (a stored offset, in the archive's convention). Only an offset that outgrows the
// record's field makes the record anew, with a zip64 extra field.
QByteArray centralRecord(const Archive& archive, const Entry& entry, quint64 newOffset);
// End records for a central directory of count records (zip64 records when needed, or when zip64 is true);
// offsets are stored offsets in the archive's convention.
QByteArray endRecords(quint64 count, quint64 cdOffset, quint64 cdSize, const QByteArray& comment, quint32 disk = 0,
                      bool zip64 = false);
// True when bytes (what precedes an end record) end in twenty bytes that start like a zip64 locator: readers
// would take them for one, so such an end record needs a real zip64 end record and locator in front.
bool looksLikeLocator(const QByteArray& bytes);

inline quint16 get16(const char* p)
{
    return quint16(quint8(p[0]) | (quint8(p[1]) << 8));
}
inline quint32 get32(const char* p)
{
    return quint32(get16(p)) | (quint32(get16(p + 2)) << 16);
}
inline quint64 get64(const char* p)
{
    return quint64(get32(p)) | (quint64(get32(p + 4)) << 32);
}
void put16(QByteArray& b, quint16 v);
void put32(QByteArray& b, quint32 v);
void put64(QByteArray& b, quint64 v);

} // namespace zipformat
