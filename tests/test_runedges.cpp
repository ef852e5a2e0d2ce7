// The clean-all run at its edges: a damaged archive that cannot be renamed, an unattended run that must
// touch only the folder it names, refusals that must speak, an abort press on a read-only folder, and a
// double zip that cannot be repaired.

#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/ReadOnlyMount.h"
#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QPushButton>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

namespace {

struct Console
{
    QStringList out;
    QStringList err;
    void attach(Form1& f)
    {
        f.writeConsole = [this](const QString& line, bool toStderr) { (toStderr ? err : out) << line; };
    }
};

QString summary(int processed, int bad, int doubles)
{
    return QStringLiteral(" %1 zip(s) processed, %2 bad zip(s) found and renamed to +*.bad, %3 double zip(s) found "
                          "and fixed")
        .arg(processed)
        .arg(bad)
        .arg(doubles);
}

// A double zip with a purge-listed entry whose stored data no longer matches its CRC.
bool writeDamagedDoubleZip(const QString& path)
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build({testzip::file("file_id.diz", "d"), testzip::file("file_id.diz", "d"),
                                       testzip::file("junk.txt", testzip::text(900, 3), false)},
                                      {}, &layout);
    const int at = int(layout.dataOffsets[2]) + 10;
    bytes[at] = char(bytes[at] ^ 1);
    return testzip::write(path, bytes);
}

void put16(QByteArray& b, quint32 v)
{
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void put32(QByteArray& b, quint32 v)
{
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

// Two stored copies of file_id.diz of `size` zero bytes each, written sparsely: a double zip whose
// description is larger than the component takes back.
bool writeHugeDoubleZip(const QString& path, quint32 size)
{
    const QByteArray zeros(1 << 20, '\0');
    uLong crc = crc32(0, nullptr, 0);
    for (quint32 done = 0; done < size;) {
        const quint32 n = std::min<quint32>(size - done, quint32(zeros.size()));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.constData()), n);
        done += n;
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const QByteArray name = "file_id.diz";
    QByteArray central;
    qint64 at = 0;
    for (int copy = 0; copy < 2; ++copy) {
        QByteArray local;
        put32(local, 0x04034b50);
        for (quint32 v : {20u, 0u, 0u, 0u, 0x5000u})
            put16(local, v);
        for (quint32 v : {quint32(crc), size, size})
            put32(local, v);
        put16(local, quint32(name.size()));
        put16(local, 0);
        local += name;
        put32(central, 0x02014b50);
        for (quint32 v : {20u, 20u, 0u, 0u, 0u, 0x5000u})
            put16(central, v);
        for (quint32 v : {quint32(crc), size, size})
            put32(central, v);
        for (quint32 v : {quint32(name.size()), 0u, 0u, 0u, 0u})
            put16(central, v);
        put32(central, 0);
        put32(central, quint32(at));
        central += name;
        if (!f.seek(at) || f.write(local) != local.size())
            return false;
        at += local.size() + size; // the data is the hole up to the next header
    }
    QByteArray end;
    put32(end, 0x06054b50);
    for (quint32 v : {0u, 0u, 2u, 2u})
        put16(end, v);
    put32(end, quint32(central.size()));
    put32(end, quint32(at));
    put16(end, 0);
    return f.seek(at) && f.write(central + end) == central.size() + end.size();
}

} // namespace

class TestRunEdges : public QObject
{
    Q_OBJECT
private slots:
    void damagedArchiveThatCannotBeRenamedIsNotRewritten_data();
    void damagedArchiveThatCannotBeRenamedIsNotRewritten();
    void unattendedRunTouchesOnlyTheNamedFolder();
    void secondInstanceUnattendedIsRefusedAloud();
    void abortPressOnAReadOnlyFolderStillAborts();
    void unrepairedDoubleZipIsReported_data();
    void unrepairedDoubleZipIsReported();
    void archiveNotCleanedAsAskedIsNamed_data();
    void archiveNotCleanedAsAskedIsNamed();
    void archiveReplacedAfterItsListingIsJudgedAnew_data();
    void archiveReplacedAfterItsListingIsJudgedAnew();
};

void TestRunEdges::damagedArchiveThatCannotBeRenamedIsNotRewritten_data()
{
    QTest::addColumn<bool>("unattended");
    QTest::newRow("attended") << false;
    QTest::newRow("unattended") << true;
}

void TestRunEdges::damagedArchiveThatCannotBeRenamedIsNotRewritten()
{
    QFETCH(bool, unattended);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    QVERIFY(writeDamagedDoubleZip(fx.archive("d.zip")));
    const QByteArray before = testzip::readAll(fx.archive("d.zip"));
    // A folder named like the quarantined copy: the rename fails and the archive keeps its name.
    QVERIFY(QDir().mkdir(fx.archive("d.zip.bad")));
    Form1& f = fx.make(unattended ? fx.archiveFolder() : QString());
    Console console;
    console.attach(f);
    if (unattended)
        f.Form_Load();
    else
        f.Command2->click();
    // Neither the repair nor the purge rewrote it: the damaged archive is byte for byte what it was.
    QCOMPARE(testzip::readAll(fx.archive("d.zip")), before);
    QVERIFY(!QFile::exists(fx.tempFolder() + "/file_id.diz"));
    // It was not renamed, so it is not counted as renamed; the run says why.
    if (unattended) {
        QCOMPARE(console.out, QStringList{summary(1, 0, 0)});
        QVERIFY2(console.err.join(u'\n').contains("not cleaned: ") && console.err.join(u'\n').contains("folder"),
                 qPrintable(console.err.join(u'\n')));
        QCOMPARE(fx.fakes.exits, QList<int>{0});
    } else {
        QCOMPARE(fx.fakes.sound.played.size(), 1);
        for (const auto& message : fx.fakes.messageBox.messages)
            QVERIFY2(!message.text.contains("bad zip(s) found"), qPrintable(message.text));
        QVERIFY2(f.SSPanel2->Caption().contains("not cleaned"), qPrintable(f.SSPanel2->Caption()));
    }
}

void TestRunEdges::unattendedRunTouchesOnlyTheNamedFolder()
{
    // Started from a folder that holds a damaged archive, on a folder whose first and last archives are
    // damaged: every archive of the named folder is tested and counted once, and nothing else is read.
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    QDir().mkpath(fx.archive("here"));
    QDir().mkpath(fx.archive("named"));
    QVERIFY(testzip::writeDataDamaged(fx.archive("here/here.zip")));
    QVERIFY(testzip::writeDataDamaged(fx.archive("named/a.zip")));
    QVERIFY(
        testzip::writeZip(fx.archive("named/b.zip"), {testzip::file("b.txt", "b"), testzip::file("junk.txt", "j")}));
    QVERIFY(testzip::writeDataDamaged(fx.archive("named/c.zip")));
    const QByteArray here = testzip::readAll(fx.archive("here/here.zip"));
    const QByteArray damaged = testzip::readAll(fx.archive("named/a.zip"));
    Form1& f = fx.make(fx.archive("named"), fx.archive("here"));
    Console console;
    console.attach(f);
    QStringList read;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] { read << f.XceedZip1->ArchivePath; });
    f.Form_Load();
    QCOMPARE(console.out, QStringList{summary(3, 2, 0)});
    // One line for each archive of the named folder renamed, none for the start folder's.
    QCOMPARE(console.err.size(), 2);
    QVERIFY(console.err[0].startsWith("tamsorel: damaged: " + QDir::toNativeSeparators(fx.archive("named/a.zip"))));
    QVERIFY(console.err[1].startsWith("tamsorel: damaged: " + QDir::toNativeSeparators(fx.archive("named/c.zip"))));
    QCOMPARE(fx.fakes.exits, QList<int>{0});
    QCOMPARE(testzip::readAll(fx.archive("here/here.zip")), here);
    QVERIFY(!QFile::exists(fx.archive("here/here.zip.bad")));
    QCOMPARE(testzip::readAll(fx.archive("named/a.zip.bad")), damaged);
    QCOMPARE(testzip::readAll(fx.archive("named/c.zip.bad")), damaged);
    QCOMPARE(QDir(fx.archive("named")).entryList(QDir::Files), QStringList({"a.zip.bad", "b.zip", "c.zip.bad"}));
    QCOMPARE(testzip::names(fx.archive("named/b.zip")), QStringList{"b.txt"});
    QVERIFY(!read.isEmpty());
    for (const QString& path : read)
        QVERIFY2(path.startsWith(fx.archive("named/")), qPrintable(path));
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

void TestRunEdges::secondInstanceUnattendedIsRefusedAloud()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    QVERIFY(testzip::writeZip(fx.archive("a.zip"), {testzip::file("junk.txt", "j")}));
    fx.fakes.instanceGuard.running = true;
    Form1& f = fx.make(fx.archiveFolder());
    Console console;
    console.attach(f);
    f.Form_Load();
    QCOMPARE(fx.fakes.exits, QList<int>{2});
    QCOMPARE(console.err.size(), 1);
    QVERIFY(console.err[0].contains("already running"));
    QVERIFY(console.out.isEmpty());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QCOMPARE(fx.fakes.instanceGuard.activations, 0); // a background run does not pull the window forward
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"junk.txt"});
}

void TestRunEdges::abortPressOnAReadOnlyFolderStillAborts()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    ReadOnlyMount mount(fx.archive("ro"));
    if (!mount.available())
        QSKIP("needs the right to mount a small file system");
    QVERIFY(testzip::writeZip(mount.path() + "/r.zip", {testzip::file("r.txt", "r")}));
    QVERIFY(mount.makeReadOnly());
    QVERIFY(testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "a"), testzip::file("junk.txt", "j")}));
    QVERIFY(testzip::writeZip(fx.archive("b.zip"), {testzip::file("b.txt", "b"), testzip::file("junk.txt", "j")}));
    Form1& f = fx.make();
    bool pressed = false;
    QString panel;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] {
        if (pressed || f.runFlag != -1 || f.windowTitle() != "Cleaning a.zip")
            return;
        pressed = true;
        // The user browses to a folder that cannot be written, then presses Abort.
        f.Dir1->setPath(mount.path());
        f.Command2->click();
        panel = f.SSPanel2->Caption();
        QCOMPARE(f.runFlag, qint16(0));
    });
    f.Command2->click();
    QVERIFY(pressed);
    QVERIFY(panel != "Read-only drive");
    QVERIFY(f.XceedZip1->Abort);
    QCOMPARE(f.Command2->text(), QStringLiteral("&Clean all"));
    QCOMPARE(testzip::names(fx.archive("b.zip")), QStringList({"b.txt", "junk.txt"})); // the run did stop
}

void TestRunEdges::unrepairedDoubleZipIsReported_data()
{
    QTest::addColumn<int>("obstacle");
    QTest::addColumn<bool>("unattended");
    QTest::addColumn<QString>("why");
    for (bool unattended : {false, true}) {
        const char* mode = unattended ? ", unattended" : "";
        QTest::addRow("temp is a file%s", mode) << 0 << unattended << "cannot be made";
        QTest::addRow("an old repair file that cannot go%s", mode) << 1 << unattended << "cannot be removed";
        QTest::addRow("description too large to add back%s", mode) << 2 << unattended << "over 256 MB";
    }
}

void TestRunEdges::unrepairedDoubleZipIsReported()
{
    QFETCH(int, obstacle);
    QFETCH(bool, unattended);
    QFETCH(QString, why);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    if (obstacle == 2) {
        QVERIFY(writeHugeDoubleZip(fx.archive("d.zip"), quint32(ZipComponent::kMaxAddSize) + 1));
    } else {
        QVERIFY(testzip::writeZip(fx.archive("d.zip"),
                                  {testzip::file("file_id.diz", "one"), testzip::file("file_id.diz", "one")}));
    }
    if (obstacle == 0)
        QVERIFY(testzip::write(fx.tempFolder(), "not a folder"));
    if (obstacle == 1) {
        QVERIFY(QDir().mkpath(fx.tempFolder() + "/file_id.diz/inside"));
    }
    const QByteArray before = testzip::readAll(fx.archive("d.zip"));
    Form1& f = fx.make(unattended ? fx.archiveFolder() : QString());
    Console console;
    console.attach(f);
    if (unattended)
        f.Form_Load();
    else
        f.Command2->click();
    QCOMPARE(testzip::readAll(fx.archive("d.zip")), before);
    // Nothing was taken out that could not go back.
    QVERIFY(!QFileInfo(fx.tempFolder() + "/file_id.diz").isFile());
    if (unattended) {
        QCOMPARE(console.out, QStringList{summary(1, 0, 0)});
        QCOMPARE(console.err.size(), 1);
        const QString head = "tamsorel: double zip not repaired: " + QDir::toNativeSeparators(fx.archive("d.zip"));
        QVERIFY2(console.err[0].startsWith(head) && console.err[0].contains(why), qPrintable(console.err[0]));
    } else {
        QVERIFY(fx.fakes.messageBox.messages.isEmpty()); // nothing fixed, nothing bad
        QVERIFY2(f.SSPanel2->Caption().startsWith("Double zip d.zip not repaired: ") &&
                     f.SSPanel2->Caption().contains(why),
                 qPrintable(f.SSPanel2->Caption()));
    }
}

void TestRunEdges::archiveNotCleanedAsAskedIsNamed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("unattended");
    QTest::addColumn<QString>("line"); // the console line after "tamsorel: ", with the archive's path as %1
    QByteArray split = testzip::build({testzip::file("keep.txt", "k"), testzip::file("junk.txt", "j")});
    const qint64 end = split.lastIndexOf(QByteArray("PK\x05\x06", 4));
    split[end + 4] = split[end + 6] = 2; // the directory on disk 2 of a split archive
    const qint64 first = split.indexOf(QByteArray("PK\x01\x02", 4));
    split[first + 34] = 1; // its first entry on disk 1, at an offset beyond this file
    split[first + 44] = 1;
    const QByteArray wild = testzip::build({testzip::file("junk*.txt", "j"), testzip::file("junk1.txt", "k")});
    for (bool unattended : {false, true}) {
        const char* mode = unattended ? ", unattended" : "";
        QTest::addRow("part of a split archive%s", mode)
            << split << unattended << "not cleaned: %1: one part of an archive split over several files";
        QTest::addRow("purge row that would take other entries%s", mode)
            << wild << unattended
            << "not purged: %1: junk*.txt stays: the purge row \"junk*.txt\" would delete other entries too";
    }
}

void TestRunEdges::archiveNotCleanedAsAskedIsNamed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, unattended);
    QFETCH(QString, line);
    FormFixture fx;
    fx.writePurgeList({"junk.txt", "junk*.txt"});
    QVERIFY(testzip::write(fx.archive("x.zip"), bytes));
    Form1& f = fx.make(unattended ? fx.archiveFolder() : QString());
    Console console;
    console.attach(f);
    if (unattended)
        f.Form_Load();
    else
        f.Command2->click();
    QCOMPARE(testzip::readAll(fx.archive("x.zip")), bytes);
    const QString said = line.arg(QDir::toNativeSeparators(fx.archive("x.zip")));
    if (unattended) {
        QCOMPARE(console.out, QStringList{summary(1, 0, 0)});
        QCOMPARE(console.err, QStringList{"tamsorel: " + said});
    } else {
        const QString what = said.section(": ", 0, 0);
        QCOMPARE(f.SSPanel2->Caption(), "x.zip " + what + ": " + said.section(": ", 2, -1));
    }
}

void TestRunEdges::archiveReplacedAfterItsListingIsJudgedAnew_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("damaged copy written in place, time set back")
        << true << true << QStringList{"keep.txt", "junk.txt"};
    QTest::newRow("damaged copy under a new inode") << false << true << QStringList{"keep.txt", "junk.txt"};
    QTest::newRow("sound archive of other names") << false << false << QStringList{"other.txt"};
}

// The archive is replaced once its listing is done and before the purge rewrites it: the run lists and tests
// the file now in place and judges that one, so a damaged replacement is quarantined, never purged untested.
void TestRunEdges::archiveReplacedAfterItsListingIsJudgedAnew()
{
    QFETCH(bool, inPlace);
    QFETCH(bool, damaged);
    QFETCH(QStringList, left);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::Layout layout;
    const QList<testzip::Entry> entries{testzip::file("keep.txt", testzip::text(4000, 1), false),
                                        testzip::file("junk.txt", "junk\r\n", false)};
    const QByteArray original = testzip::build(entries, {}, &layout);
    QByteArray other = original;
    if (damaged)
        other[layout.dataOffsets[0] + 9] = char(other[layout.dataOffsets[0] + 9] ^ 1);
    else
        other = testzip::build({testzip::file("other.txt", "other"), testzip::file("junk.txt", "junk\r\n")});
    const QString path = fx.archive("a.zip");
    QVERIFY(testzip::write(path, original));
    Form1& f = fx.make();
    bool replaced = false;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&](qint16 percent) {
        if (replaced || f.runFlag != -1 || percent != 100 || f.windowTitle() != "Cleaning a.zip")
            return;
        replaced = true;
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
        if (inPlace) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write(other) == other.size());
            file.close();
            const timespec times[2] = {st.st_atim, st.st_mtim};
            QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
        } else {
            QVERIFY(testzip::write(path + ".new", other));
            QVERIFY(QFile::rename(path + ".new", path) || (QFile::remove(path) && QFile::rename(path + ".new", path)));
        }
    });
    f.Command2->click();
    QVERIFY(replaced);
    const QString now = damaged ? path + ".bad" : path;
    QVERIFY(QFile::exists(now));
    QCOMPARE(testzip::names(now), left);
    if (damaged)
        QCOMPARE(testzip::readAll(now), other);
}

QTEST_MAIN(TestRunEdges)
#include "test_runedges.moc"
