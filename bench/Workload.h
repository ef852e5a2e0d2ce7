#pragma once
// The speed benchmark's workload, shared by the benchmarks: 300 archives (about 650 MB) of text entries,
// some with purge-listed entries, some double zips, nine truncated, made the same way on every run.

#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <functional>
#include <libdeflate.h>
#include <vector>

namespace workload {

// ---------------------------------------------------------------- generator

struct Block
{
    QByteArray packed;
    quint32 crc = 0;
    quint32 size = 0;
};

inline QByteArray wordsText(QRandomGenerator& rng, int size)
{
    static QList<QByteArray> vocabulary;
    if (vocabulary.isEmpty()) {
        QRandomGenerator v(99);
        for (int i = 0; i < 3000; ++i) {
            QByteArray w;
            const int len = 2 + int(v.bounded(9));
            for (int c = 0; c < len; ++c)
                w.append(char('a' + v.bounded(26)));
            vocabulary << w;
        }
    }
    QByteArray out;
    out.reserve(size + 16);
    while (out.size() < size) {
        out += vocabulary[int(rng.bounded(vocabulary.size()))];
        out += rng.bounded(12) == 0 ? "\r\n" : " ";
        if (rng.bounded(40) == 0)
            out += QByteArray::number(rng.generate());
    }
    out.resize(size);
    return out;
}

inline Block makeBlock(QRandomGenerator& rng, int size)
{
    const QByteArray raw = wordsText(rng, size);
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    Block b;
    b.packed.resize(qsizetype(libdeflate_deflate_compress_bound(c, size_t(raw.size()))));
    b.packed.resize(qsizetype(
        libdeflate_deflate_compress(c, raw.constData(), size_t(raw.size()), b.packed.data(), size_t(b.packed.size()))));
    libdeflate_free_compressor(c);
    b.crc = quint32(libdeflate_crc32(0, raw.constData(), size_t(raw.size())));
    b.size = quint32(raw.size());
    return b;
}

inline void put16(QByteArray& b, quint16 v)
{
    b.append(char(v & 0xff));
    b.append(char(v >> 8));
}
inline void put32(QByteArray& b, quint32 v)
{
    put16(b, quint16(v & 0xffff));
    put16(b, quint16(v >> 16));
}

struct ZipWriter
{
    QByteArray bytes;
    QByteArray central;
    int count = 0;
    void add(const QByteArray& name, const Block& b)
    {
        const quint32 offset = quint32(bytes.size());
        const quint32 dosTime = (quint32((2024 - 1980) << 9 | 3 << 5 | 14) << 16) | (12 << 11);
        put32(bytes, 0x04034b50);
        put16(bytes, 20);
        put16(bytes, 0);
        put16(bytes, 8);
        put32(bytes, dosTime);
        put32(bytes, b.crc);
        put32(bytes, quint32(b.packed.size()));
        put32(bytes, b.size);
        put16(bytes, quint16(name.size()));
        put16(bytes, 0);
        bytes += name;
        bytes += b.packed;
        put32(central, 0x02014b50);
        put16(central, 20);
        put16(central, 20);
        put16(central, 0);
        put16(central, 8);
        put32(central, dosTime);
        put32(central, b.crc);
        put32(central, quint32(b.packed.size()));
        put32(central, b.size);
        put16(central, quint16(name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, offset);
        central += name;
        ++count;
    }
    QByteArray finish()
    {
        const quint32 cdOffset = quint32(bytes.size());
        bytes += central;
        put32(bytes, 0x06054b50);
        put16(bytes, 0);
        put16(bytes, 0);
        put16(bytes, quint16(count));
        put16(bytes, quint16(count));
        put32(bytes, quint32(central.size()));
        put32(bytes, cdOffset);
        put16(bytes, 0);
        return bytes;
    }
};

// What the generator put into one archive, for checking a tool's result.
struct Expect
{
    QString name;
    bool truncated = false;
    bool doubled = false;
    QStringList keep;   // names that must stay (file_id.diz once, whatever the copies)
    QStringList purged; // names that must be gone
    QByteArray description;
};

inline QStringList purgeNames()
{
    QStringList names;
    const char* stems[] = {"advert", "www", "dl", "visit", "spam", "banner", "promo", "nfo_ad", "ripped-by", "site"};
    const char* exts[] = {".txt", ".url", ".nfo", ".htm"};
    for (int i = 0; i < 200; ++i)
        names << QStringLiteral("%1%2%3").arg(stems[i % 10]).arg(i).arg(exts[(i / 10) % 4]);
    return names;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Takes each archive instead of the folder: what the generator put in, the archive before any truncation,
// and the bytes that would be written. False stops the generator.
using ArchiveSink = std::function<bool(const Expect& e, const QByteArray& whole, const QByteArray& bytes)>;

inline QList<Expect> generate(const QString& folder, const ArchiveSink& sink = {})
{
    QRandomGenerator rng(2024);
    const QStringList purge = purgeNames();
    std::vector<Block> big, small, tiny;
    for (int i = 0; i < 24; ++i)
        big.push_back(makeBlock(rng, 1024 * 1024 + int(rng.bounded(1024 * 1024))));
    for (int i = 0; i < 200; ++i)
        small.push_back(makeBlock(rng, 1000 + int(rng.bounded(40000))));
    for (int i = 0; i < 300; ++i)
        tiny.push_back(makeBlock(rng, 40 + int(rng.bounded(400))));
    const QByteArray descriptionText = "  Some release 1.0\r\n  [########]\r\n";
    const Block description = [&] {
        QRandomGenerator r(1);
        Block b;
        libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        b.packed.resize(256);
        b.packed.resize(qsizetype(libdeflate_deflate_compress(c, descriptionText.constData(),
                                                              size_t(descriptionText.size()), b.packed.data(), 256)));
        libdeflate_free_compressor(c);
        b.crc = quint32(libdeflate_crc32(0, descriptionText.constData(), size_t(descriptionText.size())));
        b.size = quint32(descriptionText.size());
        return b;
    }();

    QList<Expect> out;
    QDir().mkpath(folder);
    for (int a = 0; a < 300; ++a) {
        Expect e;
        e.name = QStringLiteral("arc%1.zip").arg(a, 3, 10, QLatin1Char('0'));
        e.description = descriptionText;
        ZipWriter w;
        const int kind = a % 20; // 14 of 20 small, 5 of 20 large, 1 of 20 with many tiny entries
        if (kind < 14) {
            const int n = 5 + int(rng.bounded(36));
            for (int i = 0; i < n; ++i) {
                const QString name = QStringLiteral("docs/file%1.txt").arg(i);
                w.add(name.toUtf8(), small[rng.bounded(int(small.size()))]);
                e.keep << name;
            }
        } else if (kind < 19) {
            const double u = rng.generateDouble();
            const qint64 target = qint64((5.0 + 15.0 * u * u * u * u) * 1024 * 1024);
            int i = 0;
            while (w.bytes.size() < target) {
                const QString name = QStringLiteral("data/part%1.bin").arg(i++);
                w.add(name.toUtf8(), big[rng.bounded(int(big.size()))]);
                e.keep << name;
            }
        } else {
            const int n = 5000 + int(rng.bounded(1000));
            for (int i = 0; i < n; ++i) {
                const QString name = QStringLiteral("src/m%1/f%2.c").arg(i / 100).arg(i);
                w.add(name.toUtf8(), tiny[rng.bounded(int(tiny.size()))]);
                e.keep << name;
            }
        }
        if (a % 3 == 0) {
            const int n = 1 + int(rng.bounded(3));
            for (int i = 0; i < n; ++i) {
                QString name = purge[rng.bounded(purge.size())];
                if (e.purged.contains(name))
                    continue;
                if (i == 1)
                    name = name.toUpper(); // the list is matched ignoring letter case
                w.add(name.toUtf8(), small[rng.bounded(int(small.size()))]);
                e.purged << name;
            }
        }
        w.add("file_id.diz", description);
        e.keep << QStringLiteral("file_id.diz");
        if (a % 20 == 7) {
            w.add("file_id.diz", description);
            e.doubled = true;
        }
        QByteArray bytes = w.finish();
        const QByteArray whole = bytes;
        if (a % 33 == 5) {
            bytes.resize(bytes.size() * 6 / 10);
            e.truncated = true;
        }
        if (sink ? !sink(e, whole, bytes) : !writeFile(folder + u'/' + e.name, bytes))
            return {};
        out << e;
    }
    QFile list(folder + QStringLiteral("/../purge.txt"));
    list.open(QIODevice::WriteOnly);
    for (const QString& p : purge)
        list.write(p.toUtf8() + "\r\n");
    return out;
}

} // namespace workload
