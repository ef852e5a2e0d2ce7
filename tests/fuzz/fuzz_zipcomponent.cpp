// Feeds arbitrary bytes, written to a file, to ZipComponent::ListContents and DeleteEntries. The first
// input byte picks the mask used by the deletion (its low three bits) and the mode (its top bit):
// - top bit clear: the rest is the archive;
// - top bit set: the rest is one entry, written as a zip64 archive whose declared size is huge (2^40 to
//   2^64 - 1): a method byte, eight bytes of declared size (bit 40 always set), then the compressed data.
//   No size from an archive may make the engine allocate, run or write in proportion to it.
//
// Run: fuzz_zipcomponent -max_total_time=600 -rss_limit_mb=2048 <work corpus folder> tests/fuzz/corpus

#include "zip/ZipComponent.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace {

QTemporaryDir* g_dir = nullptr;

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

void put64(QByteArray& b, quint64 v)
{
    put32(b, quint32(v & 0xffffffffu));
    put32(b, quint32(v >> 32));
}

// One entry "a.txt" with the given method, declared size and data, sizes in zip64 fields in both headers.
QByteArray hugeEntryArchive(const uint8_t* data, size_t size)
{
    if (size < 9)
        return {};
    static const quint16 methods[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 12, 14, 93, 95, 98};
    const quint16 method = methods[data[0] % (sizeof methods / sizeof methods[0])];
    quint64 declared = 0;
    for (int i = 0; i < 8; ++i)
        declared |= quint64(data[1 + i]) << (8 * i);
    declared |= quint64(1) << 40;
    const QByteArray packed(reinterpret_cast<const char*>(data) + 9, qsizetype(size - 9));
    const QByteArray name("a.txt");
    QByteArray zip64;
    put16(zip64, 0x0001);
    put16(zip64, 16);
    put64(zip64, declared);
    put64(zip64, quint64(packed.size()));

    QByteArray out;
    put32(out, 0x04034b50);
    put16(out, 45);
    put16(out, 0);
    put16(out, method);
    put32(out, 0);
    put32(out, 0); // CRC-32
    put32(out, 0xffffffffu);
    put32(out, 0xffffffffu);
    put16(out, quint16(name.size()));
    put16(out, quint16(zip64.size()));
    out.append(name).append(zip64).append(packed);
    const quint64 cdAt = quint64(out.size());
    put32(out, 0x02014b50);
    put16(out, 45);
    put16(out, 45);
    put16(out, 0);
    put16(out, method);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0xffffffffu);
    put32(out, 0xffffffffu);
    put16(out, quint16(name.size()));
    put16(out, quint16(zip64.size()));
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put32(out, 0);
    put32(out, 0);
    out.append(name).append(zip64);
    const quint64 cdSize = quint64(out.size()) - cdAt;
    const quint64 zip64EndAt = quint64(out.size());
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, 1);
    put64(out, 1);
    put64(out, cdSize);
    put64(out, cdAt);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, zip64EndAt);
    put32(out, 1);
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, 0xffff);
    put16(out, 0xffff);
    put32(out, 0xffffffffu);
    put32(out, 0xffffffffu);
    put16(out, 0);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    g_dir = new QTemporaryDir();
    return g_dir->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* masks[] = {"*.*", "file_id.diz", "*.txt", "a?c", "*", "readme.txt", "nothing", "*.diz"};
    const QString path = g_dir->filePath("fuzz.zip");
    const bool huge = size > 0 && (data[0] & 0x80);
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        if (huge)
            f.write(hugeEntryArchive(data + 1, size - 1));
        else if (size > 1)
            f.write(reinterpret_cast<const char*>(data) + 1, qint64(size - 1));
    }
    ZipComponent zip;
    zip.ArchivePath = path;
    zip.EntryMask = "*.*";
    const qint16 listed = zip.ListContents();
    zip.EntryMask = masks[size ? data[0] % 8 : 0];
    const qint16 deleted = zip.DeleteEntries();
    // A deletion that went through must leave an archive whose structure and local headers are sound
    // (only the structure is judged).
    if (deleted == ZipSuccess && (listed == ZipSuccess || listed == ZipDataDamaged || listed == ZipHeaderDamaged)) {
        zip.TestData = false;
        zip.EntryMask = "*.*";
        const qint16 again = zip.ListContents();
        if (again != ZipSuccess)
            abort();
    }
    QFile::remove(path);
    return 0;
}
