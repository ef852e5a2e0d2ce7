// Browsing folders, listing the chosen archive, and the quarantine of an archive found damaged.

#include "clean/ZipComponent.h"
#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/ReadOnlyMount.h"
#include "testsupport/TestArchives.h"

#include <QTest>

class TestBrowse : public QObject
{
    Q_OBJECT
private slots:
    void choosingAFolderListsItsFirstArchive();
    void folderWithoutArchivesKeepsThePreviousListing();
    void damagedArchiveWhileBrowsing_data();
    void damagedArchiveWhileBrowsing();
    void mixedCaseArchiveRenamedUnderItsRealName();
    void olderQuarantinedCopyIsReplaced();
    void nonWritableFolderKeepsTheArchive();
    void nothingSelectedListsNothing();
    void missingArchiveIsNotQuarantined();
    void clicksDuringARunChangeNothing();
    void unreadableFolderSaysWhy();
    void statusFillsTheBar();
    void manyArchivesGrowTheNameTable();
};

void TestBrowse::choosingAFolderListsItsFirstArchive()
{
    FormFixture fx;
    QDir(fx.archiveFolder()).mkdir("sub");
    testzip::writeZip(fx.archive("sub/one.zip"), {testzip::file("Z.TXT", "z"), testzip::file("b.txt", "b")});
    Form1& f = fx.make();
    QVERIFY(f.Dir1->setPath(fx.archive("sub")));
    QCOMPARE(f.File1->ListCount(), 1);
    QCOMPARE(f.File1->ListIndex(), 0);
    QCOMPARE(listLines(f.List1), QStringList({"b.txt", "z.txt"}));
    QCOMPARE(f.SSPanel1->Caption(), QStringLiteral("one.zip"));
    QCOMPARE(f.currentArchive, fx.archive("sub/one.zip"));
    QCOMPARE(f.mousePointer(), 0);
}

void TestBrowse::folderWithoutArchivesKeepsThePreviousListing()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    QDir(fx.archiveFolder()).mkdir("empty");
    Form1& f = fx.make();
    f.Form_Load();
    QCOMPARE(listLines(f.List1), QStringList{"x.txt"});
    QVERIFY(f.Dir1->setPath(fx.archive("empty")));
    QCOMPARE(f.File1->ListCount(), 0);
    QCOMPARE(listLines(f.List1), QStringList{"x.txt"});
    QCOMPARE(f.SSPanel1->Caption(), QStringLiteral("a.zip"));
}

void TestBrowse::damagedArchiveWhileBrowsing_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<int>("messages");
    QTest::newRow("attended: reported") << QString() << 1;
    QTest::newRow("unattended: silent") << QStringLiteral("x") << 0;
}

void TestBrowse::damagedArchiveWhileBrowsing()
{
    QFETCH(QString, commandLine);
    QFETCH(int, messages);
    FormFixture fx;
    QVERIFY(testzip::writeDataDamaged(fx.archive("bad.zip")));
    testzip::writeZip(fx.archive("good.zip"), {testzip::file("g.txt", "g")});
    Form1& f = fx.make(commandLine);
    f.File1->setSelected(0, true);
    // The entries listed before the failure stay, with the marker.
    QCOMPARE(listLines(f.List1), QStringList({"--> Moving too fast! <--", "first.txt", "second.txt"}));
    QCOMPARE(fx.fakes.messageBox.messages.size(), messages);
    if (messages) {
        QCOMPARE(fx.fakes.messageBox.messages[0].text, "CRC error in - " + fx.archive("bad.zip").toLower());
        QCOMPARE(fx.fakes.messageBox.messages[0].style, 16);
        QCOMPARE(fx.fakes.messageBox.messages[0].title, QStringLiteral("Tamsorel error"));
    }
    QVERIFY(!QFile::exists(fx.archive("bad.zip")));
    QVERIFY(QFile::exists(fx.archive("bad.zip.bad")));
    QCOMPARE(f.File1->ListCount(), 1);
    QCOMPARE(f.File1->List(0), QStringLiteral("good.zip"));
    QVERIFY(fx.fakes.sound.played.isEmpty());
    QCOMPARE(f.mousePointer(), 0);
}

void TestBrowse::mixedCaseArchiveRenamedUnderItsRealName()
{
    FormFixture fx;
    QDir(fx.archiveFolder()).mkdir("Files");
    QVERIFY(testzip::writeDataDamaged(fx.archive("Files/ABC.ZIP")));
    Form1& f = fx.make({}, fx.archive("Files"));
    f.File1->setSelected(0, true);
    const QString shown = fx.archive("Files/ABC.ZIP").toLower();
    QCOMPARE(fx.fakes.messageBox.messages.value(0).text, "CRC error in - " + shown);
    QCOMPARE(f.currentArchive, shown);
    QVERIFY(QFile::exists(fx.archive("Files/ABC.ZIP.bad")));
    QVERIFY(!QFile::exists(fx.archive("Files/ABC.ZIP")));
    QCOMPARE(f.File1->ListCount(), 0);
}

void TestBrowse::olderQuarantinedCopyIsReplaced()
{
    FormFixture fx;
    QVERIFY(testzip::writeDataDamaged(fx.archive("a.zip")));
    const QByteArray damaged = testzip::readAll(fx.archive("a.zip"));
    QFile old(fx.archive("a.zip.bad"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("older copy");
    old.close();
    old.setPermissions(QFileDevice::ReadOwner);
    Form1& f = fx.make();
    f.File1->setSelected(0, true);
    QCOMPARE(testzip::readAll(fx.archive("a.zip.bad")), damaged);
    QVERIFY(!QFile::exists(fx.archive("a.zip")));
}

void TestBrowse::nonWritableFolderKeepsTheArchive()
{
    FormFixture fx;
    ReadOnlyMount mount(fx.archive("ro"));
    if (!mount.available())
        QSKIP("needs the right to mount a small file system");
    QVERIFY(testzip::writeDataDamaged(mount.path() + "/bad.zip"));
    QVERIFY(mount.makeReadOnly());
    Form1& f = fx.make({}, mount.path());
    f.File1->setSelected(0, true);
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1); // still reported
    QVERIFY(QFile::exists(mount.path() + "/bad.zip"));
    QVERIFY(!QFile::exists(mount.path() + "/bad.zip.bad"));
    QCOMPARE(f.File1->ListCount(), 1); // refreshed, and still there
    QCOMPARE(f.File1->ListIndex(), -1);
}

void TestBrowse::nothingSelectedListsNothing()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    Form1& f = fx.make();
    f.Form_Load();
    QVERIFY(QFile::rename(fx.archive("a.zip"), fx.archive("a.zip.bad")));
    f.File1->Refresh();
    f.ShowArchiveContents();
    QCOMPARE(f.List1->ListCount(), 0);
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(QFile::exists(fx.archive("a.zip.bad")));
}

void TestBrowse::missingArchiveIsNotQuarantined()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    Form1& f = fx.make();
    QFile::remove(fx.archive("a.zip")); // gone between the folder's reading and the click
    f.File1->setSelected(0, true);
    QCOMPARE(listLines(f.List1), QStringList{"--> Moving too fast! <--"});
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(!QFile::exists(fx.archive("a.zip.bad")));
}

void TestBrowse::clicksDuringARunChangeNothing()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    testzip::writeZip(fx.archive("b.zip"), {testzip::file("y.txt", "y")});
    Form1& f = fx.make();
    f.Form_Load();
    const QStringList namesBefore = f.selectedNames;
    f.runFlag = -1;
    f.File1->setSelected(1, true);
    f.File1_MouseUp();
    QCOMPARE(f.selectedNames, namesBefore);
    QCOMPARE(f.SSPanel1->Caption(), QStringLiteral("a.zip"));
    QCOMPARE(listLines(f.List1), QStringList{"x.txt"});
}

void TestBrowse::unreadableFolderSaysWhy()
{
    FormFixture fx;
    QDir(fx.archiveFolder()).mkdir("gone");
    Form1& f = fx.make();
    QVERIFY(f.Dir1->setPath(fx.archive("gone")));
    QDir(fx.archiveFolder()).rmdir("gone");
    f.Dir1_Change();
    QCOMPARE(f.File1->ListCount(), 0);
    QVERIFY(f.SSPanel2->Caption().contains("gone"));
    QVERIFY(f.File1->isEnabled());
}

void TestBrowse::statusFillsTheBar()
{
    FormFixture fx;
    Form1& f = fx.make();
    f.XceedZip1_Status(40);
    QCOMPARE(f.SSPanel2->FloodType(), 1);
    QCOMPARE(f.SSPanel2->FloodPercent(), 40);
}

void TestBrowse::manyArchivesGrowTheNameTable()
{
    FormFixture fx;
    for (int i = 0; i < 20050; ++i)
        QFile(fx.archive(QStringLiteral("a%1.zip").arg(i, 5, 10, QLatin1Char('0')))).open(QIODevice::WriteOnly);
    Form1& f = fx.make();
    QCOMPARE(f.File1->ListCount(), 20050);
    f.runFlag = -1; // keep the click from listing: only the table matters here
    f.File1->setSelected(20049, true);
    f.runFlag = 0;
    f.File1_MouseUp();
    QCOMPARE(f.selectedNames.size(), 20050);
    QCOMPARE(f.selectedNames[20049], QStringLiteral("20049"));
}

QTEST_MAIN(TestBrowse)
#include "test_browse.moc"
