// Salvage of damaged archives: which entries come back for each kind of damage, that every byte that comes
// back is the original's, that the damaged file is never touched, and that nothing is written when nothing
// can be recovered or a salvaged copy exists already.

#include "testsupport/TestArchives.h"
#include "zip/Salvage.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using testzip::Entry;

namespace {

QList<Entry> fourEntries(bool streamed)
{
    QList<Entry> entries;
    for (int i = 1; i <= 4; ++i) {
        const QByteArray name = QByteArrayLiteral("docs/part") + QByteArray::number(i) + ".txt";
        const QByteArray data = testzip::text(3000 + 500 * i, i);
        entries << (streamed ? testzip::streamedFile(name, data) : testzip::file(name, data, i != 2));
    }
    return entries;
}

enum class Damage
{
    CutInDirectory,
    CutInData,
    CutInLocalHeader,
    FlipData,
    FlipDataAndCutDirectory,
    MisplaceRecord,
    CutInFirstData
};

// The archive with its damage, built from entries.
QByteArray damaged(const QList<Entry>& entries, Damage damage, int prefix)
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build(entries, {}, &layout);
    switch (damage) {
    case Damage::CutInDirectory:
        bytes.truncate(layout.centralDirectoryOffset + 60);
        break;
    case Damage::CutInData:
        bytes.truncate(layout.dataOffsets[2] + 100);
        break;
    case Damage::CutInLocalHeader:
        bytes.truncate(layout.localHeaderOffsets[2] + 12);
        break;
    case Damage::FlipData:
        bytes[layout.dataOffsets[1] + 40] = char(bytes[layout.dataOffsets[1] + 40] ^ 0x55);
        break;
    case Damage::FlipDataAndCutDirectory:
        bytes[layout.dataOffsets[1] + 40] = char(bytes[layout.dataOffsets[1] + 40] ^ 0x55);
        bytes.truncate(layout.centralDirectoryOffset + 10);
        break;
    case Damage::MisplaceRecord: {
        // The third central record's local header offset (records of these names are 60 bytes long).
        const qint64 at = layout.centralDirectoryOffset + 2 * 60 + 42;
        bytes[at] = char(bytes[at] + 1);
        break;
    }
    case Damage::CutInFirstData:
        bytes.truncate(layout.dataOffsets[0] + 20);
        break;
    }
    // Data in front of the first entry, with no signature in it, as a self-extractor's program has.
    return QByteArray(prefix, 'p') + bytes;
}

QStringList names(const char* list)
{
    return QString::fromLatin1(list).split(u',', Qt::SkipEmptyParts);
}

} // namespace

class TestSalvage : public QObject
{
    Q_OBJECT

private slots:
    void recoversEveryIntactEntryAndOnlyThose_data();
    void recoversEveryIntactEntryAndOnlyThose();
    void neverRecoversWrongBytes_data();
    void neverRecoversWrongBytes();
    void uncheckableEntriesNeedTheDirectory_data();
    void uncheckableEntriesNeedTheDirectory();
    void writesNothingWhenAskedNotToOrWhenACopyExists_data();
    void writesNothingWhenAskedNotToOrWhenACopyExists();
    void salvagedNameDropsTheQuarantineSuffix_data();
    void salvagedNameDropsTheQuarantineSuffix();
};

void TestSalvage::recoversEveryIntactEntryAndOnlyThose_data()
{
    QTest::addColumn<bool>("streamed");
    QTest::addColumn<int>("damage");
    QTest::addColumn<int>("prefix");
    QTest::addColumn<QStringList>("recovered"); // part numbers
    QTest::addColumn<QStringList>("lost");
    QTest::addColumn<bool>("fromDirectory");

    auto row = [](const char* name, bool streamed, Damage d, int prefix, const char* rec, const char* lost,
                  bool fromDirectory) {
        QTest::newRow(name) << streamed << int(d) << prefix << names(rec) << names(lost) << fromDirectory;
    };
    row("truncated in the directory", false, Damage::CutInDirectory, 0, "1,2,3,4", "", false);
    row("truncated in an entry's data", false, Damage::CutInData, 0, "1,2", "3", false);
    row("truncated in a local header", false, Damage::CutInLocalHeader, 0, "1,2", "", false);
    row("one entry's data flipped", false, Damage::FlipData, 0, "1,3,4", "2", true);
    row("data flipped, directory cut", false, Damage::FlipDataAndCutDirectory, 0, "1,3,4", "2", false);
    row("directory misplaces an entry", false, Damage::MisplaceRecord, 0, "1,2,3,4", "", false);
    row("streamed, directory cut", true, Damage::CutInDirectory, 0, "1,2,3,4", "", false);
    row("streamed, cut short in data", true, Damage::CutInData, 0, "1,2", "3", false);
    row("streamed, one entry flipped", true, Damage::FlipDataAndCutDirectory, 0, "1,3,4", "2", false);
    row("prefix, truncated in the directory", false, Damage::CutInDirectory, 700, "1,2,3,4", "", false);
    row("prefix, one entry's data flipped", false, Damage::FlipData, 700, "1,3,4", "2", true);
    row("nothing recoverable", false, Damage::CutInFirstData, 0, "", "1", false);
}

void TestSalvage::recoversEveryIntactEntryAndOnlyThose()
{
    QFETCH(bool, streamed);
    QFETCH(int, damage);
    QFETCH(int, prefix);
    QFETCH(QStringList, recovered);
    QFETCH(QStringList, lost);
    QFETCH(bool, fromDirectory);

    QTemporaryDir dir;
    const QList<Entry> entries = fourEntries(streamed);
    const QByteArray bad = damaged(entries, Damage(damage), prefix);
    const QString badPath = dir.filePath(QStringLiteral("a.zip.bad"));
    QVERIFY(testzip::write(badPath, bad));
    const QString target = zipsalvage::salvagedPath(badPath);

    const zipsalvage::Report report = zipsalvage::salvage(badPath, target, false);

    QStringList wantNames;
    for (const QString& n : recovered)
        wantNames << QStringLiteral("docs/part%1.txt").arg(n);
    QStringList lostNames;
    for (const QString& n : lost)
        lostNames << QStringLiteral("docs/part%1.txt").arg(n);
    QCOMPARE(report.recovered, wantNames);
    QCOMPARE(report.lost, lostNames);
    QVERIFY(report.unproven.isEmpty());
    QCOMPARE(testzip::readAll(badPath), bad); // the damaged file is never changed
    if (wantNames.isEmpty()) {
        QCOMPARE(report.status, zipsalvage::Status::NothingRecoverable);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("a.zip.bad")});
        return;
    }
    QCOMPARE(report.status, zipsalvage::Status::Written);
    QCOMPARE(report.fromDirectory, fromDirectory);
    // Read back by another reader: names in order, and each entry's bytes the original's (CRC checked).
    bool ok = false;
    QCOMPARE(testzip::names(target, &ok), wantNames);
    QVERIFY(ok);
    qint64 bytes = 0;
    for (const Entry& e : entries) {
        if (!wantNames.contains(QString::fromUtf8(e.name)))
            continue;
        QCOMPARE(testzip::content(target, QString::fromUtf8(e.name)), e.data);
        bytes += e.data.size();
    }
    QCOMPARE(report.bytesRecovered, bytes);
    QCOMPARE(report.bytesWritten, QFileInfo(target).size());
    ZipComponent zip;
    zip.ArchivePath = target;
    zip.EntryMask = QStringLiteral("*");
    QCOMPARE(int(zip.ListContents()), 0);
    // Only the damaged file and its salvaged copy: no temporary file stays.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestSalvage::neverRecoversWrongBytes_data()
{
    QTest::addColumn<bool>("streamed");
    QTest::addColumn<int>("flips"); // bytes changed at random places
    QTest::addColumn<bool>("cut");  // and the file cut at a random place
    QTest::newRow("flipped bytes") << false << 3 << false;
    QTest::newRow("cut anywhere") << false << 0 << true;
    QTest::newRow("flipped and cut") << false << 2 << true;
    QTest::newRow("streamed, flipped bytes") << true << 3 << false;
    QTest::newRow("streamed, cut anywhere") << true << 0 << true;
}

void TestSalvage::neverRecoversWrongBytes()
{
    QFETCH(bool, streamed);
    QFETCH(int, flips);
    QFETCH(bool, cut);

    QTemporaryDir dir;
    const QList<Entry> entries = fourEntries(streamed);
    const QByteArray original = testzip::build(entries);
    QHash<QString, QByteArray> data;
    for (const Entry& e : entries)
        data.insert(QString::fromUtf8(e.name), e.data);
    const QString badPath = dir.filePath(QStringLiteral("r.zip.bad"));
    const QString target = zipsalvage::salvagedPath(badPath);
    QRandomGenerator rng(22);
    int written = 0;
    for (int round = 0; round < 150; ++round) {
        QByteArray bad = original;
        for (int i = 0; i < flips; ++i)
            bad[rng.bounded(bad.size())] ^= char(1 << rng.bounded(8));
        if (cut)
            bad.truncate(rng.bounded(bad.size()));
        QVERIFY(testzip::write(badPath, bad));
        const zipsalvage::Report report = zipsalvage::salvage(badPath, target, false);
        QCOMPARE(testzip::readAll(badPath), bad);
        QCOMPARE(QFileInfo::exists(target), report.status == zipsalvage::Status::Written);
        if (!QFileInfo::exists(target))
            continue;
        ++written;
        // A name that a flip changed may come back under that name; its bytes are still an original's.
        for (const QString& name : testzip::names(target)) {
            const QByteArray got = testzip::content(target, name);
            QVERIFY2(data.contains(name) ? got == data.value(name) : data.values().contains(got), qPrintable(name));
        }
        QVERIFY(QFile::remove(target));
    }
    QVERIFY(written > 0);
}

void TestSalvage::uncheckableEntriesNeedTheDirectory_data()
{
    QTest::addColumn<bool>("cutDirectory");
    QTest::addColumn<QStringList>("recovered");
    QTest::addColumn<QStringList>("unproven");
    QTest::addColumn<QStringList>("lost");
    QTest::newRow("directory vouches") << false << names("plain.txt,secret.txt") << names("secret.txt")
                                       << QStringList();
    QTest::newRow("no directory to vouch") << true << names("plain.txt") << QStringList() << names("secret.txt");
}

void TestSalvage::uncheckableEntriesNeedTheDirectory()
{
    QFETCH(bool, cutDirectory);
    QFETCH(QStringList, recovered);
    QFETCH(QStringList, unproven);
    QFETCH(QStringList, lost);

    QTemporaryDir dir;
    // An encrypted entry: its bytes cannot be checked without the password.
    const QByteArray scrambled = testzip::text(900, 7);
    testzip::Layout layout;
    QByteArray bytes = testzip::build({testzip::file("plain.txt", testzip::text(2000, 3)),
                                       testzip::packedFile("secret.txt", scrambled, 0, scrambled, 0x0001)},
                                      {}, &layout);
    if (cutDirectory)
        bytes.truncate(layout.centralDirectoryOffset + 20);
    const QString badPath = dir.filePath(QStringLiteral("b.zip.bad"));
    QVERIFY(testzip::write(badPath, bytes));

    const zipsalvage::Report report = zipsalvage::salvage(badPath, zipsalvage::salvagedPath(badPath), false);
    QCOMPARE(report.recovered, recovered);
    QCOMPARE(report.unproven, unproven);
    QCOMPARE(report.lost, lost);
    QCOMPARE(testzip::readAll(badPath), bytes);
    const QByteArray copied = testzip::readAll(dir.filePath(QStringLiteral("b.salvaged.zip")));
    // The unproven entry's bytes travel exactly as they were.
    QCOMPARE(copied.contains(scrambled), !cutDirectory);
}

void TestSalvage::writesNothingWhenAskedNotToOrWhenACopyExists_data()
{
    QTest::addColumn<bool>("dryRun");
    QTest::addColumn<bool>("copyExists");
    QTest::addColumn<int>("status");
    QTest::newRow("dry run") << true << false << int(zipsalvage::Status::WouldWrite);
    QTest::newRow("salvaged copy exists") << false << true << int(zipsalvage::Status::TargetExists);
    QTest::newRow("dry run, salvaged copy exists") << true << true << int(zipsalvage::Status::TargetExists);
}

void TestSalvage::writesNothingWhenAskedNotToOrWhenACopyExists()
{
    QFETCH(bool, dryRun);
    QFETCH(bool, copyExists);
    QFETCH(int, status);

    QTemporaryDir dir;
    const QByteArray bad = damaged(fourEntries(false), Damage::CutInData, 0);
    const QString badPath = dir.filePath(QStringLiteral("c.zip.bad"));
    const QString target = dir.filePath(QStringLiteral("c.salvaged.zip"));
    QVERIFY(testzip::write(badPath, bad));
    if (copyExists)
        QVERIFY(testzip::write(target, "not to be replaced"));
    const QStringList before = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);

    const zipsalvage::Report report = zipsalvage::salvage(badPath, target, dryRun);
    QCOMPARE(int(report.status), status);
    QCOMPARE(report.recovered.size(), 2); // what would come back is still said
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), before);
    QCOMPARE(testzip::readAll(badPath), bad);
    if (copyExists)
        QCOMPARE(testzip::readAll(target), QByteArray("not to be replaced"));
}

void TestSalvage::salvagedNameDropsTheQuarantineSuffix_data()
{
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<QString>("salvaged");
    QTest::newRow("quarantined") << "/d/a.zip.bad"
                                 << "/d/a.salvaged.zip";
    QTest::newRow("not yet quarantined") << "/d/a.zip"
                                         << "/d/a.salvaged.zip";
    QTest::newRow("upper case") << "/d/B.ZIP.BAD"
                                << "/d/B.salvaged.zip";
}

void TestSalvage::salvagedNameDropsTheQuarantineSuffix()
{
    QFETCH(QString, damaged);
    QFETCH(QString, salvaged);
    QCOMPARE(zipsalvage::salvagedPath(damaged), salvaged);
}

QTEST_GUILESS_MAIN(TestSalvage)
#include "test_salvage.moc"
