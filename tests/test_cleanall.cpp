// The clean-all run through the real window: listing and testing, double-zip repair, the purge pass,
// damaged archives, aborts, the report and unattended runs.

#include "app/RunLock.h"
#include "platform/AnimatedIcon.h"
#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/LegacyEncoders.h"
#include "testsupport/ReadOnlyMount.h"
#include "testsupport/TestArchives.h"
#include "zip/CleanRun.h"
#include "zip/RunReport.h"
#include "zip/ZipComponent.h"

#include <QAction>
#include <QDateTime>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <optional>

namespace {

const QString kReportTitle = QStringLiteral("Tamsorel error");

QString report(int bad, int doubles)
{
    return QStringLiteral(" %1 bad zip(s) found and renamed to +*.bad\n\n %2 double zip(s) found and fixed")
        .arg(bad)
        .arg(doubles);
}

QList<testzip::Entry> entries(const QStringList& names)
{
    QList<testzip::Entry> out;
    int seed = 1;
    for (const QString& n : names)
        out << testzip::file(n.toUtf8(), testzip::text(300, seed++));
    return out;
}

// Temporary files of a rewrite left beside the archives.
QStringList leftovers(const QString& folder)
{
    return QDir(folder).entryList({"*.tmp"}, QDir::Files | QDir::Hidden);
}

void verifyIdle(Form1& f)
{
    QCOMPARE(f.runFlag, qint16(0));
    QCOMPARE(f.Command2->text(), QStringLiteral("&Clean all"));
    QVERIFY(f.AniIcon1->isHidden());
    QVERIFY(f.Command1->isEnabled());
    QCOMPARE(f.mousePointer(), 0);
    QCOMPARE(f.windowTitle(), QStringLiteral("Tamsorel"));
    QCOMPARE(f.SSPanel2->Caption(), QString());
}

struct Console
{
    QStringList out;
    QStringList err;
    void attach(Form1& f)
    {
        f.writeConsole = [this](const QString& line, bool toStderr) { (toStderr ? err : out) << line; };
    }
};

} // namespace

class TestCleanAll : public QObject
{
    Q_OBJECT
private slots:
    void folderWithoutArchives();
    void missingPurgeListRefusesAttendedRun();
    void runningWindowStateAndProcessedCount();
    void damagedArchiveIsReportedOnceAndTheRunGoesOn();
    void nothingFoundShowsNoReport();
    void purgePass_data();
    void purgePass();
    void everyEntryPurgedLeavesAnEmptyArchive();
    void archiveWithNothingToPurgeStaysUntouched();
    void doubleZipRepair_data();
    void doubleZipRepair();
    void descriptionInAFolderIsNoDoubleZip();
    void repairWithoutAWorkFolderChangesNothing();
    void abortDuringTheRepairKeepsEveryCopy();
    void damagedArchiveFoundByADeletion();
    void damagedArchiveThatCannotBeRenamedCountsOnce();
    void abortPressIsASecondInvocation();
    void exitDuringARewriteLeavesNoTrace_data();
    void exitDuringARewriteLeavesNoTrace();
    void readOnlyDriveRefusesTheRun();
    void unattendedRun();
    void folderLockedByAnotherRun_data();
    void folderLockedByAnotherRun();
    void unattendedAbortEndsWithStatusOne();
    void unattendedMissingFolderRunsNothing();
    void unattendedReadOnlyFolder();
    void rootFolderArchivePath();
    void folderChangeDuringARun();
};

void TestCleanAll::folderWithoutArchives()
{
    FormFixture fx;
    fx.writePurgeList({"x.txt"});
    Form1& f = fx.make();
    f.Label2->setText("old");
    f.Command2->click();
    verifyIdle(f);
    QCOMPARE(f.Label2->text(), QString());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(fx.fakes.sound.played.isEmpty());
}

void TestCleanAll::missingPurgeListRefusesAttendedRun()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("file_id.diz", "d"), testzip::file("file_id.diz", "d")});
    const QByteArray before = testzip::readAll(fx.archive("a.zip"));
    Form1& f = fx.make();
    f.Command2->click();
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text, QStringLiteral("No purge list exists"));
    QCOMPARE(fx.fakes.messageBox.messages[0].style, 48);
    QCOMPARE(fx.fakes.messageBox.messages[0].title, kReportTitle);
    QCOMPARE(testzip::readAll(fx.archive("a.zip")), before);
    QCOMPARE(f.Command2->text(), QStringLiteral("&Clean all"));
    QVERIFY(f.AniIcon1->isHidden());
}

void TestCleanAll::runningWindowStateAndProcessedCount()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("Big.ZIP"), entries({"a.txt", "junk.txt"}));
    testzip::writeZip(fx.archive("c.zip"), entries({"c.txt"}));
    Form1& f = fx.make();
    QStringList titles;
    bool running = true;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] {
        if (f.runFlag != -1)
            return;
        titles << f.windowTitle();
        running = running && f.Command2->text() == "&Abort" && !f.AniIcon1->isHidden() && !f.Command1->isEnabled() &&
                  f.mousePointer() == 11;
    });
    f.Command2->click();
    QVERIFY(titles.contains("Cleaning big.zip"));
    QVERIFY(titles.contains("Cleaning c.zip"));
    QVERIFY(running);
    verifyIdle(f);
    QCOMPARE(f.Label2->text(), QStringLiteral(" 2 zip(s) processed"));
    QCOMPARE(testzip::names(fx.archive("Big.ZIP")), QStringList{"a.txt"});
    // The end selects and lists the first archive again.
    QCOMPARE(f.File1->ListIndex(), 0);
    QCOMPARE(f.List1->List(0), QStringLiteral("a.txt"));
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

void TestCleanAll::damagedArchiveIsReportedOnceAndTheRunGoesOn()
{
    FormFixture fx;
    fx.writePurgeList({"first.txt", "junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    QVERIFY(testzip::writeDataDamaged(fx.archive("b.zip")));
    testzip::writeZip(fx.archive("c.zip"), entries({"c.txt", "junk.txt"}));
    Form1& f = fx.make();
    f.Command2->click();
    QVERIFY(QFile::exists(fx.archive("b.zip.bad")));
    QVERIFY(!QFile::exists(fx.archive("b.zip")));
    // A quarantined archive is not rewritten by the purge pass that follows its listing.
    QCOMPARE(testzip::names(fx.archive("b.zip.bad")), QStringList({"first.txt", "second.txt"}));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"a.txt"});
    QCOMPARE(testzip::names(fx.archive("c.zip")), QStringList{"c.txt"});
    QCOMPARE(fx.fakes.sound.played, QStringList{fx.programFolder() + "/error.wav"});
    QCOMPARE(fx.fakes.sound.playedFlags, QList<int>{1});
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text, report(1, 0));
    QCOMPARE(fx.fakes.messageBox.messages[0].style, 48);
    QCOMPARE(fx.fakes.messageBox.messages[0].title, kReportTitle);
    QCOMPARE(f.Label2->text(), QStringLiteral(" 3 zip(s) processed"));
    QCOMPARE(f.File1->ListCount(), 2); // the renamed archive dropped out
}

void TestCleanAll::nothingFoundShowsNoReport()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt", "file_id.diz"}));
    Form1& f = fx.make();
    f.Command2->click();
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(fx.fakes.sound.played.isEmpty());
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList({"a.txt", "file_id.diz"}));
}

void TestCleanAll::purgePass_data()
{
    QTest::addColumn<QStringList>("inArchive");
    QTest::addColumn<QStringList>("purge");
    QTest::addColumn<QStringList>("remaining");
    QTest::newRow("x then y, rows y then x: both go")
        << QStringList{"x", "y"} << QStringList{"y", "x"} << QStringList{};
    QTest::newRow("neighbours of a removed line are examined")
        << QStringList{"a", "b", "c", "d", "e"} << QStringList{"b", "c", "e"} << QStringList{"a", "d"};
    QTest::newRow("letter case ignored on both sides")
        << QStringList{"ReadMe.TXT", "keep.txt"} << QStringList{"README.txt"} << QStringList{"keep.txt"};
    QTest::newRow("every copy of a purged name goes")
        << QStringList{"x.txt", "keep", "x.txt"} << QStringList{"x.txt"} << QStringList{"keep"};
    QTest::newRow("empty first line purges nothing") << QStringList{"x"} << QStringList{"", "x"} << QStringList{"x"};
    QTest::newRow("a folder part must match too") << QStringList{"docs/x.txt", "x.txt", "docs/y.txt"}
                                                  << QStringList{"x.txt", "docs/y.txt"} << QStringList{"docs/x.txt"};
    QTest::newRow("wildcard row never widens to other entries")
        << QStringList{"*.txt", "a.txt"} << QStringList{"*.txt"} << QStringList{"*.txt", "a.txt"};
    QTest::newRow("wildcard row that names only itself goes")
        << QStringList{"what?.txt", "notes.txt"} << QStringList{"what?.txt"} << QStringList{"notes.txt"};
}

void TestCleanAll::purgePass()
{
    QFETCH(QStringList, inArchive);
    QFETCH(QStringList, purge);
    QFETCH(QStringList, remaining);
    FormFixture fx;
    fx.writePurgeList(purge);
    QVERIFY(testzip::writeZip(fx.archive("a.zip"), entries(inArchive)));
    Form1& f = fx.make();
    f.Command2->click();
    bool ok = false;
    QCOMPARE(testzip::names(fx.archive("a.zip"), &ok), remaining);
    QVERIFY(ok);
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(leftovers(fx.archiveFolder()).isEmpty());
}

void TestCleanAll::everyEntryPurgedLeavesAnEmptyArchive()
{
    FormFixture fx;
    fx.writePurgeList({"a.txt", "b.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "b.txt"}));
    Form1& f = fx.make();
    f.Command2->click();
    QVERIFY(QFile::exists(fx.archive("a.zip")));
    bool ok = false;
    QVERIFY(testzip::names(fx.archive("a.zip"), &ok).isEmpty());
    QVERIFY(ok);
    QCOMPARE(f.File1->ListCount(), 1);
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

void TestCleanAll::archiveWithNothingToPurgeStaysUntouched()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "file_id.diz", "docs/junk.txt"}));
    const QDateTime old = QDateTime::currentDateTime().addDays(-30);
    {
        QFile file(fx.archive("a.zip"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
    }
    const QByteArray before = testzip::readAll(fx.archive("a.zip"));
    const QDateTime mtime = QFileInfo(fx.archive("a.zip")).lastModified();
    Form1& f = fx.make();
    f.Command2->click();
    QCOMPARE(testzip::readAll(fx.archive("a.zip")), before);
    QCOMPARE(QFileInfo(fx.archive("a.zip")).lastModified(), mtime);
}

void TestCleanAll::doubleZipRepair_data()
{
    QTest::addColumn<QStringList>("inArchive");
    QTest::addColumn<bool>("imploded");
    QTest::newRow("two copies") << QStringList{"a.txt", "file_id.diz", "file_id.diz"} << false;
    QTest::newRow("three copies") << QStringList{"file_id.diz", "b.txt", "file_id.diz", "file_id.diz"} << false;
    QTest::newRow("copies in mixed case") << QStringList{"FILE_ID.DIZ", "a.txt", "File_Id.Diz"} << false;
    // As a 1990s upload carries it: every entry imploded by PKZIP.
    QTest::newRow("imploded copies") << QStringList{"FILE_ID.DIZ", "A.TXT", "FILE_ID.DIZ"} << true;
}

void TestCleanAll::doubleZipRepair()
{
    QFETCH(QStringList, inArchive);
    QFETCH(bool, imploded);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    const QByteArray description = "My release\r\n  -- the best --\r\n";
    QList<testzip::Entry> list;
    for (const QString& n : inArchive) {
        const QByteArray data = n.compare("file_id.diz", Qt::CaseInsensitive) == 0 ? description : "x";
        list << (imploded ? testzip::packedFile(n.toUtf8(), data, 6, testzip::implode(data, true, false), 0x02)
                          : testzip::file(n.toUtf8(), data));
    }
    QVERIFY(testzip::writeZip(fx.archive("d.zip"), list));
    // An old repair file from an earlier run must not be what goes back into the archive.
    QDir().mkpath(fx.tempFolder());
    QVERIFY(testzip::write(fx.tempFolder() + "/file_id.diz", "stale"));
    Form1& f = fx.make();
    QStringList panel;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] { panel << f.SSPanel2->Caption(); });
    f.Command2->click();
    const QStringList names = testzip::names(fx.archive("d.zip"));
    QCOMPARE(names.count("file_id.diz"), 1);
    QCOMPARE(names.size(), inArchive.size() - inArchive.filter(QRegularExpression("(?i)^file_id\\.diz$")).size() + 1);
    QCOMPARE(testzip::content(fx.archive("d.zip"), "file_id.diz"), description);
    // The other entries were copied as they were: still imploded, still sound.
    ZipComponent check;
    check.ArchivePath = fx.archive("d.zip");
    check.EntryMask = "*.*";
    QCOMPARE(check.ListContents(), qint16(0));
    QVERIFY(panel.contains("Double zip found"));
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text, report(0, 1));
    QVERIFY(fx.fakes.sound.played.isEmpty());
    QVERIFY(leftovers(fx.archiveFolder()).isEmpty());
}

void TestCleanAll::descriptionInAFolderIsNoDoubleZip()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"info/file_id.diz", "file_id.diz", "file_id.diz.txt"}));
    const QByteArray before = testzip::readAll(fx.archive("a.zip"));
    Form1& f = fx.make();
    f.Command2->click();
    QCOMPARE(testzip::readAll(fx.archive("a.zip")), before);
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

void TestCleanAll::repairWithoutAWorkFolderChangesNothing()
{
    // "temp" taken by an ordinary file: no work folder can be made, so the extraction fails and the
    // copies must stay; nothing is reported as fixed.
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    QVERIFY(testzip::write(fx.tempFolder(), "not a folder"));
    testzip::writeZip(fx.archive("d.zip"), {testzip::file("file_id.diz", "one"), testzip::file("file_id.diz", "one"),
                                            testzip::file("junk.txt", "j")});
    Form1& f = fx.make();
    f.Command2->click();
    QCOMPARE(testzip::names(fx.archive("d.zip")), QStringList({"file_id.diz", "file_id.diz"}));
    QCOMPARE(testzip::content(fx.archive("d.zip"), "file_id.diz"), QByteArray("one"));
    QVERIFY(fx.fakes.messageBox.messages.isEmpty()); // nothing fixed, nothing bad
}

void TestCleanAll::abortDuringTheRepairKeepsEveryCopy()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("d.zip"), {testzip::file("file_id.diz", "desc"), testzip::file("a.txt", "a"),
                                            testzip::file("file_id.diz", "desc")});
    const QByteArray before = testzip::readAll(fx.archive("d.zip"));
    Form1& f = fx.make();
    bool pressed = false;
    // Abort while the add rewrites the archive: the extraction has produced the repair file by then.
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] {
        if (!pressed && f.runFlag == -1 && QFile::exists(fx.tempFolder() + "/file_id.diz") &&
            !leftovers(fx.archiveFolder()).isEmpty()) {
            pressed = true;
            f.Command2->click();
        }
    });
    f.Command2->click();
    QVERIFY(pressed);
    QCOMPARE(testzip::readAll(fx.archive("d.zip")), before);
    QVERIFY(leftovers(fx.archiveFolder()).isEmpty());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty()); // the failed repair is not counted
    verifyIdle(f);
}

void TestCleanAll::damagedArchiveFoundByADeletion()
{
    // The archive tests clean, then is cut short on disk before its purge deletion.
    FormFixture fx;
    fx.writePurgeList({"zz.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"aa.txt", "zz.txt"}));
    testzip::writeZip(fx.archive("b.zip"), entries({"b.txt", "zz.txt"}));
    Form1& f = fx.make();
    bool cut = false;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&](qint16 percent) {
        if (!cut && f.runFlag == -1 && percent == 100 && f.windowTitle() == "Cleaning a.zip") {
            cut = true;
            QFile file(fx.archive("a.zip"));
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.resize(file.size() / 2));
        }
    });
    f.Command2->click();
    QVERIFY(cut);
    QVERIFY(QFile::exists(fx.archive("a.zip.bad")));
    QVERIFY(!QFile::exists(fx.archive("a.zip")));
    QCOMPARE(testzip::names(fx.archive("b.zip")), QStringList{"b.txt"});
    QCOMPARE(fx.fakes.sound.played.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text, report(1, 0));
    QCOMPARE(f.Label2->text(), QStringLiteral(" 2 zip(s) processed"));
}

void TestCleanAll::damagedArchiveThatCannotBeRenamedCountsOnce()
{
    // A folder where the quarantined copy would go makes the rename fail; the purge deletion that follows
    // meets the same damage, and the archive is still one bad archive.
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::Entry mismatched = testzip::file("a.txt", "a");
    mismatched.localName = "b.txt";
    QVERIFY(testzip::writeZip(fx.archive("d.zip"), {mismatched, testzip::file("junk.txt", "j")}));
    QVERIFY(QDir().mkdir(fx.archive("d.zip.bad")));
    Form1& f = fx.make();
    f.Command2->click();
    QVERIFY(QFile::exists(fx.archive("d.zip")));
    QCOMPARE(fx.fakes.sound.played.size(), 1);
    // The listing at the end of the run still finds the archive damaged and says so. No archive was renamed,
    // so there is no count of renamed archives to report; the panel says why this one was not.
    QVERIFY(!fx.fakes.messageBox.messages.isEmpty());
    for (int m = 0; m < fx.fakes.messageBox.messages.size(); ++m)
        QVERIFY(fx.fakes.messageBox.messages[m].text.startsWith("CRC error in - "));
    QVERIFY2(f.SSPanel2->Caption().contains("not cleaned"), qPrintable(f.SSPanel2->Caption()));
}

void TestCleanAll::abortPressIsASecondInvocation()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    QVERIFY(testzip::writeDataDamaged(fx.archive("b.zip")));
    testzip::writeZip(fx.archive("c.zip"), entries({"c.txt", "junk.txt"}));
    Form1& f = fx.make();
    bool idleAtOnce = false;
    int messagesAfterPress = -1;
    // The damage sound of b.zip arms a press that the next event pump delivers.
    fx.fakes.sound.whilePlaying = [&](const QString&, int) {
        QTimer::singleShot(0, &f, [&] {
            QCOMPARE(f.runFlag, qint16(-1));
            f.Command2->click();
            idleAtOnce = f.runFlag == 0 && f.Command2->text() == "&Clean all" && f.AniIcon1->isHidden() &&
                         f.Command1->isEnabled() && f.mousePointer() == 0 && f.windowTitle() == "Tamsorel";
            messagesAfterPress = int(fx.fakes.messageBox.messages.size());
        });
    };
    f.Command2->click();
    QVERIFY(idleAtOnce);
    QCOMPARE(messagesAfterPress, 0); // the press's own counts are 0
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text, report(1, 0));
    // b.zip is done (renamed, counted bad) when the pump after it delivers the press: two processed.
    QCOMPARE(f.Label2->text(), QStringLiteral(" 2 zip(s) processed"));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"a.txt"});
    QCOMPARE(testzip::names(fx.archive("c.zip")), QStringList({"c.txt", "junk.txt"})); // never reached
    QVERIFY(f.XceedZip1->Abort);
    verifyIdle(f);
}

void TestCleanAll::exitDuringARewriteLeavesNoTrace_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<int>("status");
    QTest::newRow("attended") << QString() << 0;
    QTest::newRow("unattended") << QStringLiteral("folder") << 1;
}

void TestCleanAll::exitDuringARewriteLeavesNoTrace()
{
    QFETCH(QString, commandLine);
    QFETCH(int, status);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    testzip::writeZip(fx.archive("b.zip"), entries({"b.txt", "junk.txt"}));
    const QByteArray before = testzip::readAll(fx.archive("a.zip"));
    Form1& f = fx.make(commandLine.isEmpty() ? QString() : fx.archiveFolder());
    Console console;
    console.attach(f);
    bool exited = false;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] {
        if (!exited && f.runFlag == -1 && !leftovers(fx.archiveFolder()).isEmpty()) {
            exited = true;
            f.exitItem->trigger();
        }
    });
    f.Command2->click();
    QVERIFY(exited);
    QCOMPARE(fx.fakes.exits, QList<int>{status});
    QVERIFY(leftovers(fx.archiveFolder()).isEmpty());
    QCOMPARE(testzip::readAll(fx.archive("a.zip")), before);
    QCOMPARE(testzip::names(fx.archive("b.zip")), QStringList({"b.txt", "junk.txt"}));
    // The process has ended: no end-of-run steps, no report, no summary.
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(console.out.isEmpty());
}

void TestCleanAll::readOnlyDriveRefusesTheRun()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    ReadOnlyMount mount(fx.archive("ro"));
    if (!mount.available())
        QSKIP("needs the right to mount a small file system");
    testzip::writeZip(mount.path() + "/a.zip", entries({"a.txt", "junk.txt"}));
    QVERIFY(mount.makeReadOnly());
    Form1& f = fx.make({}, mount.path());
    f.Command2->click();
    QCOMPARE(f.SSPanel2->Caption(), QStringLiteral("Read-only drive"));
    QCOMPARE(f.SSPanel2->FloodType(), 0);
    QCOMPARE(f.Command2->text(), QStringLiteral("&Clean all"));
    QVERIFY(f.AniIcon1->isHidden());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QCOMPARE(testzip::names(mount.path() + "/a.zip"), QStringList({"a.txt", "junk.txt"}));
}

void TestCleanAll::folderLockedByAnotherRun_data()
{
    QTest::addColumn<bool>("held");
    QTest::newRow("held by another run") << true;
    QTest::newRow("free") << false;
}

void TestCleanAll::folderLockedByAnotherRun()
{
    // The window's Clean all takes the lock an unattended run of the folder takes: held, nothing is cleaned.
    QFETCH(bool, held);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    QTemporaryDir locks;
    fx.lockFolder = locks.path();
    std::optional<RunLock> other;
    if (held)
        QVERIFY(other.emplace(fx.archiveFolder(), locks.path()).state() == RunLock::State::Held);
    Form1& f = fx.make();
    f.Command2->click();
    QCOMPARE(f.SSPanel2->Caption() == "Another run is cleaning this folder", held);
    QCOMPARE(testzip::names(fx.archive("a.zip")), held ? QStringList({"a.txt", "junk.txt"}) : QStringList{"a.txt"});
    QCOMPARE(f.Command2->text(), QStringLiteral("&Clean all"));
}

void TestCleanAll::unattendedRun()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    QVERIFY(testzip::writeDataDamaged(fx.archive("b.zip")));
    testzip::writeZip(fx.archive("c.zip"), {testzip::file("file_id.diz", "d"), testzip::file("file_id.diz", "d")});
    QDir().mkpath(fx.archive("elsewhere"));
    // The window starts elsewhere; the command line decides the folder.
    Form1& f = fx.make(fx.archiveFolder(), fx.archive("elsewhere"));
    Console console;
    console.attach(f);
    f.Form_Load();
    QCOMPARE(console.out, QStringList{" 3 zip(s) processed, 1 bad zip(s) found and renamed to +*.bad, 1 double zip(s) "
                                      "found and fixed"});
    // The one damaged archive is named on stderr, with its new name.
    QCOMPARE(console.err.size(), 1);
    QVERIFY2(console.err[0].startsWith("tamsorel: damaged: " + QDir::toNativeSeparators(fx.archive("b.zip"))) &&
                 console.err[0].endsWith("renamed to b.zip.bad"),
             qPrintable(console.err[0]));
    QCOMPARE(fx.fakes.exits, QList<int>{0});
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(fx.fakes.sound.played.isEmpty());
    QVERIFY(QFile::exists(fx.archive("b.zip.bad")));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"a.txt"});
    QCOMPARE(testzip::names(fx.archive("c.zip")), QStringList{"file_id.diz"});
}

void TestCleanAll::unattendedAbortEndsWithStatusOne()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    testzip::writeZip(fx.archive("b.zip"), entries({"b.txt", "junk.txt"}));
    Form1& f = fx.make(fx.archiveFolder());
    Console console;
    console.attach(f);
    bool pressed = false;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] {
        if (!pressed && f.runFlag == -1 && f.windowTitle() == "Cleaning b.zip") {
            pressed = true;
            QTimer::singleShot(0, f.Command2, &QPushButton::click);
        }
    });
    f.Form_Load();
    QVERIFY(pressed);
    QCOMPARE(console.out.size(), 1);
    QVERIFY(console.out[0].startsWith(" 1 zip(s) processed, 0 bad zip(s)"));
    QCOMPARE(fx.fakes.exits, QList<int>{1});
}

void TestCleanAll::unattendedMissingFolderRunsNothing()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    Form1& f = fx.make(fx.archive("no such folder"));
    Console console;
    console.attach(f);
    f.Form_Load();
    QCOMPARE(console.err.size(), 1);
    QVERIFY(console.err[0].contains("no such folder"));
    QVERIFY(console.out.isEmpty());
    QCOMPARE(fx.fakes.exits, QList<int>{2});
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList({"a.txt", "junk.txt"}));
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

void TestCleanAll::unattendedReadOnlyFolder()
{
    FormFixture fx;
    ReadOnlyMount mount(fx.archive("ro"));
    if (!mount.available())
        QSKIP("needs the right to mount a small file system");
    testzip::writeZip(mount.path() + "/a.zip", entries({"a.txt"}));
    QVERIFY(mount.makeReadOnly());
    Form1& f = fx.make(mount.path());
    Console console;
    console.attach(f);
    f.Form_Load();
    QCOMPARE(console.err.size(), 1);
    QVERIFY(console.out.isEmpty());
    QCOMPARE(fx.fakes.exits, QList<int>{2});
}

void TestCleanAll::rootFolderArchivePath()
{
    // The archive path in a root folder is the separator and the name, never two separators. The name
    // is one that "/" does not hold, so nothing there is read or touched.
    FormFixture fx;
    const QString name = QStringLiteral("tamsorel-probe-%1.zip").arg(QRandomGenerator::global()->generate());
    QVERIFY(!QFileInfo::exists("/" + name));
    struct Listed : CleanRunObserver
    {
        QStringList paths;
        void listingStarted(const QString& path) override { paths << path; }
    } observer;
    RunReport report;
    CleanRunSetup setup;
    setup.folder = QString(); // "/" by the current-folder rule
    setup.names = {name};
    setup.report = &report;
    setup.collection.jobs = 1;
    CleanRun run(setup, observer);
    QVERIFY(run.run());
    QCOMPARE(observer.paths, QStringList{"/" + name});
    QCOMPARE(run.counts().bad, 0);
    QVERIFY(!QFileInfo::exists("/" + name));
}

void TestCleanAll::folderChangeDuringARun()
{
    // The run keeps its folder and bound while the user browses elsewhere in its pump.
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    testzip::writeZip(fx.archive("a.zip"), entries({"a.txt", "junk.txt"}));
    testzip::writeZip(fx.archive("b.zip"), entries({"b.txt", "junk.txt"}));
    QDir().mkpath(fx.archive("other"));
    testzip::writeZip(fx.archive("other/a0.zip"), entries({"p.txt", "junk.txt"}));
    testzip::writeZip(fx.archive("other/b.zip"), entries({"o.txt", "junk.txt"}));
    Form1& f = fx.make();
    bool moved = false;
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&] {
        if (!moved && f.runFlag == -1 && f.windowTitle() == "Cleaning a.zip") {
            moved = true;
            QTimer::singleShot(0, &f, [&] { f.Dir1->setPath(fx.archive("other")); });
        }
    });
    f.Command2->click();
    QVERIFY(moved);
    verifyIdle(f);
    QCOMPARE(f.Label2->text(), QStringLiteral(" 2 zip(s) processed"));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"a.txt"});
    // Position 1 now reads "b.zip" from the other folder's list; the run still works in its own folder.
    QCOMPARE(testzip::names(fx.archive("b.zip")), QStringList{"b.txt"});
    QCOMPARE(testzip::names(fx.archive("other/a0.zip")), QStringList({"p.txt", "junk.txt"}));
    QCOMPARE(testzip::names(fx.archive("other/b.zip")), QStringList({"o.txt", "junk.txt"}));
}

QTEST_MAIN(TestCleanAll)
#include "test_cleanall.moc"
