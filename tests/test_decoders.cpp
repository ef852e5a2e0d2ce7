// Every compression method through the decoders and through ZipComponent: real archives of each method
// pass, a flipped byte or a changed CRC is damage, hostile input is refused with a result code.

#include "testsupport/LegacyEncoders.h"
#include "testsupport/TestArchives.h"
#include "zip/Decoders.h"
#include "zip/ZipComponent.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <lzma.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

namespace {

struct Packed
{
    int method = -1;
    quint16 flags = 0;
    QByteArray data;
};

// Text with runs of binary noise, so every method meets both.
QByteArray sample(int size, int seed)
{
    QByteArray d = testzip::text(size, seed);
    QRandomGenerator rng{quint32(seed)};
    for (int at = 0; at + 300 < d.size(); at += 7000)
        for (int i = 0; i < 300; ++i)
            d[at + i] = char(rng.bounded(256));
    return d;
}

// The one entry of an archive 7-Zip writes with the given switches, as method, flags and raw data.
Packed by7zipWith(const QStringList& switches, const QByteArray& data)
{
    QTemporaryDir dir;
    testzip::write(dir.filePath("f.txt"), data);
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start("7zz", QStringList{"a", "-tzip"} + switches + QStringList{"a.zip", "f.txt"});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return {};
    const QByteArray z = testzip::readAll(dir.filePath("a.zip"));
    auto u16 = [&](int at) { return quint16(quint8(z[at]) | quint8(z[at + 1]) << 8); };
    auto u32 = [&](int at) { return quint32(u16(at)) | quint32(u16(at + 2)) << 16; };
    const int start = 30 + u16(26) + u16(28);
    return {u16(8), u16(6), z.mid(start, int(u32(18)))};
}

Packed by7zip(const QString& method, const QByteArray& data)
{
    return by7zipWith({"-mm=" + method}, data);
}

// Caps this process's address space at what it uses now plus headroom; for a child process only.
bool capAddressSpace(qint64 headroom)
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return false;
    const qint64 pages = statm.readAll().split(' ').value(0).toLongLong();
    const rlimit cap{rlim_t(pages * sysconf(_SC_PAGESIZE) + headroom),
                     rlim_t(pages * sysconf(_SC_PAGESIZE) + headroom)};
    return pages > 0 && setrlimit(RLIMIT_AS, &cap) == 0;
}

QByteArray xz(const QByteArray& data)
{
    QByteArray out(int(lzma_stream_buffer_bound(size_t(data.size()))), Qt::Uninitialized);
    size_t pos = 0;
    lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(data.constData()),
                            size_t(data.size()), reinterpret_cast<uint8_t*>(out.data()), &pos, size_t(out.size()));
    out.resize(qsizetype(pos));
    return out;
}

QByteArray zstd(const QByteArray& data)
{
    QByteArray out(int(ZSTD_compressBound(size_t(data.size()))), Qt::Uninitialized);
    out.resize(qsizetype(ZSTD_compress(out.data(), size_t(out.size()), data.constData(), size_t(data.size()), 3)));
    return out;
}

// Raw deflate from zlib; level 0 gives stored blocks, which deflate64 shares.
QByteArray deflated(const QByteArray& data, int level)
{
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(data.size()))), Qt::Uninitialized);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(qsizetype(zs.total_out));
    deflateEnd(&zs);
    return out;
}

quint32 crcOf(const QByteArray& d)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(d.constData()), uInt(d.size())));
}

int decode(const Packed& p, const QByteArray& raw, quint64 size, quint32 crc, QByteArray* out = nullptr,
           const zipdecode::ProgressFn& progress = {})
{
    qint64 at = 0;
    const zipdecode::ReadFn read = [&](char* dest, qint64 max) {
        const qint64 n = std::min<qint64>(max, raw.size() - at);
        memcpy(dest, raw.constData() + at, size_t(n));
        at += n;
        return n;
    };
    const zipdecode::Sink sink = [&](const char* d, qint64 n) {
        if (out)
            out->append(d, n);
        return true;
    };
    return zipdecode::decodeEntryData(quint16(p.method), p.flags, read, quint64(raw.size()), size, crc, sink, progress);
}

void methods()
{
    QTest::addColumn<Packed>("packed");
    QTest::addColumn<QByteArray>("data");
    const QByteArray big = sample(300000, 7); // fills the shrink table more than once
    const QByteArray text = sample(60000, 3);
    QTest::newRow("shrink") << Packed{1, 0, testzip::shrink(big)} << big;
    for (int f = 1; f <= 4; ++f)
        QTest::addRow("reduce, factor %d", f) << Packed{f + 1, 0, testzip::reduce(text, f)} << text;
    for (int flags : {0, 2, 4, 6})
        QTest::addRow("implode, flags %d", flags)
            << Packed{6, quint16(flags), testzip::implode(big, flags & 2, flags & 4)} << big;
    QTest::newRow("deflate, stored blocks as deflate64") << Packed{9, 0, deflated(text, 0)} << text;
    QTest::newRow("deflate64 (7-Zip)") << by7zip("Deflate64", big) << big;
    QTest::newRow("bzip2 (7-Zip)") << by7zip("BZip2", big) << big;
    QTest::newRow("LZMA (7-Zip)") << by7zip("LZMA", big) << big;
    QTest::newRow("xz") << Packed{95, 0, xz(big)} << big;
    QTest::newRow("zstd") << Packed{93, 0, zstd(big)} << big;
    QTest::newRow("PPMd (7-Zip)") << by7zip("PPMd", big) << big;
}

// A sample without long repeats: a dynamic block whose codes are mostly literals, valid as deflate64 too.
QByteArray literalText(int size)
{
    QRandomGenerator rng(11);
    const QByteArray alphabet("eeeeeettttaaaoooiinnsshrdlu \n");
    QByteArray d(size, Qt::Uninitialized);
    for (char& c : d)
        c = alphabet[int(rng.bounded(alphabet.size()))];
    return d;
}

// A zstd frame without its content size, so its header carries a window descriptor (byte 5).
QByteArray zstdWithWindow(const QByteArray& data)
{
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    QByteArray out(int(ZSTD_compressBound(size_t(data.size()))), Qt::Uninitialized);
    out.resize(qsizetype(ZSTD_compress2(c, out.data(), size_t(out.size()), data.constData(), size_t(data.size()))));
    ZSTD_freeCCtx(c);
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Packed)

class TestDecoders : public QObject
{
    Q_OBJECT
private slots:
    void decodesExactly_data() { methods(); }
    void decodesExactly()
    {
        QFETCH(Packed, packed);
        QFETCH(QByteArray, data);
        QVERIFY2(packed.method >= 0, "the archive could not be made");
        QVERIFY(zipdecode::canDecode(quint16(packed.method)));
        QByteArray out;
        QCOMPARE(decode(packed, packed.data, quint64(data.size()), crcOf(data), &out), 0);
        QVERIFY(out == data);
        // A size one short: more output than declared is damage, and stops there.
        QCOMPARE(decode(packed, packed.data, quint64(data.size() - 1), crcOf(data)), 200);
        // Cut short: the stream runs out before its end.
        const int rc = decode(packed, packed.data.left(packed.data.size() / 2), quint64(data.size()), crcOf(data));
        QVERIFY2(rc == 200 || rc == 410, QByteArray::number(rc));
        // Progress returning false aborts.
        QCOMPARE(decode(packed, packed.data, quint64(data.size()), crcOf(data), nullptr, [](qint64) { return false; }),
                 1);
    }

    void archivesPassAndDamageIsFound_data() { methods(); }
    void archivesPassAndDamageIsFound()
    {
        QFETCH(Packed, packed);
        QFETCH(QByteArray, data);
        QTemporaryDir dir;
        testzip::Layout layout;
        const QByteArray good =
            testzip::build({testzip::file("a.txt", "first"),
                            testzip::packedFile("b.dat", data, packed.method, packed.data, packed.flags)},
                           {}, &layout);
        ZipComponent zip;
        auto verdict = [&](const QByteArray& bytes) {
            testzip::write(dir.filePath("t.zip"), bytes);
            zip.ArchivePath = dir.filePath("t.zip");
            zip.EntryMask = "*.*";
            return zip.ListContents();
        };
        QCOMPARE(verdict(good), qint16(0));
        // One flipped byte in the middle of the compressed data.
        QByteArray flipped = good;
        const qint64 at = layout.dataOffsets[1] + packed.data.size() / 2;
        flipped[at] = char(flipped[at] ^ 0x24);
        const qint16 rc = verdict(flipped);
        QVERIFY2(rc == 200 || rc == 410, QByteArray::number(rc));
        // The CRC changed in both headers (in one only, the headers contradict each other: 410).
        QByteArray badCrc = good;
        for (const qint64 crcAt : {layout.centralDirectoryOffset + 46 + 5 + 16, // second record: after "a.txt"'s
                                   layout.localHeaderOffsets[1] + 14})
            badCrc[crcAt] = char(badCrc[crcAt] ^ 1);
        QCOMPARE(verdict(badCrc), qint16(200));
        // Extraction writes the exact bytes.
        zip.ExtractFolder = dir.filePath("out");
        zip.EntryMask = "b.dat";
        testzip::write(dir.filePath("t.zip"), good);
        QCOMPARE(zip.ExtractEntries(0), qint16(0));
        QVERIFY(testzip::readAll(dir.filePath("out/b.dat")) == data);
    }

    // Random bytes as every method: a result code, never a crash, a hang or a false success.
    void hostileInputIsRefused_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("flags");
        for (int m : {1, 2, 3, 4, 5, 6, 8, 9, 12, 14, 93, 95, 98})
            for (int flags : {0, 6})
                QTest::addRow("method %d, flags %d", m, flags) << m << flags;
    }
    void hostileInputIsRefused()
    {
        QFETCH(int, method);
        QFETCH(int, flags);
        QRandomGenerator rng(quint32(method * 7 + flags));
        for (int round = 0; round < 40; ++round) {
            QByteArray raw(int(rng.bounded(1, 2000)), Qt::Uninitialized);
            for (char& c : raw)
                c = char(rng.bounded(256));
            // A huge declared size must not make any decoder allocate or run in proportion to it.
            const int rc = decode(Packed{method, quint16(flags), {}}, raw, quint64(1) << 40, 0x12345678);
            QVERIFY2(rc == 200 || rc == 410 || rc == -1, QByteArray::number(rc));
        }
    }

    // An empty entry with no data is sound whatever its method; a CRC other than that of nothing is not.
    void emptyEntryPasses_data() { hostileInputIsRefused_data(); }
    void emptyEntryPasses()
    {
        QFETCH(int, method);
        QFETCH(int, flags);
        QCOMPARE(decode(Packed{method, quint16(flags), {}}, {}, 0, 0), 0);
        QCOMPARE(decode(Packed{method, quint16(flags), {}}, {}, 0, 1), 200);
    }

    // A stream cut short, with a declared size no stream this small can reach: every own decoder stops
    // soon after the end of its input, and calls it undecodable (410), not a size mismatch.
    void cutOffStreamIsUndecodable_data()
    {
        QTest::addColumn<Packed>("packed");
        const QByteArray big = sample(300000, 7);
        const QByteArray text = sample(60000, 3);
        QTest::newRow("deflate, literals after the end") << Packed{8, 0, deflated(literalText(200000), 6)};
        QTest::newRow("deflate64, literals after the end") << Packed{9, 0, deflated(literalText(200000), 6)};
        QTest::newRow("deflate64 (7-Zip)") << by7zip("Deflate64", big);
        QTest::newRow("shrink") << Packed{1, 0, testzip::shrink(big)};
        QTest::newRow("reduce, factor 4") << Packed{5, 0, testzip::reduce(text, 4)};
        QTest::newRow("implode, 8K window, literal tree") << Packed{6, 6, testzip::implode(big, true, true)};
    }
    void cutOffStreamIsUndecodable()
    {
        QFETCH(Packed, packed);
        QVERIFY2(packed.method >= 0, "the archive could not be made");
        const QByteArray cut = packed.data.left(packed.data.size() / 2);
        QCOMPARE(decode(packed, cut, quint64(1) << 40, 0), 410);
    }

    // Output that keeps coming without more input still passes progress points: an abort is heard.
    void abortIsHeardWhileOutputGrows_data()
    {
        QTest::addColumn<Packed>("packed");
        QTest::newRow("deflate64, 64 matches of 65538 bytes") << Packed{9, 0, testzip::repeatedMatches(true, 64)};
        QTest::newRow("deflate, 20000 matches of 258 bytes") << Packed{8, 0, testzip::repeatedMatches(false, 20000)};
    }
    void abortIsHeardWhileOutputGrows()
    {
        QFETCH(Packed, packed);
        // The stream is sound: it decodes to the bytes it promises.
        const bool d64 = packed.method == 9;
        const quint64 size = 1 + quint64(d64 ? 64 * 65538 : 20000 * 258);
        QByteArray out;
        QCOMPARE(decode(packed, packed.data, size, crcOf(QByteArray(qsizetype(size), 'a')), &out), 0);
        QCOMPARE(quint64(out.size()), size);
        // All of its input is read before the first output; the first point after it stops the decoder.
        qint64 read = 0;
        int pointsAfterInput = 0;
        const zipdecode::ProgressFn progress = [&](qint64 n) {
            read += n;
            if (read == packed.data.size() && n == 0)
                ++pointsAfterInput;
            return pointsAfterInput == 0;
        };
        QCOMPARE(decode(packed, packed.data, quint64(1) << 40, 0, nullptr, progress), 1);
        QCOMPARE(pointsAfterInput, 1);
    }

    // A zstd window the format cannot have is damage; one merely above our memory limit is untested.
    void zstdWindowIsJudged_data()
    {
        QTest::addColumn<int>("windowLog");
        QTest::addColumn<int>("expected");
        QTest::newRow("window log 41, above zstd's maximum") << 41 << 410;
        QTest::newRow("window log 32, above zstd's maximum") << 32 << 410;
        QTest::newRow("window log 30, above our memory limit") << 30 << -1;
        QTest::newRow("window log 20, decodes") << 20 << 0;
    }
    void zstdWindowIsJudged()
    {
        QFETCH(int, windowLog);
        QFETCH(int, expected);
        const QByteArray data = sample(50000, 5);
        QByteArray frame = zstdWithWindow(data);
        QVERIFY(frame.size() > 6 && !(quint8(frame[4]) & 0x20) && (quint8(frame[4]) & 3) == 0);
        frame[5] = char((windowLog - 10) << 3);
        QCOMPARE(decode(Packed{93, 0, {}}, frame, quint64(data.size()), crcOf(data)), expected);
    }

    // A single-segment frame's window is its content size: larger than the entry is damage.
    void zstdContentLargerThanEntryIsDamage()
    {
        const QByteArray data = sample(100000, 5);
        QByteArray frame = zstd(data);
        const quint8 descriptor = quint8(frame[4]);
        QVERIFY((descriptor & 0x20) && (descriptor >> 6) == 2 && (descriptor & 3) == 0); // 4-byte content size
        frame[5] = frame[6] = frame[7] = 0;
        frame[8] = 0x40; // 1 GiB
        QCOMPARE(decode(Packed{93, 0, {}}, frame, quint64(data.size()), crcOf(data)), 410);
    }

    // PPMd whose model does not fit in memory is untested, never damage: run in a child process whose
    // address space is capped below the model's size.
    void ppmdOutOfMemoryIsUntested()
    {
        const QByteArray childData = qgetenv("TAMSOREL_PPMD_CHILD");
        if (!childData.isEmpty()) {
            const QByteArray packed = testzip::readAll(QString::fromLocal8Bit(childData));
            const QByteArray data = sample(100000, 9);
            QVERIFY(capAddressSpace(64 << 20));
            QCOMPARE(decode(Packed{98, 0, {}}, packed, quint64(data.size()), crcOf(data)), -1);
            return;
        }
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the address sanitizer's shadow memory does not fit under an address space cap");
#endif
        const QByteArray data = sample(100000, 9);
        Packed packed = by7zipWith({"-mm=PPMd", "-mo=8"}, data);
        QVERIFY2(packed.method == 98, "the archive could not be made");
        // The model's size (in MiB, less one) is bits 4 to 11 of the stream's first word: made 256 MiB, more
        // than the child may have. A model larger than the writer's decodes the same while neither fills.
        const quint16 word = quint16(quint8(packed.data[0]) | quint8(packed.data[1]) << 8);
        const quint16 big = quint16((word & 0xf00f) | (255 << 4));
        packed.data[0] = char(big & 0xff);
        packed.data[1] = char(big >> 8);
        QCOMPARE(decode(packed, packed.data, quint64(data.size()), crcOf(data)), 0); // sound where memory suffices
        QTemporaryDir dir;
        QVERIFY(testzip::write(dir.filePath("ppmd.bin"), packed.data));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TAMSOREL_PPMD_CHILD", dir.filePath("ppmd.bin"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"ppmdOutOfMemoryIsUntested"});
        QVERIFY(child.waitForFinished(60000));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, child.readAllStandardOutput());
    }

    // Methods without a decoder (here IBM TERSE, 18): listed, untested, never damage; extraction is refused.
    void otherMethodsAreListedUntested()
    {
        QVERIFY(!zipdecode::canDecode(18));
        QTemporaryDir dir;
        const QString path = dir.filePath("t.zip");
        QVERIFY(testzip::writeZip(path, {testzip::packedFile("t.txt", "text", 18, "\x01\x02\x03")}));
        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "*.*";
        QCOMPARE(zip.ListContents(), qint16(0));
        zip.ExtractFolder = dir.filePath("out");
        QCOMPARE(zip.ExtractEntries(0), qint16(ZipOtherError));
        QVERIFY(!QFile::exists(dir.filePath("out/t.txt")));
    }
};

QTEST_GUILESS_MAIN(TestDecoders)
#include "test_decoders.moc"
