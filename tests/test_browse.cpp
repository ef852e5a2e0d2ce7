// Browsing folders, listing the chosen archive, and the quarantine of an archive found damaged.

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

namespace {

// What the user does while the listing of a.zip waits in the component's event pump.
enum class Pumped
{
    ClickOtherArchive,
    DownKeyInFile1,
    DeleteKeyInList1,
    DoubleClickInList1,
    AddButton,
    CleanAllButton
};

void clickItem(QListWidget* list, int row, bool twice = false)
{
    const QPoint at = list->visualItemRect(list->item(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    if (twice)
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

} // namespace

Q_DECLARE_METATYPE(Pumped)

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
    void eventsPumpedDuringAListing_data();
    void eventsPumpedDuringAListing();
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

void TestBrowse::eventsPumpedDuringAListing_data()
{
    QTest::addColumn<Pumped>("event");
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<QString>("word");
    QTest::newRow("click on another archive, damaged a.zip")
        << Pumped::ClickOtherArchive << true << "the listing waits";
    QTest::newRow("click on another archive, healthy a.zip")
        << Pumped::ClickOtherArchive << false << "the listing waits";
    QTest::newRow("Down key in File1") << Pumped::DownKeyInFile1 << true << "the listing waits";
    QTest::newRow("Delete key in List1") << Pumped::DeleteKeyInList1 << true << "Delete refused";
    QTest::newRow("double-click in List1") << Pumped::DoubleClickInList1 << true << "the view refused";
    QTest::newRow("Add") << Pumped::AddButton << true << "Add refused";
    QTest::newRow("Clean all") << Pumped::CleanAllButton << true << "Clean all refused";
}

void TestBrowse::eventsPumpedDuringAListing()
{
    // The component pumps events half-way through testing a.zip (after its first entry); the event
    // arrives through the real widgets there. The listing must still judge a.zip, and only a.zip.
    QFETCH(Pumped, event);
    QFETCH(bool, damaged);
    QFETCH(QString, word);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    if (damaged)
        QVERIFY(testzip::writeDataDamaged(fx.archive("a.zip")));
    else
        QVERIFY(testzip::writeZip(fx.archive("a.zip"), {testzip::file("first.txt", testzip::text(500, 1)),
                                                        testzip::file("second.txt", testzip::text(900, 2))}));
    QVERIFY(testzip::writeZip(fx.archive("b.zip"), {testzip::file("first.txt", "b1"), testzip::file("junk.txt", "j")}));
    const QByteArray a = testzip::readAll(fx.archive("a.zip"));
    const QByteArray b = testzip::readAll(fx.archive("b.zip"));
    Form1& f = fx.make();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    bool sent = false;
    QString panel;
    f.XceedZip1->setProgressHook([&] {
        if (!sent && f.List1->ListCount() == 2) {
            sent = true;
            switch (event) {
            case Pumped::ClickOtherArchive:
                clickItem(f.File1, 1);
                break;
            case Pumped::DownKeyInFile1:
                f.File1->setFocus();
                QTest::keyClick(f.File1, Qt::Key_Down);
                break;
            case Pumped::DeleteKeyInList1:
                f.List1->setSelected(0, true);
                f.List1->setFocus();
                QTest::keyClick(f.List1, Qt::Key_Delete);
                break;
            case Pumped::DoubleClickInList1:
                clickItem(f.List1, 0, true);
                break;
            case Pumped::AddButton:
                f.List1->setSelected(0, true);
                QTest::mouseClick(f.Command1, Qt::LeftButton);
                break;
            case Pumped::CleanAllButton:
                QTest::mouseClick(f.Command2, Qt::LeftButton);
                break;
            }
            panel = f.SSPanel2->Caption();
        }
        f.pumpEvents();
    });
    f.File1->setSelected(0, true);
    QVERIFY(sent);
    QCOMPARE(testzip::readAll(fx.archive("b.zip")), b); // never touched, never renamed
    QCOMPARE(testzip::readAll(fx.programFolder() + "/purge.txt"), QByteArray("junk.txt\r\n"));
    QCOMPARE(f.runFlag, qint16(0));
    QVERIFY(fx.fakes.launcher.programs.isEmpty());
    QVERIFY(!f.form2());
    if (damaged) {
        QCOMPARE(testzip::readAll(fx.archive("a.zip.bad")), a);
        QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
        QCOMPARE(fx.fakes.messageBox.messages[0].text,
                 "CRC error in - " + QDir::toNativeSeparators(fx.archive("a.zip")).toLower());
        QCOMPARE(listLines(f.List1), QStringList({"--> Moving too fast! <--", "first.txt", "second.txt"}));
        QCOMPARE(f.File1->ListCount(), 1);
    } else {
        // The click waited: b.zip is listed once a.zip's listing is over.
        QCOMPARE(testzip::readAll(fx.archive("a.zip")), a);
        QVERIFY(fx.fakes.messageBox.messages.isEmpty());
        QTRY_COMPARE(listLines(f.List1), QStringList({"first.txt", "junk.txt"}));
        QCOMPARE(f.currentArchive, fx.archive("b.zip"));
        QCOMPARE(f.SSPanel2->Caption(), QString());
    }
    QCOMPARE(panel, "Busy listing a.zip: " + word);
}

QTEST_MAIN(TestBrowse)
#include "test_browse.moc"
