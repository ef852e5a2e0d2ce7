#pragma once
// Builds real ZIP archives for tests, byte by byte, so that tests can make what libzip itself refuses
// to write (the same name twice, inconsistent headers), and reads archives back with libzip.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace testzip {

struct Entry
{
    QByteArray name; // stored bytes of the name
    QByteArray data; // uncompressed content
    bool deflate = true;
    bool utf8Flag = false;
    QByteArray localName; // when not empty, the local header carries this name instead (damage)
    int method = -1;      // when set, `packed` is written as the data of this method (data gives CRC and size)
    QByteArray packed;
    quint16 flags = 0;
    bool streamed =
        false; // sizes and CRC-32 in a data descriptor after the data (flag bit 3), zeros in the local header
};

inline Entry file(const QByteArray& name, const QByteArray& data, bool deflate = true)
{
    return Entry{name, data, deflate, false, {}, -1, {}, 0, false};
}

// An entry written as a streaming writer does: a data descriptor (with its signature) after the data.
inline Entry streamedFile(const QByteArray& name, const QByteArray& data)
{
    return Entry{name, data, true, false, {}, -1, {}, 0x0008, true};
}

// An entry whose data is already compressed with another method.
inline Entry packedFile(const QByteArray& name, const QByteArray& data, int method, const QByteArray& packed,
                        quint16 flags = 0)
{
    return Entry{name, data, false, false, {}, method, packed, flags, false};
}

// Offsets of the pieces of an archive written by build(), for tests that damage it.
struct Layout
{
    QList<qint64> localHeaderOffsets;
    QList<qint64> dataOffsets;
    qint64 centralDirectoryOffset = 0;
    qint64 endRecordOffset = 0;
};

QByteArray build(const QList<Entry>& entries, const QByteArray& comment = {}, Layout* layout = nullptr);
// The same archive in zip64 form: 0xffffffff in the 32-bit size and offset fields, the values in zip64
// extra fields, and zip64 end records.
QByteArray buildZip64(const QList<Entry>& entries, const QByteArray& comment = {}, Layout* layout = nullptr);
bool write(const QString& path, const QByteArray& bytes);
bool writeZip(const QString& path, const QList<Entry>& entries, const QByteArray& comment = {});
// An archive whose second entry's data no longer matches its CRC: every entry lists, the data test fails.
bool writeDataDamaged(const QString& path);

// The names of an archive in central-directory order, as UTF-8, read with libzip (no consistency check).
// Returns an empty list and sets *ok false when libzip cannot open it.
QStringList names(const QString& path, bool* ok = nullptr);
// Content of the first entry with the given name (read through libzip, CRC checked); null when missing.
QByteArray content(const QString& path, const QString& name);
int count(const QString& path, const QString& name);
QByteArray comment(const QString& path);
QByteArray readAll(const QString& path);

// Raw deflate (level 6) of data, as a ZIP entry holds it.
QByteArray rawDeflate(const QByteArray& data);

// A deflate (or deflate64) stream of one fixed-code block: the literal 'a', then matches of the longest
// length at distance 1, then the end of the block: 1 + matches * 258 (65538 for deflate64) bytes of 'a'.
QByteArray repeatedMatches(bool deflate64, int matches);

// Compressible text of a given size, different for each seed.
QByteArray text(int size, int seed = 1);

} // namespace testzip
