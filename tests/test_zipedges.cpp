// Archives as other writers make them: data in front of the first entry, literal all-ones fields, end
// records inside comments, disk numbers, and local headers that contradict the central directory. Valid
// ones must read as valid and survive a rewrite byte for byte; contradicting ones are damage.

#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <tuple>
#include <zlib.h>

using testzip::Entry;

namespace {

quint32 get32(const QByteArray& b, qint64 at)
{
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16 |
           quint32(quint8(b[at + 3])) << 24;
}
quint16 get16(const QByteArray& b, qint64 at)
{
    return quint16(quint8(b[at]) | quint8(b[at + 1]) << 8);
}
void put32At(QByteArray& b, qint64 at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xff);
}
void put16At(QByteArray& b, qint64 at, quint16 v)
{
    b[at] = char(v & 0xff);
    b[at + 1] = char(v >> 8);
}

// The archive's own end record: the first one, as comments here may hold others.
qint64 endRecord(const QByteArray& b)
{
    return b.indexOf(QByteArray("PK\x05\x06", 4));
}

// Positions of the central records, from the end record's offset shifted by shift.
QList<qint64> centralRecords(const QByteArray& b, qint64 shift = 0)
{
    QList<qint64> out;
    const qint64 end = endRecord(b);
    qint64 pos = qint64(get32(b, end + 16)) + shift;
    int count = get16(b, end + 10);
    if (pos - shift == 0xffffffff) { // zip64 end record (offsets below 4 GiB here)
        const qint64 end64 = b.indexOf(QByteArray("PK\x06\x06", 4));
        pos = qint64(get32(b, end64 + 48)) + shift;
        count = int(get32(b, end64 + 32));
    }
    for (int i = 0; i < count; ++i) {
        out.append(pos);
        pos += 46 + get16(b, pos + 28) + get16(b, pos + 30) + get16(b, pos + 32);
    }
    return out;
}

// Where a central record's local header offset lies: its 32-bit field, or the zip64 field's last value.
qint64 offsetAt(const QByteArray& b, qint64 record)
{
    if (get32(b, record + 42) != 0xffffffffu)
        return record + 42;
    qint64 at = record + 46 + get16(b, record + 28);
    while (get16(b, at) != 0x0001)
        at += 4 + get16(b, at + 2);
    return at + 4 + get16(b, at + 2) - 8;
}

qint64 storedOffset(const QByteArray& b, qint64 record)
{
    return get32(b, offsetAt(b, record)); // offsets below 4 GiB here
}

// The central records with their offsets blanked: what a rewrite must keep as it was.
QList<QByteArray> recordsWithoutOffsets(const QByteArray& b, qint64 shift)
{
    QList<QByteArray> out;
    for (qint64 pos : centralRecords(b, shift)) {
        QByteArray r = b.mid(pos, 46 + get16(b, pos + 28) + get16(b, pos + 30) + get16(b, pos + 32));
        put32At(r, offsetAt(b, pos) - pos, 0);
        out.append(r);
    }
    return out;
}

const QByteArray kStub = QByteArray("#!/bin/sh\necho self-extracting\nexit 0\n") + QByteArray(600, '\x90');

// A stub in front of an archive whose offsets count it, as `zip -A` leaves them.
QByteArray stubCounted(const QByteArray& zip)
{
    QByteArray b = kStub + zip;
    const qint64 shift = kStub.size();
    for (qint64 pos : centralRecords(b, shift))
        put32At(b, pos + 42, get32(b, pos + 42) + quint32(shift));
    const qint64 end = endRecord(b);
    put32At(b, end + 16, get32(b, end + 16) + quint32(shift));
    return b;
}

QList<Entry> entries()
{
    return {testzip::file("readme.txt", testzip::text(3000, 1)), testzip::file("ads.txt", "buy now\r\n"),
            testzip::file("file_id.diz", "A fine description\r\n", false)};
}

// The plain test archive with a data descriptor after its first entry's data, promised by the local
// header and maybe the central record; the local CRC is then left wrong, as streaming writers may.
QByteArray withDescriptor(bool central)
{
    testzip::Layout l;
    QByteArray b = testzip::build(entries(), {}, &l);
    const QList<qint64> records = centralRecords(b);
    const QByteArray descriptor = QByteArray("PK\x07\x08", 4) + b.mid(records[0] + 16, 12);
    for (qint64 pos : records.mid(1))
        put32At(b, pos + 42, get32(b, pos + 42) + 16);
    put32At(b, endRecord(b) + 16, get32(b, endRecord(b) + 16) + 16);
    put16At(b, l.localHeaderOffsets[0] + 6, 0x0008);
    put16At(b, records[0] + 8, central ? 0x0008 : 0);
    put32At(b, l.localHeaderOffsets[0] + 14, 0x12345678);
    b.insert(l.localHeaderOffsets[1], descriptor);
    return b;
}

// unzip's verdict on an archive; -1 when unzip is not installed.
int unzipTest(const QString& path)
{
    if (QStandardPaths::findExecutable("unzip").isEmpty())
        return -1;
    QProcess p;
    p.start("unzip", {"-tqq", path});
    p.waitForFinished(60000);
    return p.exitCode();
}

} // namespace

class TestZipEdges : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void validArchivesReadAndRewriteFaithfully_data();
    void validArchivesReadAndRewriteFaithfully();
    void contradictionsAreDamage_data();
    void contradictionsAreDamage();
    void literalAllOnesSizeIsNoDamage();
    void largeEntryBehindStubIsTested();
    void splitArchiveIsRefusedUntouched();
    void emptiedArchiveReadsWithoutShift_data() { validArchivesReadAndRewriteFaithfully_data(); }
    void emptiedArchiveReadsWithoutShift();
    void fuzzFindingsHold_data();
    void fuzzFindingsHold();
    void splitSetPartIsLeftAlone_data();
    void splitSetPartIsLeftAlone();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestZipEdges::validArchivesReadAndRewriteFaithfully_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("prefix");      // bytes in front of the first entry, kept by rewrites
    QTest::addColumn<qint64>("firstOffset"); // stored offset of the first entry, after a rewrite too

    const QByteArray plain = testzip::build(entries(), "comment");
    QTest::newRow("plain") << plain << qint64(0) << qint64(0);
    QTest::newRow("stub, offsets count it") << stubCounted(plain) << qint64(kStub.size()) << qint64(kStub.size());
    QTest::newRow("stub concatenated in front") << kStub + plain << qint64(kStub.size()) << qint64(0);
    QTest::newRow("zip64 with a stub concatenated in front")
        << kStub + testzip::buildZip64(entries()) << qint64(kStub.size()) << qint64(0);
    {
        // A comment whose bytes hold an end record claiming an empty archive at offset 0.
        QByteArray fake("PK\x05\x06", 4);
        fake += QByteArray(18, '\0');
        QTest::newRow("comment holds an end record")
            << testzip::build(entries(), "note " + fake) << qint64(0) << qint64(0);
    }
    {
        const QByteArray inner = testzip::build({testzip::file("inner.txt", "inside")}, "inner");
        QTest::newRow("comment holds a whole archive") << testzip::build(entries(), inner) << qint64(0) << qint64(0);
    }
    {
        // Patched data, flagged alike in both headers: untestable by most readers, but kept readable.
        testzip::Layout l;
        QByteArray b = testzip::build(entries(), {}, &l);
        put16At(b, l.localHeaderOffsets[0] + 6, 0x20);
        put16At(b, l.centralDirectoryOffset + 8, 0x20);
        QTest::newRow("patched data in both headers") << b << qint64(0) << qint64(0);
    }
    {
        // Two zip64 fields in one local header: readers take the sizes from the central directory.
        testzip::Layout l64;
        QByteArray b = testzip::buildZip64(entries(), {}, &l64);
        const qint64 extra = l64.localHeaderOffsets[0] + 30 + 10;
        put16At(b, extra + 2, 6);
        put16At(b, extra + 10, 0x0001);
        put16At(b, extra + 12, 6);
        QTest::newRow("zip64 field twice in a local header") << b << qint64(0) << qint64(0);
    }
    {
        QByteArray fake("PK\x05\x06", 4);
        fake += QByteArray(18, '\0');
        QTest::newRow("stub in front, an empty end record in the comment")
            << kStub + testzip::build(entries(), "note " + fake) << qint64(kStub.size()) << qint64(0);
    }
    // An end record on disk 0 is one file, whatever the other disk fields say.
    for (const quint16 disk : {1, 43, 65535}) {
        QByteArray b = plain;
        put16At(b, endRecord(b) + 6, disk);
        QTest::newRow(qPrintable(QString("disk 0, directory on disk %1").arg(disk))) << b << qint64(0) << qint64(0);
    }
    {
        // The local zip64 field's sizes disagree with the directory's, which readers believe.
        testzip::Layout l64;
        QByteArray b = testzip::buildZip64(entries(), {}, &l64);
        put32At(b, l64.localHeaderOffsets[0] + 30 + 10 + 4, 12345);
        QTest::newRow("local zip64 sizes differ from the directory") << b << qint64(0) << qint64(0);
    }
    QTest::newRow("descriptor in both headers, local CRC differs") << withDescriptor(true) << qint64(0) << qint64(0);
    QTest::newRow("descriptor promised by the local header only") << withDescriptor(false) << qint64(0) << qint64(0);
    {
        // A descriptor whose signature is damaged is found by the CRC-32, and copied whole.
        QByteArray b = withDescriptor(true);
        b[b.indexOf("PK\x07\x08") + 2] = 'x';
        QTest::newRow("descriptor signature damaged") << b << qint64(0) << qint64(0);
    }
    {
        QByteArray b = plain;
        put16At(b, centralRecords(b).first() + 8, 0x0008);
        QTest::newRow("descriptor promised by the central record, none written") << b << qint64(0) << qint64(0);
    }
    {
        // One file whose end record names disk 1 for itself and its directory.
        QByteArray b = plain;
        put16At(b, endRecord(b) + 4, 1);
        put16At(b, endRecord(b) + 6, 1);
        QTest::newRow("end record names disk 1") << b << qint64(0) << qint64(0);
    }
}

void TestZipEdges::validArchivesReadAndRewriteFaithfully()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, prefix);
    QFETCH(qint64, firstOffset);
    const QString p = path("a.zip");
    QVERIFY(testzip::write(p, bytes));
    const int unzipBefore = unzipTest(p);

    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "*.*";
    QStringList names;
    connect(&zip, &ZipComponent::Listing, this, [&](const QString& n) { names.append(n); });
    QCOMPARE(int(zip.ListContents()), 0);
    QCOMPARE(names, (QStringList{"readme.txt", "ads.txt", "file_id.diz"}));

    // A purge keeps the prefix, the other records and the offset convention.
    const qint64 shift = prefix - firstOffset;
    const QList<QByteArray> recordsBefore = recordsWithoutOffsets(bytes, shift);
    zip.EntryMask = "ads.txt";
    QCOMPARE(int(zip.DeleteEntries()), 0);
    QByteArray after = testzip::readAll(p);
    QCOMPARE(after.left(prefix), bytes.left(prefix));
    QCOMPARE(storedOffset(after, centralRecords(after, shift).first()), firstOffset);
    QCOMPARE(recordsWithoutOffsets(after, shift), (QList<QByteArray>{recordsBefore[0], recordsBefore[2]}));
    // The first entry is kept byte for byte up to the next one: header, data and any data descriptor.
    const QList<qint64> records = centralRecords(bytes, shift);
    const qint64 firstLen = storedOffset(bytes, records[1]) - storedOffset(bytes, records[0]);
    QCOMPARE(after.mid(prefix, firstLen), bytes.mid(prefix, firstLen));
    QCOMPARE(storedOffset(after, centralRecords(after, shift)[1]), firstOffset + firstLen);
    QCOMPARE(unzipTest(p), unzipBefore);

    // Adding (the double-zip repair's last step) keeps them too, and the result reads again.
    QVERIFY(testzip::write(path("file_id.diz"), "A fine description\r\n"));
    zip.EntryMask = path("file_id.diz");
    QCOMPARE(int(zip.AddEntries(0)), 0);
    after = testzip::readAll(p);
    QCOMPARE(after.left(prefix), bytes.left(prefix));
    QCOMPARE(storedOffset(after, centralRecords(after, shift).first()), firstOffset);
    names.clear();
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), 0);
    QCOMPARE(names, (QStringList{"readme.txt", "file_id.diz"}));
    QCOMPARE(unzipTest(p), unzipBefore);
}

void TestZipEdges::contradictionsAreDamage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    testzip::Layout l;
    const QByteArray good = testzip::build(entries(), {}, &l);
    const qint64 local = l.localHeaderOffsets[0];
    const qint64 central = l.centralDirectoryOffset;
    auto row = [&](const char* name, auto change, int expected) {
        QByteArray b = good;
        change(b);
        QTest::newRow(name) << b << expected;
    };
    row(
        "local method differs", [&](QByteArray& b) { put16At(b, local + 8, 0); }, 410);
    row(
        "local CRC differs", [&](QByteArray& b) { put32At(b, local + 14, 0x12345678); }, 410);
    row(
        "local compressed size differs", [&](QByteArray& b) { put32At(b, local + 18, 17); }, 410);
    row(
        "local size differs", [&](QByteArray& b) { put32At(b, local + 22, 2999); }, 410);
    row(
        "zero local sizes without a descriptor", [&](QByteArray& b) { put32At(b, local + 22, 0); }, 410);
    row(
        "encrypted only in the directory", [&](QByteArray& b) { put16At(b, central + 8, 1); }, 410);
    row(
        "encrypted only in the local header", [&](QByteArray& b) { put16At(b, local + 6, 1); }, 410);
    row(
        "patched data only in the directory", [&](QByteArray& b) { put16At(b, central + 8, 0x20); }, 410);
    row(
        "strong encryption only in the local header", [&](QByteArray& b) { put16At(b, local + 6, 0x41); }, 410);
    row(
        "unknown method whose data runs past the directory",
        [&](QByteArray& b) {
            for (qint64 at : {local + 8, central + 10})
                put16At(b, at, 0x77);
            put32At(b, local + 18, 100000);
            put32At(b, central + 20, 100000);
        },
        110);
    auto inserted = [](const QByteArray& b, qint64 at) { return b.left(at) + QByteArray(16, 'x') + b.mid(at); };
    QTest::newRow("bytes inserted before the directory") << inserted(good, central) << 110;
    QTest::newRow("bytes inserted between entries") << inserted(good, l.localHeaderOffsets[1]) << 110;
    QTest::newRow("bytes between the directory and the end record") << inserted(good, l.endRecordOffset) << 110;
    {
        QByteArray b = kStub + good;
        b[kStub.size() + 2] = 'x';
        QTest::newRow("stub in front, first local signature wrong") << b << 110;
    }
    {
        // A truncated archive whose last 64 KiB hold a stored archive: that is not the archive's end record.
        testzip::Layout lo;
        const QByteArray inner = testzip::build({testzip::file("inner.txt", "inside")});
        const QByteArray outer = testzip::build(
            {testzip::file("big.txt", testzip::text(100000, 5)), testzip::file("inner.zip", inner, false)}, {}, &lo);
        const QByteArray cut = outer.left(lo.dataOffsets[1] + inner.size());
        QTest::newRow("truncated, a stored archive in its tail") << cut << 110;
        QTest::newRow("stub in front, truncated, a stored archive in its tail") << kStub + cut << 110;
    }
    // Numbers no archive can have, as 16-bit (width 2) or 32-bit fields set in the plain archive.
    auto fields = [&](QList<std::tuple<qint64, int, quint32>> patches) {
        QByteArray b = good;
        for (const auto& [at, width, v] : patches)
            width == 2 ? put16At(b, at, quint16(v)) : put32At(b, at, v);
        return b;
    };
    const qint64 end = l.endRecordOffset;
    QTest::newRow("directory offset 4 bytes low") << fields({{end + 16, 4, quint32(central - 4)}}) << 110;
    {
        QByteArray b = testzip::build({testzip::packedFile("ads.txt", "buy now", 6, "imploded", 0x0002)});
        put16At(b, 6, 0);
        QTest::newRow("implode's 8K window only in the directory") << b << 410;
    }
    QTest::newRow("more entries on this disk than in total") << fields({{end + 8, 2, 4}}) << 110;
    QTest::newRow("one entry more in total than the directory holds") << fields({{end + 10, 2, 4}}) << 110;
    QTest::newRow("descriptor promised by the local header, none written")
        << fields({{l.localHeaderOffsets[1] + 6, 2, 0x0008}}) << 410;
    QTest::newRow("disk 0, counts disagree with each other and the directory")
        << fields({{end + 8, 2, 2}, {end + 10, 2, 4}}) << 110;
    QTest::newRow("directory on a later disk than its end record") << fields({{end + 4, 2, 1}, {end + 6, 2, 2}}) << 110;
    QTest::newRow("entry on a later disk than its end record")
        << fields({{end + 4, 2, 1}, {end + 6, 2, 1}, {central + 34, 2, 2}}) << 110;
    // Sizes no file can have are damage when the directory is read.
    for (const auto& [name, at, high] : {std::tuple{"zip64 size of 2^63 + 16", 4, 0x80000000u},
                                         std::tuple{"zip64 compressed size of 2^64 - 1", 12, 0xffffffffu}}) {
        testzip::Layout l64;
        QByteArray b = testzip::buildZip64(entries(), {}, &l64);
        const qint64 field = l64.centralDirectoryOffset + 46 + 10 + at;
        put32At(b, field, high == 0xffffffffu ? high : 16);
        put32At(b, field + 4, high);
        QTest::newRow(name) << b << 110;
    }
}

void TestZipEdges::contradictionsAreDamage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    QVERIFY(testzip::write(path("d.zip"), bytes));
    ZipComponent zip;
    zip.ArchivePath = path("d.zip");
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), expected);
    zip.EntryMask = "ads.txt";
    QCOMPARE(int(zip.DeleteEntries()), expected);
    QCOMPARE(testzip::readAll(path("d.zip")), bytes);
}

void TestZipEdges::literalAllOnesSizeIsNoDamage()
{
    // A stored entry of exactly 4 GiB - 1 zero bytes, written sparsely: 0xffffffff is its literal size.
    const quint32 size = 0xffffffffu;
    QByteArray zeros(1 << 20, '\0');
    uLong crc = crc32(0, nullptr, 0);
    const uLong mib = crc32(0, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(zeros.size()));
    for (quint64 left = size; left > 0;) {
        const quint64 n = std::min<quint64>(left, zeros.size());
        crc = n == quint64(zeros.size()) ? crc32_combine(crc, mib, z_off_t(n))
                                         : crc32(crc, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(n));
        left -= n;
    }
    const QByteArray name("zeros.bin");
    QByteArray head("PK\x03\x04", 4);
    head += QByteArray(26, '\0');
    put16At(head, 4, 20);
    put32At(head, 14, quint32(crc));
    put32At(head, 18, size);
    put32At(head, 22, size);
    put16At(head, 26, quint16(name.size()));
    head += name;
    QByteArray tail("PK\x01\x02", 4);
    tail += QByteArray(42, '\0');
    tail.replace(6, 24, head.mid(4, 24)); // version needed .. name length, as in the local header
    tail += name;
    // The directory starts past 4 GiB, so only zip64 end records can say where; the entry's own sizes
    // stay literal, without a zip64 field.
    const quint64 cdOffset = quint64(head.size()) + size;
    QByteArray end("PK\x06\x06", 4);
    end += QByteArray(52, '\0');
    put32At(end, 4, 44);
    put16At(end, 12, 45);
    put16At(end, 14, 45);
    put32At(end, 24, 1);
    put32At(end, 32, 1);
    put32At(end, 40, quint32(tail.size()));
    put32At(end, 48, quint32(cdOffset & 0xffffffffu));
    put32At(end, 52, quint32(cdOffset >> 32));
    const quint64 end64At = cdOffset + quint64(tail.size());
    end += QByteArray("PK\x06\x07", 4) + QByteArray(16, '\0');
    put32At(end, 56 + 8, quint32(end64At & 0xffffffffu));
    put32At(end, 56 + 12, quint32(end64At >> 32));
    put32At(end, 56 + 16, 1);
    end += QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
    put16At(end, 76 + 8, 1);
    put16At(end, 76 + 10, 1);
    put32At(end, 76 + 12, quint32(tail.size()));
    put32At(end, 76 + 16, 0xffffffffu);

    QFile f(path("big.zip"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(head), qint64(head.size()));
    QVERIFY(f.seek(qint64(cdOffset)));
    QCOMPARE(f.write(tail + end), qint64(tail.size() + end.size()));
    f.close();

    ZipComponent zip;
    zip.ArchivePath = f.fileName();
    zip.EntryMask = "*.*";
    zip.TestData = false;
    QStringList names;
    connect(&zip, &ZipComponent::Listing, this, [&](const QString& n) { names.append(n); });
    QCOMPARE(int(zip.ListContents()), 0);
    QCOMPARE(names, QStringList{"zeros.bin"});
}

void TestZipEdges::splitArchiveIsRefusedUntouched()
{
    // The last part of an archive split over three files: its directory is on disk 2, its first entry
    // starts on disk 1, at an offset of that disk which lies beyond this file.
    QByteArray b = testzip::build(entries());
    put16At(b, endRecord(b) + 4, 2);
    put16At(b, endRecord(b) + 6, 2);
    put16At(b, centralRecords(b).first() + 34, 1);
    put32At(b, centralRecords(b).first() + 42, 100000);
    QVERIFY(testzip::write(path("s.zip"), b));
    ZipComponent zip;
    zip.ArchivePath = path("s.zip");
    zip.EntryMask = "ads.txt";
    QCOMPARE(int(zip.ListContents()), int(ZipMultiPart));
    QCOMPARE(int(zip.DeleteEntries()), int(ZipMultiPart));
    QVERIFY(!ZipComponent::isDamage(ZipMultiPart));
    QCOMPARE(testzip::readAll(path("s.zip")), b);
}

void TestZipEdges::splitSetPartIsLeftAlone_data()
{
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<bool>("partsBeside");
    const QStringList order{"a.bin", "b.bin", "c.txt"};
    const QStringList reversed{"c.txt", "b.bin", "a.bin"};
    QTest::newRow("entries in file order, parts beside") << order << true;
    QTest::newRow("entries in reverse order, parts beside") << reversed << true;
    QTest::newRow("entries in file order, last part alone") << order << false;
    QTest::newRow("entries in reverse order, last part alone") << reversed << false;
}

void TestZipEdges::splitSetPartIsLeftAlone()
{
    // The last part of a set of three made by Info-ZIP: entries start on disks 0 to 2, whatever their order.
    QFETCH(QStringList, order);
    QFETCH(bool, partsBeside);
    if (QStandardPaths::findExecutable("zip").isEmpty())
        QSKIP("Info-ZIP zip is not installed");
    QTemporaryDir dir;
    auto in = [&](const QString& name) { return dir.filePath(name); };
    QRandomGenerator random(19);
    for (const auto& [name, size] : {std::pair{"a.bin", 90000}, std::pair{"b.bin", 60000}}) {
        QByteArray data(size, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
        QVERIFY(testzip::write(in(name), data));
    }
    QVERIFY(testzip::write(in("c.txt"), "small\r\n"));
    QProcess zipper;
    zipper.setWorkingDirectory(dir.path());
    zipper.start("zip", QStringList{"-q", "-s", "64k", "set.zip"} + order);
    QVERIFY(zipper.waitForFinished(60000));
    QCOMPARE(zipper.exitCode(), 0);
    QVERIFY(QFile::exists(in("set.z01")) && QFile::exists(in("set.z02")) && !QFile::exists(in("set.z03")));
    if (!partsBeside)
        QVERIFY(QFile::remove(in("set.z01")) && QFile::remove(in("set.z02")));

    const QByteArray before = testzip::readAll(in("set.zip"));
    ZipComponent zip;
    zip.ArchivePath = in("set.zip");
    for (const QString& mask : order) {
        zip.EntryMask = mask;
        QCOMPARE(int(zip.ListContents()), int(ZipMultiPart));
        QCOMPARE(int(zip.DeleteEntries()), int(ZipMultiPart));
    }
    QCOMPARE(testzip::readAll(in("set.zip")), before);
}

void TestZipEdges::largeEntryBehindStubIsTested()
{
    // Entries too large to test in memory stream through our own reader, prefix or not.
    testzip::Layout l;
    const QByteArray big = testzip::text(int(ZipComponent::kFastTestLimit) + 4096, 3);
    QByteArray b = kStub + testzip::build({testzip::file("big.txt", big)}, {}, &l);
    QVERIFY(testzip::write(path("big.zip"), b));
    ZipComponent zip;
    zip.ArchivePath = path("big.zip");
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), 0);
    const qint64 at = kStub.size() + l.dataOffsets[0] + 1000;
    b[at] = char(b[at] ^ 0x40);
    QVERIFY(testzip::write(path("big.zip"), b));
    QVERIFY(ZipComponent::isDamage(zip.ListContents()));
}

// Purging every entry leaves the prefix and an empty directory whose offset counts it: no local header is
// left to place a shift by, so the result must read as it stands.
void TestZipEdges::emptiedArchiveReadsWithoutShift()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, prefix);
    const QString p = path("a.zip");
    QVERIFY(testzip::write(p, bytes));
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.DeleteEntries()), 0);
    const QByteArray after = testzip::readAll(p);
    QCOMPARE(after.left(prefix), bytes.left(prefix));
    const qint64 end = endRecord(after);
    QCOMPARE(end, prefix);
    QCOMPARE(get16(after, end + 10), quint16(0));
    QCOMPARE(qint64(get32(after, end + 16)), prefix);
    int listed = 0;
    connect(&zip, &ZipComponent::Listing, this, [&] { ++listed; });
    QCOMPARE(int(zip.ListContents()), 0);
    QCOMPARE(listed, 0);
    // libzip reads it too, unless the end record names a disk (kept as it was), which libzip refuses.
    bool ok = false;
    QVERIFY(testzip::names(p, &ok).isEmpty());
    QVERIFY(ok || get16(after, end + 4) != 0);
}

// Inputs the fuzzers found, replayed as the fuzz target does: list, delete by the mask the first byte picks,
// and a deletion that went through leaves an archive whose structure reads as sound.
void TestZipEdges::fuzzFindingsHold_data()
{
    QTest::addColumn<QString>("seed");
    QTest::newRow("prefixed archive emptied by \"*.txt\"") << "zipcomponent-emptied-prefixed.seed";
}

void TestZipEdges::fuzzFindingsHold()
{
    QFETCH(QString, seed);
    const QString found = QFINDTESTDATA("fuzz/corpus/" + seed);
    QVERIFY(!found.isEmpty());
    const QByteArray input = testzip::readAll(found);
    QVERIFY(input.size() > 1);
    static const char* masks[] = {"*.*", "file_id.diz", "*.txt", "a?c", "*", "readme.txt", "nothing", "*.diz"};
    QVERIFY(testzip::write(path("f.zip"), input.mid(1)));
    ZipComponent zip;
    zip.ArchivePath = path("f.zip");
    zip.EntryMask = "*.*";
    const int listed = zip.ListContents();
    zip.EntryMask = masks[quint8(input[0]) % 8];
    const int deleted = zip.DeleteEntries();
    QCOMPARE(deleted, 0);
    QVERIFY(listed == 0 || ZipComponent::isDamage(qint16(listed)));
    zip.TestData = false;
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), 0);
}

QTEST_GUILESS_MAIN(TestZipEdges)
#include "test_zipedges.moc"
