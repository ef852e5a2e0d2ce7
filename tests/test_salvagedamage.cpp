// Salvage on damage as real collections have it and on hostile files: names only from witnesses that agree
// or are proven, no invented or doubled entry, every intact entry back (both archives of a concatenation, a
// text-mode transfer undone), nothing inside another entry's data, bounded work, and a stop when aborted.
// Every salvaged copy is also judged by the other readers found on the machine.

#include "testsupport/TestArchives.h"
#include "zip/Salvage.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using testzip::Entry;

namespace {

QList<Entry> release(int first)
{
    QList<Entry> entries;
    for (int i = first; i < first + 3; ++i) {
        const QByteArray name = QByteArrayLiteral("lib/Part") + QByteArray::number(i) + ".class";
        entries << testzip::file(name, testzip::text(1500 + 300 * i, i), i % 2 == 0);
    }
    return entries;
}

QStringList namesOf(const QList<Entry>& entries)
{
    QStringList out;
    for (const Entry& e : entries)
        out << QString::fromUtf8(e.name);
    return out;
}

// Readers other than ours that fail the file; those not installed are not asked.
QStringList judgesRefusing(const QString& path)
{
    QStringList refusing;
    const auto judge = [&](const QString& name, const QString& program, const QStringList& args) {
        const QString exe = QStandardPaths::findExecutable(program);
        if (exe.isEmpty())
            return;
        QProcess p;
        p.start(exe, args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            refusing << name;
    };
    judge(QStringLiteral("unzip"), QStringLiteral("unzip"), {QStringLiteral("-tqq"), path});
    judge(QStringLiteral("7-Zip"), QStringLiteral("7zz"), {QStringLiteral("t"), path});
    judge(QStringLiteral("Python"), QStringLiteral("python3"),
          {QStringLiteral("-c"),
           QStringLiteral("import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nsys.exit(z.testzip() is not None)"),
           path});
    return refusing;
}

quint32 le(const QByteArray& b, qsizetype at, int bytes)
{
    quint32 v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | quint8(b[at + i]);
    return v;
}

// Walks the local headers of a salvaged copy from its start: each one's flags hold nothing but the name's
// encoding and the method's bits, its extra field walks to its end, and the next header follows its data.
QString localHeadersUnsound(const QByteArray& copy)
{
    qsizetype at = 0;
    while (at + 30 <= copy.size() && le(copy, at, 4) == 0x04034b50) {
        const quint32 flags = le(copy, at + 6, 2);
        if (flags & ~0x0806u)
            return QStringLiteral("flags %1 at %2").arg(flags, 0, 16).arg(at);
        const qsizetype nameLen = le(copy, at + 26, 2);
        const qsizetype extraLen = le(copy, at + 28, 2);
        qsizetype e = at + 30 + nameLen;
        while (e + 4 <= at + 30 + nameLen + extraLen)
            e += 4 + le(copy, e + 2, 2);
        if (e != at + 30 + nameLen + extraLen)
            return QStringLiteral("extra field at %1").arg(at);
        at = e + le(copy, at + 18, 4);
    }
    return at + 4 <= copy.size() && le(copy, at, 4) == 0x02014b50 ? QString() : QStringLiteral("no directory");
}

enum class Damage
{
    MisnamedLocal,
    MisnamedRecord,
    MisnamedLocalFolder,
    RepeatedChunk,
    FlippedFlag,
    EmptyLookAlike,
    CorruptExtra,
    ConcatenatedSmall,
    ConcatenatedLarge,
    TextMode,
    NestedRelease
};

// The damaged file, and in want the entries that must come back, in order.
QByteArray damaged(Damage d, QList<Entry>& want)
{
    testzip::Layout layout;
    want = release(1);
    QByteArray bytes;
    switch (d) {
    case Damage::MisnamedLocal: {
        // A bit flipped in a local header's copy of the name: the directory has it right.
        bytes = testzip::build(want, {}, &layout);
        const qint64 at = layout.localHeaderOffsets[1] + 30 + want[1].name.size() - 4;
        bytes[at] = char(bytes[at] ^ 0x04); // ".class" -> ".cless"... of the local header only
        bytes.truncate(bytes.size() - 1);   // and the end record damaged
        break;
    }
    case Damage::MisnamedRecord: {
        // A bit flipped in the directory's copy of a name ("lib/" to "lib'"): the local header has it right.
        bytes = testzip::build(want, {}, &layout);
        const qint64 at = bytes.indexOf(want[1].name, layout.centralDirectoryOffset) + 3;
        bytes[at] = char(bytes[at] ^ 0x08);
        bytes.truncate(bytes.size() - 1);
        break;
    }
    case Damage::MisnamedLocalFolder: {
        // The one name in a folder, its local separator flipped ("dir/two.txt" to "dir.two.txt"): each name fits
        // the others as well as the other does, so nothing says which one the flip hit. The entry is lost, and
        // no copy holds it under a name it never had.
        want = {testzip::file("one.txt", testzip::text(900, 1)), testzip::file("dir/two.txt", testzip::text(700, 2)),
                testzip::file("three.txt", testzip::text(500, 3))};
        bytes = testzip::build(want, {}, &layout);
        const qint64 at = layout.localHeaderOffsets[1] + 30 + 3;
        bytes[at] = char(bytes[at] ^ 0x01);
        bytes.truncate(bytes.size() - 1);
        want.removeAt(1);
        break;
    }
    case Damage::RepeatedChunk: {
        // A chunk holding the second entry written twice, the directory lost.
        bytes = testzip::build(want, {}, &layout);
        const QByteArray chunk = bytes.mid(layout.localHeaderOffsets[1] - 100, 4096);
        bytes.insert(layout.localHeaderOffsets[2], chunk);
        bytes.truncate(layout.centralDirectoryOffset + chunk.size() + 30);
        break;
    }
    case Damage::FlippedFlag:
        // Flag bit 4 (enhanced deflate) set in a local header: copied, some readers refuse the entry.
        bytes = testzip::build(want, {}, &layout);
        bytes[layout.localHeaderOffsets[0] + 6] = char(bytes[layout.localHeaderOffsets[0] + 6] | 0x10);
        bytes.truncate(layout.centralDirectoryOffset + 8);
        break;
    case Damage::EmptyLookAlike: {
        // A local header of zeros but its signature between two entries: an empty name, no data.
        bytes = testzip::build(want, {}, &layout);
        bytes.insert(layout.localHeaderOffsets[1], QByteArray("PK\x03\x04", 4) + QByteArray(26, '\0'));
        bytes.truncate(layout.centralDirectoryOffset + 40);
        break;
    }
    case Damage::CorruptExtra: {
        // A local extra field whose last block runs past its end, as a CR inserted into it leaves it.
        bytes = testzip::build(want, {}, &layout);
        const qint64 at = layout.localHeaderOffsets[0];
        const QByteArray bad("\x0d\x0a\x09\x00xyz", 7);
        bytes.insert(at + 30 + want[0].name.size(), bad);
        bytes[at + 28] = char(bad.size());
        bytes.truncate(bytes.size() - 30);
        break;
    }
    case Damage::ConcatenatedSmall:
    case Damage::ConcatenatedLarge: {
        QList<Entry> second = release(4);
        if (d == Damage::ConcatenatedLarge)
            second << testzip::file("lib/big.bin", testzip::text(90000, 9), false);
        bytes = testzip::build(want) + testzip::build(second);
        bytes.truncate(bytes.size() - 5); // the second end record cut: a salvage, not a read
        want += second;
        break;
    }
    case Damage::TextMode: {
        // Stored text with LFs and deflated data: every LF of the file gains a CR.
        want << testzip::file("notes/readme.txt", QByteArray("line one\nline two\r\nline three\n").repeated(40), false);
        const QByteArray original = testzip::build(want);
        for (char c : original) {
            if (c == '\n')
                bytes.append('\r');
            bytes.append(c);
        }
        break;
    }
    case Damage::NestedRelease: {
        // A release cut short inside its last entry, a stored archive of its own.
        const QByteArray inner = testzip::build(
            {testzip::file("FILE_ID.DIZ", "inner description\n"), testzip::file("PROG.EXE", testzip::text(3000, 8))});
        want = {testzip::file("FILE_ID.DIZ", "outer description\n"),
                testzip::file("README.TXT", testzip::text(900, 3))};
        QList<Entry> all = want;
        all << testzip::file("DISK1.ZIP", inner, false);
        bytes = testzip::build(all, {}, &layout);
        bytes.truncate(layout.dataOffsets[2] + inner.size() - 40);
        break;
    }
    }
    return bytes;
}

} // namespace

class TestSalvageDamage : public QObject
{
    Q_OBJECT

private slots:
    void bringsBackEveryIntactEntryUnderItsName_data();
    void bringsBackEveryIntactEntryUnderItsName();
    void staysBoundedOnHostileFiles_data();
    void staysBoundedOnHostileFiles();
    void stopsWhenTheRunIsAborted_data();
    void stopsWhenTheRunIsAborted();
};

void TestSalvageDamage::bringsBackEveryIntactEntryUnderItsName_data()
{
    QTest::addColumn<int>("damage");
    QTest::newRow("local header misnames an entry") << int(Damage::MisnamedLocal);
    QTest::newRow("directory misnames an entry") << int(Damage::MisnamedRecord);
    QTest::newRow("names that fit alike: lost, not misnamed") << int(Damage::MisnamedLocalFolder);
    QTest::newRow("repeated chunk") << int(Damage::RepeatedChunk);
    QTest::newRow("flipped local flag bit") << int(Damage::FlippedFlag);
    QTest::newRow("empty look-alike header") << int(Damage::EmptyLookAlike);
    QTest::newRow("corrupt local extra field") << int(Damage::CorruptExtra);
    QTest::newRow("two archives, second under 64 KiB") << int(Damage::ConcatenatedSmall);
    QTest::newRow("two archives, second over 64 KiB") << int(Damage::ConcatenatedLarge);
    QTest::newRow("LF to CRLF transfer") << int(Damage::TextMode);
    QTest::newRow("release cut in a stored archive") << int(Damage::NestedRelease);
}

void TestSalvageDamage::bringsBackEveryIntactEntryUnderItsName()
{
    QFETCH(int, damage);
    QList<Entry> want;
    const QByteArray bad = damaged(Damage(damage), want);
    QTemporaryDir dir;
    const QString badPath = dir.filePath(QStringLiteral("d.zip.bad"));
    QVERIFY(testzip::write(badPath, bad));
    const QString target = zipsalvage::salvagedPath(badPath);

    const zipsalvage::Report report = zipsalvage::salvage(badPath, target, false);
    QCOMPARE(report.status, zipsalvage::Status::Written);
    QCOMPARE(report.recovered, namesOf(want));
    QVERIFY(report.unproven.isEmpty());
    QCOMPARE(testzip::readAll(badPath), bad);
    bool ok = false;
    QCOMPARE(testzip::names(target, &ok), namesOf(want));
    QVERIFY(ok);
    for (const Entry& e : want)
        QCOMPARE(testzip::content(target, QString::fromUtf8(e.name)), e.data);
    ZipComponent zip;
    zip.ArchivePath = target;
    zip.EntryMask = QStringLiteral("*");
    QCOMPARE(int(zip.ListContents()), 0);
    QCOMPARE(localHeadersUnsound(testzip::readAll(target)), QString());
    QCOMPARE(judgesRefusing(target), QStringList());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestSalvageDamage::staysBoundedOnHostileFiles_data()
{
    QTest::addColumn<QString>("seed"); // a kept input, or empty for the look-alike headers
    QTest::addColumn<QStringList>("recovered");
    QTest::newRow("wrapped zip64 offset of an encrypted entry")
        << QFINDTESTDATA("fuzz/corpus/salvage-wrapped-zip64-offset.seed") << QStringList();
    QTest::newRow("release with a stored archive, kept input")
        << QFINDTESTDATA("fuzz/corpus/salvage-nested-release.seed")
        << QStringList{QStringLiteral("FILE_ID.DIZ"), QStringLiteral("README.TXT")};
    QTest::newRow("look-alike headers every 8 bytes") << QString() << QStringList();
}

void TestSalvageDamage::staysBoundedOnHostileFiles()
{
    QFETCH(QString, seed);
    QFETCH(QStringList, recovered);
    QByteArray bad;
    if (!seed.isEmpty()) {
        bad = testzip::readAll(seed);
        QVERIFY(!bad.isEmpty());
    } else {
        // 1 MiB of local headers 8 bytes apart, each naming 2 KB that runs over the ones after it.
        QByteArray header("PK\x03\x04\x14\x00\x00\x00\x00\x00", 10);
        header += QByteArray(16, '\x01');
        header += QByteArray("\x00\x08\x00\x00", 4);
        while (bad.size() < 1024 * 1024)
            bad += header.left(8);
        for (qsizetype at = 0; at + header.size() <= bad.size(); at += 64)
            bad.replace(at, header.size(), header);
    }
    QTemporaryDir dir;
    const QString badPath = dir.filePath(QStringLiteral("h.zip.bad"));
    QVERIFY(testzip::write(badPath, bad));
    const zipsalvage::Report report = zipsalvage::salvage(badPath, zipsalvage::salvagedPath(badPath), false);
    QCOMPARE(report.recovered, recovered);
    QVERIFY(report.lost.size() <= 1000);
    if (seed.isEmpty())
        QVERIFY(report.lostLeftOut > 0); // counted, not listed
    QCOMPARE(testzip::readAll(badPath), bad);
    const QStringList files = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(files.size(), recovered.isEmpty() ? 1 : 2);
}

void TestSalvageDamage::stopsWhenTheRunIsAborted_data()
{
    QTest::addColumn<int>("pumpsBeforeAbort");
    QTest::addColumn<bool>("dryRun");
    QTest::newRow("aborted before it starts") << 0 << false;
    QTest::newRow("aborted while it works") << 3 << false;
    QTest::newRow("dry run aborted while it works") << 3 << true;
}

void TestSalvageDamage::stopsWhenTheRunIsAborted()
{
    QFETCH(int, pumpsBeforeAbort);
    QFETCH(bool, dryRun);
    // Many entries, every LF doubled: the scan, the undoing and the copy's test take many progress points.
    QList<Entry> entries;
    for (int i = 0; i < 400; ++i)
        entries << testzip::file("f" + QByteArray::number(i) + ".txt", testzip::text(20000, i), i % 3 == 0);
    QByteArray bad;
    for (char c : testzip::build(entries)) {
        if (c == '\n')
            bad.append('\r');
        bad.append(c);
    }
    QTemporaryDir dir;
    const QString badPath = dir.filePath(QStringLiteral("s.zip.bad"));
    QVERIFY(testzip::write(badPath, bad));
    int pumps = 0;
    zipsalvage::Control control;
    control.progress = [&pumps] { ++pumps; };
    control.aborted = [&pumps, pumpsBeforeAbort] { return pumps > pumpsBeforeAbort; };
    if (pumpsBeforeAbort == 0)
        control.aborted = [] { return true; };

    const zipsalvage::Report report = zipsalvage::salvage(badPath, zipsalvage::salvagedPath(badPath), dryRun, control);
    QCOMPARE(report.status, zipsalvage::Status::Aborted);
    QCOMPARE(QString::fromLatin1(zipsalvage::statusText(report.status)), QStringLiteral("aborted"));
    // Nothing written, no temporary file left, the damaged file untouched.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("s.zip.bad")});
    QCOMPARE(testzip::readAll(badPath), bad);
}

QTEST_GUILESS_MAIN(TestSalvageDamage)
#include "test_salvagedamage.moc"
