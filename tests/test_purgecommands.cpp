// Add and View from the window: the purge list grows and the added entries leave the archive.

#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/ReadOnlyMount.h"
#include "testsupport/TestArchives.h"

#include <QPushButton>
#include <QTest>

namespace {

void select(ListBox* list, const QStringList& texts)
{
    for (int i = 0; i < list->ListCount(); ++i)
        if (texts.contains(list->List(i)))
            list->setSelected(i, true);
}

bool setImmutable(const QString& path, bool on)
{
    return QProcess::execute("chattr", {on ? "+i" : "-i", path}) == 0;
}

} // namespace

class TestPurgeCommands : public QObject
{
    Q_OBJECT
private slots:
    void addAppendsAndDeletes_data();
    void addAppendsAndDeletes();
    void addWithoutPurgeListRefuses();
    void addWithoutArchiveStillAdds();
    void addToUnwritableListLosesNothing_data();
    void addToUnwritableListLosesNothing();
    void viewOpensTheListAsOneArgument();
    void viewWithoutListDoesNothing();
};

void TestPurgeCommands::addAppendsAndDeletes_data()
{
    QTest::addColumn<QList<QByteArray>>("entries");
    QTest::addColumn<QStringList>("listBefore");
    QTest::addColumn<QStringList>("selected");
    QTest::addColumn<QByteArray>("appended");
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<QString>("panel");
    QTest::newRow("nothing selected") << QList<QByteArray>{"a.txt", "b.txt"} << QStringList{"x"} << QStringList{}
                                      << QByteArray() << QStringList{"a.txt", "b.txt"} << QString();
    QTest::newRow("second of three already listed")
        << QList<QByteArray>{"a.txt", "b.txt", "c.txt", "d.txt"} << QStringList{"b.txt"}
        << QStringList{"a.txt", "b.txt", "c.txt"} << QByteArray("a.txt\r\nc.txt\r\n") << QStringList{"b.txt", "d.txt"}
        << "c.txt added";
    QTest::newRow("same name twice: both appended")
        << QList<QByteArray>{"x.txt", "keep.txt", "x.txt"} << QStringList{"z"} << QStringList{"x.txt"}
        << QByteArray("x.txt\r\nx.txt\r\n") << QStringList{"keep.txt"} << "x.txt added";
    QTest::newRow("other letter case is no duplicate")
        << QList<QByteArray>{"ReadMe.txt", "b.txt"} << QStringList{"README.TXT"} << QStringList{"readme.txt"}
        << QByteArray("readme.txt\r\n") << QStringList{"b.txt"} << "readme.txt added";
}

void TestPurgeCommands::addAppendsAndDeletes()
{
    QFETCH(QList<QByteArray>, entries);
    QFETCH(QStringList, listBefore);
    QFETCH(QStringList, selected);
    QFETCH(QByteArray, appended);
    QFETCH(QStringList, left);
    QFETCH(QString, panel);
    FormFixture fx;
    QList<testzip::Entry> zipEntries;
    for (const QByteArray& name : entries)
        zipEntries << testzip::file(name, "content of " + name);
    QVERIFY(testzip::writeZip(fx.archive("a.zip"), zipEntries));
    fx.writePurgeList(listBefore);
    const QByteArray before = testzip::readAll(fx.programFolder() + "/purge.txt");
    Form1& f = fx.make();
    f.Form_Load();
    select(f.List1, selected);
    QTest::mouseClick(f.Command1, Qt::LeftButton);
    QCOMPARE(testzip::readAll(fx.programFolder() + "/purge.txt"), before + appended);
    QVERIFY(!QFile::exists(fx.programFolder() + "/purge.bak"));
    QStringList names = testzip::names(fx.archive("a.zip"));
    for (QString& n : names)
        n = n.toLower();
    names.sort();
    QCOMPARE(names, left);
    QCOMPARE(listLines(f.List1), left); // listed anew
    QCOMPARE(f.SSPanel2->Caption(), panel);
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

void TestPurgeCommands::addWithoutPurgeListRefuses()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "a")});
    Form1& f = fx.make();
    f.Form_Load();
    select(f.List1, {"a.txt"});
    f.Command1_Click();
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text, QStringLiteral("No purge list exists"));
    QCOMPARE(fx.fakes.messageBox.messages[0].style, 48);
    QCOMPARE(fx.fakes.messageBox.messages[0].title, QStringLiteral("Tamsorel error"));
    QVERIFY(!QFile::exists(fx.programFolder() + "/purge.txt")); // never created by Add
    QVERIFY(!QFile::exists(fx.programFolder() + "/purge.bak"));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"a.txt"});
}

void TestPurgeCommands::addWithoutArchiveStillAdds()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "a"), testzip::file("b.txt", "b")});
    fx.writePurgeList({"old"});
    Form1& f = fx.make();
    f.Form_Load();
    select(f.List1, {"a.txt"});
    f.List1->AddItem("--> Moving too fast! <--");
    select(f.List1, {"--> Moving too fast! <--"});
    f.File1->setSelected(0, false);
    f.Command1_Click();
    QCOMPARE(testzip::readAll(fx.programFolder() + "/purge.txt"),
             QByteArray("old\r\n--> Moving too fast! <--\r\na.txt\r\n"));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList({"a.txt", "b.txt"}));
    QCOMPARE(f.List1->ListCount(), 0); // no archive in view any more
}

void TestPurgeCommands::addToUnwritableListLosesNothing_data()
{
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::newRow("purge.txt cannot be appended to") << false;
    QTest::newRow("purge.bak cannot be created") << true;
}

void TestPurgeCommands::addToUnwritableListLosesNothing()
{
    QFETCH(bool, readOnlyFolder);
    FormFixture fx;
    ReadOnlyMount mount(fx.programFolder() + "/prog");
    if (!mount.available())
        QSKIP("needs the right to mount a small file system");
    QFile list(mount.path() + "/purge.txt");
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write("old\r\n");
    list.close();
    if (readOnlyFolder)
        QVERIFY(mount.makeReadOnly());
    else if (!setImmutable(list.fileName(), true))
        QSKIP("chattr +i does not work here");
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "a"), testzip::file("b.txt", "b")});
    const QByteArray archiveBefore = testzip::readAll(fx.archive("a.zip"));
    Form1& f = fx.make({}, {}, mount.path());
    f.Form_Load();
    select(f.List1, {"a.txt"});
    f.Command1_Click();
    if (!readOnlyFolder)
        setImmutable(list.fileName(), false);
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].title, QStringLiteral("Tamsorel error"));
    QVERIFY(fx.fakes.messageBox.messages[0].text.contains("purge."));
    QCOMPARE(testzip::readAll(fx.archive("a.zip")), archiveBefore);
    QCOMPARE(testzip::readAll(mount.path() + "/purge.txt"), QByteArray("old\r\n"));
    QVERIFY(!QFile::exists(mount.path() + "/purge.bak"));
}

void TestPurgeCommands::viewOpensTheListAsOneArgument()
{
    FormFixture fx;
    const QString folder = fx.programFolder() + "/my tools";
    QDir().mkpath(folder);
    QFile(folder + "/purge.txt").open(QIODevice::WriteOnly);
    Form1& f = fx.make({}, {}, folder);
    f.vpurge->trigger();
    QCOMPARE(fx.fakes.launcher.programs, QStringList{"notepad.exe"});
    QCOMPARE(fx.fakes.launcher.arguments, QStringList{folder + "/purge.txt"});
}

void TestPurgeCommands::viewWithoutListDoesNothing()
{
    FormFixture fx;
    QDir(fx.programFolder()).mkdir("purge.txt"); // a folder is no list
    Form1& f = fx.make();
    f.vpurge->trigger();
    QVERIFY(fx.fakes.launcher.programs.isEmpty());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

QTEST_MAIN(TestPurgeCommands)
#include "test_purgecommands.moc"
