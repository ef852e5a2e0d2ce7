// The main window: controls, menus, list order, the path rules and the small shared services.

#include "platform/AnimatedIcon.h"
#include "platform/DirListBox.h"
#include "platform/DriveListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/Twips.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

class TestForm1 : public QObject
{
    Q_OBJECT
private slots:
    void controlsStandWhereTheTableSays_data();
    void controlsStandWhereTheTableSays();
    void captionsAndStartState();
    void clientAreaIsFixed();
    void menusCarryTheirItemsInOrder();
    void list1KeepsPlatformSortOrder_data();
    void list1KeepsPlatformSortOrder();
    void list1ManyLinesStaySorted();
    void list1KeepsSelectionWhenLinesArrive();
    void selectingFromCodeRaisesClick();
    void settingDirPathRaisesChangeOnce();
    void currentFolderRule_data();
    void currentFolderRule();
    void countTextHasSignPlace_data();
    void countTextHasSignPlace();
    void busyPointerIsAbsolute();
    void tabOrderFollowsTheTable();
};

void TestForm1::controlsStandWhereTheTableSays_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twipsGeometry");
    QTest::newRow("Drive1") << "Drive1" << QRect(120, 105, 1950, 315);
    QTest::newRow("Dir1") << "Dir1" << QRect(105, 495, 1950, 3240);
    QTest::newRow("File1") << "File1" << QRect(2130, 510, 1950, 3210);
    QTest::newRow("List1") << "List1" << QRect(4155, 525, 2085, 2595);
    QTest::newRow("Command2") << "Command2" << QRect(4200, 3330, 915, 345);
    QTest::newRow("Command1") << "Command1" << QRect(5295, 3330, 945, 345);
    QTest::newRow("Label1") << "Label1" << QRect(2085, 210, 1920, 525);
    QTest::newRow("Label2") << "Label2" << QRect(2730, 135, 2610, 255);
    QTest::newRow("AniIcon1") << "AniIcon1" << QRect(2235, 15, 480, 480);
    QTest::newRow("SSPanel1") << "SSPanel1" << QRect(90, 3840, 1965, 225);
    QTest::newRow("SSPanel2") << "SSPanel2" << QRect(2160, 3840, 4080, 225);
    QTest::newRow("SSPanel3") << "SSPanel3" << QRect(5520, 75, 720, 330);
}

void TestForm1::controlsStandWhereTheTableSays()
{
    QFETCH(QString, name);
    QFETCH(QRect, twipsGeometry);
    FormFixture fx;
    Form1& f = fx.make();
    auto* w = f.findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    const QRect expected =
        twipsRect(&f, twipsGeometry.x(), twipsGeometry.y(), twipsGeometry.width(), twipsGeometry.height());
    // The two bottom panels grow down from their place, where 225 twips are too low for their captions.
    if (auto* panel = qobject_cast<Panel3D*>(w); panel && name != QLatin1String("SSPanel3")) {
        QCOMPARE(w->geometry().topLeft(), expected.topLeft());
        QCOMPARE(w->width(), expected.width());
        QCOMPARE(w->height(), qMax(expected.height(), panel->captionHeight()));
        return;
    }
    QCOMPARE(w->geometry(), expected);
}

void TestForm1::captionsAndStartState()
{
    FormFixture fx;
    Form1& f = fx.make();
    QCOMPARE(f.windowTitle(), QStringLiteral("Tamsorel"));
    QCOMPARE(f.Command2->text(), QStringLiteral("&Clean all"));
    QVERIFY(!f.Command2->icon().isNull());
    QCOMPARE(f.Command1->text(), QStringLiteral("&Add"));
    QCOMPARE(f.Label1->text(), QString());
    QCOMPARE(f.Label2->text(), QString());
    QCOMPARE(f.Label2->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    QVERIFY(f.AniIcon1->isHidden());
    QCOMPARE(f.SSPanel1->Caption(), QString());
    QCOMPARE(f.SSPanel2->Caption(), QString());
    QVERIFY(!f.SSPanel3->Caption().isEmpty());
    QCOMPARE(f.File1->Pattern(), QStringLiteral("*.zip"));
    QCOMPARE(f.List1->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(f.File1->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(f.runFlag, qint16(0));
    QCOMPARE(f.selectedNames.size(), 20001);
    QCOMPARE(f.Dir1->Path(), fx.archiveFolder());
    QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
}

void TestForm1::clientAreaIsFixed()
{
    FormFixture fx;
    Form1& f = fx.make();
    QCOMPARE(f.centralWidget()->size(), QSize(twips(&f, 6375), twips(&f, 4200)));
    QCOMPARE(f.minimumSize(), f.maximumSize());
}

void TestForm1::menusCarryTheirItemsInOrder()
{
    FormFixture fx;
    Form1& f = fx.make();
    auto shape = [](QMenu* m) {
        QStringList out;
        for (QAction* a : m->actions())
            out << a->objectName() + QLatin1Char('=') + (a->isSeparator() ? QStringLiteral("-") : a->text());
        return out;
    };
    QCOMPARE(f.file->title(), QStringLiteral("&File"));
    QCOMPARE(shape(f.file),
             QStringList({"vpurge=&View purge.txt...", "lastRun=&Last run...", "dead3=-", "exit=E&xit"}));
    QCOMPARE(f.help->title(), QStringLiteral("&Help"));
    QCOMPARE(shape(f.help), QStringList({"contents=&Contents...", "dead1=-", "web=&Web...", "email=&Email...",
                                         "dead2=-", "about=&About..."}));
}

void TestForm1::list1KeepsPlatformSortOrder_data()
{
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("marker among names") << QStringList{"readme.txt", "Bad zip found", "a.txt"}
                                        << QStringList{"a.txt", "Bad zip found", "readme.txt"};
    QTest::newRow("moving-too-fast marker") << QStringList{"zz.txt", "--> Moving too fast! <--", "a.txt"}
                                            << QStringList{"--> Moving too fast! <--", "a.txt", "zz.txt"};
    QTest::newRow("duplicates kept") << QStringList{"file_id.diz", "a.txt", "file_id.diz"}
                                     << QStringList{"a.txt", "file_id.diz", "file_id.diz"};
}

void TestForm1::list1KeepsPlatformSortOrder()
{
    QFETCH(QStringList, added);
    QFETCH(QStringList, shown);
    ListBox list;
    for (const QString& line : added)
        list.AddItem(line);
    QStringList got;
    for (int i = 0; i < list.ListCount(); ++i)
        got << list.List(i);
    QCOMPARE(got, shown);
    QCOMPARE(list.List(list.ListCount()), QString()); // beyond the end reads empty
}

void TestForm1::list1ManyLinesStaySorted()
{
    ListBox list;
    for (int i = 0; i < 3000; ++i)
        list.AddItem(QStringLiteral("Entry%1.txt").arg((i * 7919) % 3000, 4, 10, QLatin1Char('0')));
    QCOMPARE(list.ListCount(), 3000);
    for (int i = 1; i < list.ListCount(); ++i)
        QVERIFY(!ListBox::lessThan(list.List(i), list.List(i - 1)));
    list.RemoveItem(0);
    QCOMPARE(list.List(0), QStringLiteral("Entry0001.txt"));
}

void TestForm1::list1KeepsSelectionWhenLinesArrive()
{
    ListBox list;
    list.AddItem("b.txt");
    list.AddItem("d.txt");
    list.setSelected(1, true);
    list.AddItem("a.txt");
    list.AddItem("c.txt");
    QCOMPARE(list.ListCount(), 4);
    QVERIFY(list.Selected(3));
    QCOMPARE(list.List(3), QStringLiteral("d.txt"));
    QVERIFY(!list.Selected(0));
}

void TestForm1::selectingFromCodeRaisesClick()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    testzip::writeZip(fx.archive("B.ZIP"), {testzip::file("y.txt", "y")});
    QFile(fx.archive("notes.txt")).open(QIODevice::WriteOnly);
    QDir().mkdir(fx.archive("folder.zip"));
    QFile::link(fx.archive("missing.zip"), fx.archive("dangling.zip"));
    Form1& f = fx.make();
    QCOMPARE(f.File1->ListCount(), 2); // letter case ignored; folders, other files and dangling links left out
    QSignalSpy clicks(f.File1, &FileListBox::Click);
    f.File1->setSelected(1, true);
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(f.File1->ListIndex(), 1);
    f.File1->setSelected(1, false);
    QCOMPARE(clicks.count(), 1);
}

void TestForm1::settingDirPathRaisesChangeOnce()
{
    FormFixture fx;
    Form1& f = fx.make();
    QDir(fx.archiveFolder()).mkdir("sub");
    QSignalSpy changes(f.Dir1, &DirListBox::Change);
    QVERIFY(f.Dir1->setPath(fx.archive("sub")));
    QVERIFY(f.Dir1->setPath(fx.archive("sub/")));
    QCOMPARE(changes.count(), 1);
    QVERIFY(!f.Dir1->setPath(fx.archive("no such folder")));
    QCOMPARE(f.Dir1->Path(), fx.archive("sub"));
}

void TestForm1::currentFolderRule_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("archive");
    QTest::newRow("root has one separator") << "/"
                                            << ""
                                            << "/a.zip";
    QTest::newRow("ordinary folder") << "/usr"
                                     << "/usr"
                                     << "/usr/a.zip";
    QTest::newRow("trailing separator dropped") << "/usr/"
                                                << "/usr"
                                                << "/usr/a.zip";
}

void TestForm1::currentFolderRule()
{
    QFETCH(QString, dir);
    QFETCH(QString, folder);
    QFETCH(QString, archive);
    FormFixture fx;
    Form1& f = fx.make();
    QVERIFY(f.Dir1->setPath(dir));
    QCOMPARE(f.folderFromDir(), folder);
    QCOMPARE(f.archivePath("a.zip"), archive);
    QCOMPARE(f.dataPath("purge.txt"), fx.programFolder() + "/purge.txt");
}

void TestForm1::countTextHasSignPlace_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << " 0";
    QTest::newRow("three") << qint64(3) << " 3";
    QTest::newRow("past 16 bits") << qint64(40000) << " 40000";
}

void TestForm1::countTextHasSignPlace()
{
    QFETCH(qint64, count);
    QFETCH(QString, text);
    QCOMPARE(Form1::countText(count), text);
}

void TestForm1::busyPointerIsAbsolute()
{
    FormFixture fx;
    Form1& f = fx.make();
    f.setMousePointer(11);
    f.setMousePointer(11);
    QVERIFY(QApplication::overrideCursor());
    f.setMousePointer(0);
    QVERIFY(!QApplication::overrideCursor()); // one reset undoes any number of sets, as the pointer property does
    f.setMousePointer(0);
    QVERIFY(!QApplication::overrideCursor());
}

void TestForm1::tabOrderFollowsTheTable()
{
    FormFixture fx;
    Form1& f = fx.make();
    const QList<QWidget*> chain{f.File1, f.Command2, f.Drive1, f.Dir1, f.List1, f.Command1};
    QWidget* w = f.File1;
    for (int i = 1; i < chain.size(); ++i) {
        do
            w = w->nextInFocusChain();
        while (!chain.contains(w));
        QCOMPARE(w, chain[i]);
    }
}

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
