// The window's keyboard commands, pressed on the focused control: relisting, deleting one entry, aborting a
// run and opening the help file.

#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/FileOps.h"
#include "zip/ZipComponent.h"

#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

void selectLines(ListBox* list, const QStringList& texts)
{
    list->clearSelection();
    for (int i = 0; i < list->ListCount(); ++i)
        if (texts.contains(list->List(i)))
            list->setSelected(i, true);
}

// The window as the program starts: the load handler selects and lists the first archive.
Form1& start(FormFixture& fx, const QString& programFolder = {})
{
    Form1& f = fx.make({}, {}, programFolder);
    f.Form_Load();
    return f;
}

// Shows the window and gives the key's target the focus, as a user's click would.
bool focus(Form1& f, QWidget* target)
{
    f.show();
    if (!QTest::qWaitForWindowExposed(&f))
        return false;
    f.activateWindow();
    target->setFocus();
    return f.focusWidget() == target;
}

// The same names, but the second entry's local header names another file: the component calls that damage.
bool writeHeaderDamaged(const QString& path)
{
    testzip::Entry a = testzip::file("a.txt", "aaa");
    testzip::Entry b = testzip::file("b.txt", "bbb");
    b.localName = "x.txt";
    return testzip::writeZip(path, {a, b});
}

} // namespace

class TestKeyboard : public QObject
{
    Q_OBJECT
private slots:
    void upAndDownRelistWhenIdle_data();
    void upAndDownRelistWhenIdle();
    void upAndDownDuringARunListNothing();
    void deleteRemovesOnlyTheFirstSelectedEntry_data();
    void deleteRemovesOnlyTheFirstSelectedEntry();
    void deleteKeepsEveryArchiveMode();
    void deleteOnADamagedArchiveReportsAndKeepsTheEntry();
    void deleteThatCannotWriteKeepsTheLine();
    void deleteWithoutSelectedEntryChangesNothing();
    void deleteInTheRootFolderNamesTheArchiveOnce();
    void deleteDuringARunIsRefused();
    void escapeStopsOnlyARun_data();
    void escapeStopsOnlyARun();
    void escapeStopsARealRun();
    void helpKeyOpensTheHelpFile_data();
    void helpKeyOpensTheHelpFile();
};

void TestKeyboard::upAndDownRelistWhenIdle_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("up") << int(Qt::Key_Up);
    QTest::newRow("down") << int(Qt::Key_Down);
}

void TestKeyboard::upAndDownRelistWhenIdle()
{
    QFETCH(int, key);
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("one.txt", "1"), testzip::file("two.txt", "2")});
    Form1& f = start(fx);
    QCOMPARE(listLines(f.List1), QStringList({"one.txt", "two.txt"}));
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("Three.TXT", "3")});
    QVERIFY(focus(f, f.List1));
    QTest::keyClick(f.List1, Qt::Key(key));
    QCOMPARE(listLines(f.List1), QStringList({"three.txt"}));
    QCOMPARE(f.mousePointer(), 0);
}

void TestKeyboard::upAndDownDuringARunListNothing()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("one.txt", "1")});
    Form1& f = start(fx);
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("new.txt", "n")});
    QVERIFY(focus(f, f.File1));
    f.runFlag = -1;
    QTest::keyClick(f.File1, Qt::Key_Up);
    QTest::keyClick(f.File1, Qt::Key_Down);
    QCOMPARE(listLines(f.List1), QStringList({"one.txt"}));
    QCOMPARE(f.runFlag, qint16(-1));
}

void TestKeyboard::deleteRemovesOnlyTheFirstSelectedEntry_data()
{
    QTest::addColumn<int>("modifiers");
    QTest::newRow("delete") << int(Qt::NoModifier);
    QTest::newRow("shift+delete") << int(Qt::ShiftModifier);
    QTest::newRow("ctrl+alt+delete") << int(Qt::ControlModifier | Qt::AltModifier);
}

void TestKeyboard::deleteRemovesOnlyTheFirstSelectedEntry()
{
    QFETCH(int, modifiers);
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"),
                      {testzip::file("a.txt", "a"), testzip::file("B.txt", "b"), testzip::file("c.txt", "c")});
    Form1& f = start(fx);
    selectLines(f.List1, {"b.txt", "c.txt"});
    QVERIFY(focus(f, f.List1));
    QTest::keyClick(f.List1, Qt::Key_Delete, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList({"a.txt", "c.txt"}));
    QCOMPARE(listLines(f.List1), QStringList({"a.txt", "c.txt"}));
    QCOMPARE(f.currentFolder, fx.archiveFolder());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QCOMPARE(f.mousePointer(), 0);
}

void TestKeyboard::deleteKeepsEveryArchiveMode()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x"), testzip::file("y.txt", "y")});
    testzip::writeZip(fx.archive("b.zip"), {testzip::file("z.txt", "z")});
    const auto readOnly = QFile::ReadOwner | QFile::ReadUser;
    QVERIFY(QFile::setPermissions(fx.archive("a.zip"), readOnly));
    QVERIFY(QFile::setPermissions(fx.archive("b.zip"), readOnly));
    Form1& f = start(fx);
    selectLines(f.List1, {"x.txt"});
    QVERIFY(focus(f, f.List1));
    QTest::keyClick(f.List1, Qt::Key_Delete);
    // The rewrite needs no write permission on the archive itself: a read-only archive stays read-only.
    QCOMPARE(QFile::permissions(fx.archive("a.zip")) & QFile::WriteOwner, 0);
    QCOMPARE(QFile::permissions(fx.archive("b.zip")) & QFile::WriteOwner, 0);
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList({"y.txt"}));
    QCOMPARE(listLines(f.List1), QStringList({"y.txt"}));
}

void TestKeyboard::deleteOnADamagedArchiveReportsAndKeepsTheEntry()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("Bad.zip"), {testzip::file("a.txt", "aaa"), testzip::file("b.txt", "bbb")});
    Form1& f = start(fx);
    QCOMPARE(listLines(f.List1), QStringList({"a.txt", "b.txt"}));
    // Damaged after it was listed: only the Delete finds out.
    QVERIFY(writeHeaderDamaged(fx.archive("Bad.zip")));
    const QByteArray before = testzip::readAll(fx.archive("Bad.zip"));
    selectLines(f.List1, {"a.txt"});
    QVERIFY(focus(f, f.List1));
    QTest::keyClick(f.List1, Qt::Key_Delete);
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text, "CRC error in " + QDir::toNativeSeparators(fx.archive("Bad.zip")));
    QCOMPARE(fx.fakes.messageBox.messages[0].style, 48);
    QCOMPARE(fx.fakes.messageBox.messages[0].title, QStringLiteral("Tamsorel error"));
    QCOMPARE(listLines(f.List1), QStringList({"a.txt", "b.txt"}));
    // No quarantine: the archive keeps its name and its bytes.
    QCOMPARE(testzip::readAll(fx.archive("Bad.zip")), before);
    QVERIFY(!QFile::exists(fx.archive("Bad.zip.bad")));
    QCOMPARE(f.mousePointer(), 0);
}

void TestKeyboard::deleteThatCannotWriteKeepsTheLine()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x"), testzip::file("y.txt", "y")});
    Form1& f = start(fx);
    // The archive vanishes behind the window's back: the entry cannot have left it, so its line stays.
    QVERIFY(QFile::remove(fx.archive("a.zip")));
    selectLines(f.List1, {"x.txt"});
    QVERIFY(focus(f, f.List1));
    QTest::keyClick(f.List1, Qt::Key_Delete);
    QCOMPARE(listLines(f.List1), QStringList({"x.txt", "y.txt"}));
    QVERIFY(f.SSPanel2->Caption().contains("x.txt"));
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(!QFile::exists(fx.archive("a.zip")));
}

void TestKeyboard::deleteWithoutSelectedEntryChangesNothing()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    QVERIFY(QFile::setPermissions(fx.archive("a.zip"), QFile::ReadOwner));
    Form1& f = start(fx);
    f.List1->clearSelection();
    QVERIFY(focus(f, f.List1));
    QTest::keyClick(f.List1, Qt::Key_Delete);
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList({"x.txt"}));
    QCOMPARE(listLines(f.List1), QStringList({"x.txt"}));
    // No mode changes on disk.
    QCOMPARE(QFile::permissions(fx.archive("a.zip")) & QFile::WriteOwner, 0);
}

void TestKeyboard::deleteInTheRootFolderNamesTheArchiveOnce()
{
    // Only the path rule is checked: the archive named in "/" does not exist, so nothing there is touched.
    if (!fileops::ordinaryFiles(QStringLiteral("/"), QStringLiteral("*.zip")).isEmpty())
        QSKIP("the root folder holds archives; this test must not go near them");
    FormFixture fx;
    Form1& f = start(fx);
    QVERIFY(f.Dir1->setPath(QStringLiteral("/")));
    const QString name = QStringLiteral("tamsorel-no-such-archive-%1.zip").arg(QCoreApplication::applicationPid());
    f.File1->clear();
    f.File1->addItem(name);
    f.File1->item(0)->setSelected(true);
    f.List1->Clear();
    f.List1->AddItem(QStringLiteral("x.txt"));
    selectLines(f.List1, {"x.txt"});
    QVERIFY(focus(f, f.List1));
    QTest::keyClick(f.List1, Qt::Key_Delete);
    QCOMPARE(f.currentFolder, QString());
    QCOMPARE(f.XceedZip1->ArchivePath, "/" + name);
    QCOMPARE(listLines(f.List1), QStringList({"x.txt"}));
    QVERIFY(!QFile::exists("/" + name));
}

void TestKeyboard::deleteDuringARunIsRefused()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x"), testzip::file("y.txt", "y")});
    Form1& f = start(fx);
    selectLines(f.List1, {"x.txt"});
    QVERIFY(focus(f, f.List1));
    f.runFlag = -1;
    f.XceedZip1->EntryMask = QStringLiteral("the run's mask");
    QTest::keyClick(f.List1, Qt::Key_Delete);
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList({"x.txt", "y.txt"}));
    QCOMPARE(listLines(f.List1), QStringList({"x.txt", "y.txt"}));
    QCOMPARE(f.XceedZip1->EntryMask, QStringLiteral("the run's mask"));
    QCOMPARE(f.runFlag, qint16(-1));
    QCOMPARE(f.SSPanel2->Caption(), QStringLiteral("Busy cleaning: Delete refused"));
}

void TestKeyboard::escapeStopsOnlyARun_data()
{
    QTest::addColumn<int>("runFlag");
    QTest::addColumn<int>("runFlagAfter");
    QTest::addColumn<bool>("abortAfter");
    QTest::newRow("idle: nothing happens") << 0 << 0 << false;
    QTest::newRow("running: abort requested") << -1 << 0 << true;
}

void TestKeyboard::escapeStopsOnlyARun()
{
    QFETCH(int, runFlag);
    QFETCH(int, runFlagAfter);
    QFETCH(bool, abortAfter);
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    Form1& f = start(fx);
    QVERIFY(focus(f, f.File1));
    f.runFlag = qint16(runFlag);
    f.XceedZip1->Abort = false;
    QTest::keyClick(f.File1, Qt::Key_Escape);
    QCOMPARE(int(f.runFlag), runFlagAfter);
    QCOMPARE(f.XceedZip1->Abort, abortAfter);
    // Idle Escape leaves the window idle: Up still relists.
    if (!runFlag) {
        testzip::writeZip(fx.archive("a.zip"), {testzip::file("y.txt", "y")});
        QTest::keyClick(f.File1, Qt::Key_Up);
        QCOMPARE(listLines(f.List1), QStringList({"y.txt"}));
    }
}

void TestKeyboard::escapeStopsARealRun()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    const QStringList archives = {"a.zip", "b.zip", "c.zip", "d.zip"};
    for (const QString& a : archives)
        QVERIFY(testzip::writeZip(fx.archive(a), {testzip::file("junk.txt", "j"), testzip::file("keep.txt", "k")}));
    Form1& f = start(fx);
    QVERIFY(focus(f, f.File1));
    // Pressed at the run's first look at the event queue.
    QTimer::singleShot(0, &f, [&f] { QTest::keyClick(f.focusWidget(), Qt::Key_Escape); });
    f.Command2_Click();
    QCOMPARE(f.runFlag, qint16(0));
    QCOMPARE(f.XceedZip1->Abort, true);
    QCOMPARE(testzip::names(fx.archive("d.zip")), QStringList({"junk.txt", "keep.txt"}));
    QCOMPARE(f.Command2->text(), QStringLiteral("&Clean all"));
}

void TestKeyboard::helpKeyOpensTheHelpFile_data()
{
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("running");
    QTest::newRow("f1") << int(Qt::NoModifier) << false;
    QTest::newRow("ctrl+f1") << int(Qt::ControlModifier) << false;
    QTest::newRow("shift+f1 during a run") << int(Qt::ShiftModifier) << true;
}

void TestKeyboard::helpKeyOpensTheHelpFile()
{
    QFETCH(int, modifiers);
    QFETCH(bool, running);
    FormFixture fx;
    // A program folder with blanks in its path: the path goes over as one argument.
    const QString program = fx.programFolder() + QStringLiteral("/my tools/tamsorel");
    QVERIFY(QDir().mkpath(program));
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    Form1& f = start(fx, program);
    QVERIFY(focus(f, f.List1));
    f.runFlag = running ? -1 : 0;
    QTest::keyClick(f.List1, Qt::Key_F1, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(fx.fakes.launcher.programs, QStringList({"winhelp.exe"}));
    QCOMPARE(fx.fakes.launcher.arguments, QStringList({program + "/Tamsorel.hlp"}));
    // Help > Contents hands over the same command.
    f.contents->trigger();
    QCOMPARE(fx.fakes.launcher.programs.last(), fx.fakes.launcher.programs.first());
    QCOMPARE(fx.fakes.launcher.arguments.last(), fx.fakes.launcher.arguments.first());
}

QTEST_MAIN(TestKeyboard)
#include "test_keyboard.moc"
