// Where the archive of a file begins and ends: the one whose end record ends the file is read, whatever
// lies in front of it (another archive, a stray local header) or behind it (padding), and a rewrite keeps
// those bytes as they were; an archive stored inside a truncated one, and entries whose bytes overlap,
// are damage.

#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <zlib.h>

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

quint32 crcOf(const QByteArray& data)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
}

// The fixed fields both headers share for a stored entry: version, flags, method, time, CRC, sizes, name length.
QByteArray storedFields(const QByteArray& name, const QByteArray& data)
{
    QByteArray b;
    put16(b, 20);
    put16(b, 0);
    put16(b, 0);
    put32(b, 0x3c210000);
    put32(b, crcOf(data));
    put32(b, quint32(data.size()));
    put32(b, quint32(data.size()));
    put16(b, quint16(name.size()));
    return b;
}

QByteArray localHeader(const QByteArray& name, const QByteArray& data)
{
    QByteArray b("PK\x03\x04", 4);
    b += storedFields(name, data);
    put16(b, 0);
    return b + name;
}

QByteArray centralRecord(const QByteArray& name, const QByteArray& data, quint32 offset)
{
    QByteArray b("PK\x01\x02", 4);
    put16(b, 20);
    b += storedFields(name, data);
    for (int i = 0; i < 4; ++i)
        put16(b, 0); // extra, comment, disk, internal attributes
    put32(b, 0);
    put32(b, offset);
    return b + name;
}

QByteArray endRecord(int count, qint64 cdSize, qint64 cdOffset)
{
    QByteArray b("PK\x05\x06", 4);
    put32(b, 0);
    put16(b, quint16(count));
    put16(b, quint16(count));
    put32(b, quint32(cdSize));
    put32(b, quint32(cdOffset));
    put16(b, 0);
    return b;
}

// The non-recursive zip bomb's construction: ads.txt, then n stored entries whose data each holds the local
// headers of those after it and a shared kernel, every CRC-32 right. Each entry is valid on its own.
QByteArray overlappingEntries(int n, const QByteArray& kernel)
{
    QByteArray chain = kernel;
    QList<QByteArray> names;
    QList<QByteArray> datas;
    for (int i = n - 1; i >= 0; --i) {
        const QByteArray name = "part" + QByteArray::number(i) + ".txt";
        names.prepend(name);
        datas.prepend(chain);
        chain = localHeader(name, chain) + chain;
    }
    const QByteArray ads = "buy now\r\n";
    QByteArray file = localHeader("ads.txt", ads) + ads;
    QByteArray central = centralRecord("ads.txt", ads, 0);
    qint64 at = file.size();
    for (int i = 0; i < n; ++i) {
        central += centralRecord(names[i], datas[i], quint32(at));
        at += 30 + names[i].size();
    }
    return file + chain + central + endRecord(n + 1, central.size(), file.size() + chain.size());
}

// Two central records for one local header (a double zip written by a faulty tool).
QByteArray oneHeaderTwoRecords()
{
    const QByteArray diz = "A fine description\r\n";
    const QByteArray ads = "buy now\r\n";
    QByteArray file = localHeader("file_id.diz", diz) + diz;
    const qint64 adsAt = file.size();
    file += localHeader("ads.txt", ads) + ads;
    const QByteArray central = centralRecord("file_id.diz", diz, 0) + centralRecord("file_id.diz", diz, 0) +
                               centralRecord("ads.txt", ads, quint32(adsAt));
    return file + central + endRecord(3, central.size(), file.size());
}

// unzip's verdict; -1 when unzip is not installed.
int unzipTest(const QString& path)
{
    if (QStandardPaths::findExecutable("unzip").isEmpty())
        return -1;
    QProcess p;
    p.start("unzip", {"-tqq", path});
    p.waitForFinished(60000);
    return p.exitCode();
}

QByteArray incompressible(int size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = char(seed >> 23);
    }
    return b;
}

} // namespace

class TestZipExtent : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void archiveThatEndsTheFileIsRead_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<qint64>("before"); // bytes in front of the archive, kept by a purge
        QTest::addColumn<qint64>("behind"); // bytes behind its end record, kept too

        const QByteArray a = testzip::build(
            {testzip::file("a1.txt", testzip::text(3000, 1)), testzip::file("ads.txt", "first archive's ad\r\n")});
        const QList<testzip::Entry> bEntries{testzip::file("b1.txt", testzip::text(2000, 2)),
                                             testzip::file("ads.txt", "buy now\r\n"),
                                             testzip::file("b2.txt", testzip::text(700, 3), false)};
        const QStringList bNames{"b1.txt", "ads.txt", "b2.txt"};
        const QByteArray b = testzip::build(bEntries);
        QList<testzip::Entry> bigEntries = bEntries;
        bigEntries.append(testzip::file("big.bin", incompressible(80000, 7), false));
        const QByteArray big = testzip::build(bigEntries);
        const QByteArray junk = "\r\n-- \r\nsent from a mail gateway\r\n";

        QTest::newRow("b under 64 KiB behind a") << a + b << bNames << qint64(a.size()) << qint64(0);
        QTest::newRow("b over 64 KiB behind a")
            << a + big << bNames + QStringList{"big.bin"} << qint64(a.size()) << qint64(0);
        QTest::newRow("b behind a, junk behind b") << a + b + junk << bNames << qint64(a.size()) << qint64(junk.size());
        QTest::newRow("a stray local header in front of the first entry")
            << b.left(100) + b << bNames << qint64(100) << qint64(0);
        const qint64 pad = (128 - b.size() % 128) % 128 + 128;
        QTest::newRow("XMODEM padding behind the end record")
            << b + QByteArray(pad, '\x1a') << bNames << qint64(0) << pad;
        const QByteArray withInner =
            testzip::build({testzip::file("ads.txt", "buy now\r\n"), testzip::file("inner.zip", a, false)});
        QTest::newRow("an archive stored as the last entry")
            << withInner << QStringList{"ads.txt", "inner.zip"} << qint64(0) << qint64(0);
    }

    // The purge removes the archive's own ads.txt only; everything around the archive stays as it was and
    // the result reads as the same archive less that entry.
    void archiveThatEndsTheFileIsRead()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, names);
        QFETCH(qint64, before);
        QFETCH(qint64, behind);
        const QString path = m_dir.filePath("c.zip");
        QVERIFY(testzip::write(path, bytes));
        const int unzipBefore = unzipTest(path);

        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "*.*";
        QStringList listed;
        connect(&zip, &ZipComponent::Listing, this, [&](const QString& n) { listed.append(n); });
        QCOMPARE(int(zip.ListContents()), 0);
        QCOMPARE(listed, names);

        zip.EntryMask = "ads.txt";
        QCOMPARE(int(zip.DeleteEntries()), 0);
        const QByteArray after = testzip::readAll(path);
        QCOMPARE(after.left(before), bytes.left(before));
        QCOMPARE(after.right(behind), bytes.right(behind));
        QVERIFY(after.size() < bytes.size());

        listed.clear();
        zip.EntryMask = "*.*";
        QCOMPARE(int(zip.ListContents()), 0);
        names.removeAll("ads.txt");
        QCOMPARE(listed, names);
        QCOMPARE(unzipTest(path), unzipBefore);
    }

    void archiveInsideAnotherIsDamage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray inner = testzip::build({testzip::file("inner.txt", "inside")}, "inner");
        const QByteArray stubbed = QByteArray("MZ self-extractor\r\n") + QByteArray(300, '\0') + inner;
        for (const auto& [name, stored] : {std::pair{"truncated, a stored archive with a stub of its own", stubbed},
                                           std::pair{"truncated, a stored archive with a comment", inner}}) {
            testzip::Layout l;
            const QByteArray outer = testzip::build({testzip::file("big.txt", testzip::text(100000, 5)),
                                                     testzip::file("inner.zip", stored, false),
                                                     testzip::file("after.bin", incompressible(5000, 6), false)},
                                                    {}, &l);
            QTest::newRow(name) << outer.left(l.dataOffsets[1] + stored.size());
            QTest::newRow(qPrintable(QString(name) + ", cut in the next entry"))
                << outer.left(l.dataOffsets[1] + stored.size() + 1000);
        }
    }

    // The last end record is the stored archive's, but that archive lies inside an entry of the file: the
    // file is a damaged archive, never rewritten.
    void archiveInsideAnotherIsDamage()
    {
        QFETCH(QByteArray, bytes);
        const QString path = m_dir.filePath("t.zip");
        QVERIFY(testzip::write(path, bytes));
        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "*.*";
        QCOMPARE(int(zip.ListContents()), int(ZipStructureDamaged));
        zip.EntryMask = "inner.txt";
        QCOMPARE(int(zip.DeleteEntries()), int(ZipStructureDamaged));
        QCOMPARE(testzip::readAll(path), bytes);
    }

    void overlappingEntriesAreDamage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("expected");
        QTest::newRow("100 stored entries, each holding the ones after it")
            << overlappingEntries(100, testzip::text(10000, 4)) << int(ZipStructureDamaged);
        QTest::newRow("two central records for one local header") << oneHeaderTwoRecords() << int(ZipStructureDamaged);
        QTest::newRow("entries back to back")
            << testzip::build({testzip::file("x.txt", testzip::text(3000, 1)), testzip::file("ads.txt", "ad")}) << 0;
        QTest::newRow("data descriptors between entries")
            << testzip::build({testzip::streamedFile("x.txt", testzip::text(3000, 1)),
                               testzip::streamedFile("ads.txt", "ad"), testzip::streamedFile("y.txt", "why")})
            << 0;
        QTest::newRow("one entry") << testzip::build({testzip::file("ads.txt", "ad")}) << 0;
    }

    // Neither the test nor a purge goes over the shared bytes once per entry: the archive is refused first.
    void overlappingEntriesAreDamage()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, expected);
        const QString path = m_dir.filePath("o.zip");
        QVERIFY(testzip::write(path, bytes));
        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "*.*";
        QCOMPARE(int(zip.ListContents()), expected);
        zip.EntryMask = "ads.txt";
        QCOMPARE(int(zip.DeleteEntries()), expected);
        if (expected != 0)
            QCOMPARE(testzip::readAll(path), bytes);
        else
            QVERIFY(testzip::readAll(path).size() < bytes.size());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestZipExtent)
#include "test_zipextent.moc"
