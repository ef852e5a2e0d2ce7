#include "TestArchives.h"

#include <QFile>
#include <zip.h>
#include <zlib.h>

namespace testzip {

QByteArray rawDeflate(const QByteArray& data)
{
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(data.size()))) + 16, Qt::Uninitialized);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(int(zs.total_out));
    deflateEnd(&zs);
    return out;
}

namespace {

void put16(QByteArray& b, quint16 v)
{
    b.append(char(v & 0xff));
    b.append(char(v >> 8));
}

void put32(QByteArray& b, quint32 v)
{
    put16(b, quint16(v & 0xffff));
    put16(b, quint16(v >> 16));
}

QByteArray buildArchive(const QList<Entry>& entries, const QByteArray& comment, Layout* layout, bool zip64)
{
    QByteArray out;
    QByteArray central;
    const quint16 dosTime = (12 << 11) | (30 << 5);
    const quint16 dosDate = ((2020 - 1980) << 9) | (6 << 5) | 15;
    for (const Entry& e : entries) {
        const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef*>(e.data.constData()), uInt(e.data.size())));
        const QByteArray stored = e.method >= 0 ? e.packed : e.deflate ? rawDeflate(e.data) : e.data;
        const quint16 method = e.method >= 0 ? quint16(e.method) : e.deflate ? 8 : 0;
        const quint16 flags = quint16((e.utf8Flag ? 0x0800 : 0) | e.flags);
        const QByteArray localName = e.localName.isEmpty() ? e.name : e.localName;
        const quint32 offset = quint32(out.size());
        if (layout)
            layout->localHeaderOffsets.append(offset);
        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, flags);
        put16(out, method);
        put16(out, dosTime);
        put16(out, dosDate);
        put32(out, e.streamed ? 0 : crc);
        put32(out, e.streamed ? 0 : zip64 ? 0xffffffffu : quint32(stored.size()));
        put32(out, e.streamed ? 0 : zip64 ? 0xffffffffu : quint32(e.data.size()));
        put16(out, quint16(localName.size()));
        put16(out, zip64 ? 20 : 0);
        out.append(localName);
        if (zip64) {
            put16(out, 0x0001);
            put16(out, 16);
            put32(out, quint32(e.data.size()));
            put32(out, 0);
            put32(out, quint32(stored.size()));
            put32(out, 0);
        }
        if (layout)
            layout->dataOffsets.append(out.size());
        out.append(stored);
        if (e.streamed) {
            put32(out, 0x08074b50);
            put32(out, crc);
            put32(out, quint32(stored.size()));
            put32(out, quint32(e.data.size()));
        }

        put32(central, 0x02014b50);
        put16(central, (3 << 8) | 20); // made by Unix, so the mode in the external attributes counts
        put16(central, 20);
        put16(central, flags);
        put16(central, method);
        put16(central, dosTime);
        put16(central, dosDate);
        put32(central, crc);
        put32(central, zip64 ? 0xffffffffu : quint32(stored.size()));
        put32(central, zip64 ? 0xffffffffu : quint32(e.data.size()));
        put16(central, quint16(e.name.size()));
        put16(central, zip64 ? 28 : 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, quint32(0100644) << 16);
        put32(central, zip64 ? 0xffffffffu : offset);
        central.append(e.name);
        if (zip64) {
            put16(central, 0x0001);
            put16(central, 24);
            put32(central, quint32(e.data.size()));
            put32(central, 0);
            put32(central, quint32(stored.size()));
            put32(central, 0);
            put32(central, offset);
            put32(central, 0);
        }
    }
    const quint32 cdOffset = quint32(out.size());
    if (layout)
        layout->centralDirectoryOffset = cdOffset;
    out.append(central);
    if (zip64) {
        const quint32 recOffset = quint32(out.size());
        put32(out, 0x06064b50);
        put32(out, 44);
        put32(out, 0);
        put16(out, 45);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        for (int i = 0; i < 2; ++i) {
            put32(out, quint32(entries.size()));
            put32(out, 0);
        }
        put32(out, quint32(central.size()));
        put32(out, 0);
        put32(out, cdOffset);
        put32(out, 0);
        put32(out, 0x07064b50);
        put32(out, 0);
        put32(out, recOffset);
        put32(out, 0);
        put32(out, 1);
    }
    if (layout)
        layout->endRecordOffset = out.size();
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, zip64 ? 0xffff : quint16(entries.size()));
    put16(out, zip64 ? 0xffff : quint16(entries.size()));
    put32(out, zip64 ? 0xffffffffu : quint32(central.size()));
    put32(out, zip64 ? 0xffffffffu : cdOffset);
    put16(out, quint16(comment.size()));
    out.append(comment);
    return out;
}

// LSB-first bits, as deflate packs them.
class BitWriter
{
public:
    void put(uint32_t value, int bits)
    {
        for (int i = 0; i < bits; ++i) {
            m_byte |= uint8_t(((value >> i) & 1) << m_count);
            if (++m_count == 8)
                flushByte();
        }
    }
    // Huffman codes go most significant bit first.
    void code(uint32_t code, int bits)
    {
        for (int i = bits - 1; i >= 0; --i)
            put((code >> i) & 1, 1);
    }
    QByteArray bytes()
    {
        if (m_count)
            flushByte();
        return m_out;
    }

private:
    void flushByte()
    {
        m_out.append(char(m_byte));
        m_byte = 0;
        m_count = 0;
    }
    QByteArray m_out;
    uint8_t m_byte = 0;
    int m_count = 0;
};

} // namespace

QByteArray build(const QList<Entry>& entries, const QByteArray& comment, Layout* layout)
{
    return buildArchive(entries, comment, layout, false);
}

QByteArray buildZip64(const QList<Entry>& entries, const QByteArray& comment, Layout* layout)
{
    return buildArchive(entries, comment, layout, true);
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

bool writeZip(const QString& path, const QList<Entry>& entries, const QByteArray& comment)
{
    return write(path, build(entries, comment));
}

bool writeDataDamaged(const QString& path)
{
    Layout layout;
    QByteArray bytes = build({file("first.txt", text(500, 1)), file("second.txt", text(900, 2), false)}, {}, &layout);
    const int at = int(layout.dataOffsets[1]) + 10;
    bytes[at] = char(bytes[at] ^ 1);
    return write(path, bytes);
}

QStringList names(const QString& path, bool* ok)
{
    int err = 0;
    zip_t* za = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &err);
    if (ok)
        *ok = za != nullptr;
    QStringList result;
    if (!za)
        return result;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i)
        result.append(QString::fromUtf8(zip_get_name(za, zip_uint64_t(i), ZIP_FL_ENC_GUESS)));
    zip_discard(za);
    return result;
}

QByteArray content(const QString& path, const QString& name)
{
    int err = 0;
    zip_t* za = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &err);
    if (!za)
        return {};
    QByteArray result;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        if (QString::fromUtf8(zip_get_name(za, zip_uint64_t(i), ZIP_FL_ENC_GUESS)) != name)
            continue;
        zip_stat_t st;
        zip_stat_index(za, zip_uint64_t(i), 0, &st);
        zip_file_t* zf = zip_fopen_index(za, zip_uint64_t(i), 0);
        if (!zf)
            break;
        QByteArray buf(int(st.size), Qt::Uninitialized);
        const zip_int64_t got = zip_fread(zf, buf.data(), zip_uint64_t(buf.size()));
        char extra;
        const bool good = got == zip_int64_t(buf.size()) && zip_fread(zf, &extra, 1) == 0;
        zip_fclose(zf);
        if (good)
            result = buf.isEmpty() ? QByteArray("") : buf;
        break;
    }
    zip_discard(za);
    return result;
}

int count(const QString& path, const QString& name)
{
    return int(names(path).count(name));
}

QByteArray comment(const QString& path)
{
    int err = 0;
    zip_t* za = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &err);
    if (!za)
        return {};
    int len = 0;
    const char* c = zip_get_archive_comment(za, &len, ZIP_FL_ENC_RAW);
    QByteArray result = c ? QByteArray(c, len) : QByteArray();
    zip_discard(za);
    return result;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray text(int size, int seed)
{
    QByteArray out;
    out.reserve(size);
    quint32 x = quint32(seed) * 2654435761u + 1;
    static const char* words[] = {"archive ", "clean ", "folder ", "entry ", "zip ", "purge ", "test\r\n", "data "};
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out.append(words[(x >> 16) & 7]);
    }
    out.truncate(size);
    return out;
}

// One fixed-code block: the literal 'a', then matches of the longest length at distance 1, then the end of
// the block. Little input, much output: deflate64's longest match is 65538 bytes, deflate's 258.
QByteArray repeatedMatches(bool deflate64, int matches)
{
    BitWriter w;
    w.put(1, 1); // last block
    w.put(1, 2); // fixed codes
    w.code(0x30 + 'a', 8);
    for (int i = 0; i < matches; ++i) {
        w.code(0xc0 + (285 - 280), 8); // length code 285
        if (deflate64)
            w.put(65535, 16); // 3 + 65535
        w.code(0, 5);         // distance code 0: distance 1
    }
    w.code(0, 7); // end of block
    return w.bytes();
}

} // namespace testzip
