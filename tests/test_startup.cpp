// Start-up and shutdown: refusals, leftovers of an earlier start, the first archive shown, the clean-up
// of the temp folder on every road out.

#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QTest>

namespace {

void touch(const QString& path, QFileDevice::Permissions perms = {})
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("x");
    f.close();
    if (perms)
        f.setPermissions(perms);
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void rootFolderIsRefused_data();
    void rootFolderIsRefused();
    void secondInstanceEndsAndRaisesTheFirst();
    void firstArchiveIsSelectedAndListed();
    void emptyStartFolderSelectsNothing();
    void leftoversOfAnEarlierStart_data();
    void leftoversOfAnEarlierStart();
    void shutdownCleansTheTempFolder_data();
    void shutdownCleansTheTempFolder();
    void exitAsksRunToStopThenEnds();
    void closeBoxEndsTheSameWay();
    void unloadHappensOnce();
};

void TestStartup::rootFolderIsRefused_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::newRow("attended") << QString();
    QTest::newRow("unattended") << QStringLiteral("/some/folder");
}

void TestStartup::rootFolderIsRefused()
{
    QFETCH(QString, commandLine);
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    Form1& f = fx.make(commandLine, fx.archiveFolder(), QStringLiteral("/"));
    QStringList err;
    f.writeConsole = [&](const QString& line, bool toStderr) {
        if (toStderr)
            err << line;
    };
    f.Form_Load();
    const QString text = QStringLiteral("Tamsor can NOT be run from a root directory");
    if (commandLine.isEmpty()) {
        QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
        QCOMPARE(fx.fakes.messageBox.messages[0].text, text);
        QCOMPARE(fx.fakes.messageBox.messages[0].style, 16);
        QCOMPARE(fx.fakes.messageBox.messages[0].title, QStringLiteral("Error"));
        QVERIFY(err.isEmpty());
    } else {
        // Nobody could close a box: one line on stderr instead.
        QVERIFY(fx.fakes.messageBox.messages.isEmpty());
        QCOMPARE(err, QStringList{"tamsorel: Error: " + text});
    }
    QCOMPARE(fx.fakes.exits, QList<int>{2});
    QCOMPARE(f.File1->ListIndex(), -1); // nothing of the later steps ran
    QCOMPARE(f.List1->ListCount(), 0);
}

void TestStartup::secondInstanceEndsAndRaisesTheFirst()
{
    FormFixture fx;
    QDir(fx.programFolder()).mkdir("temp");
    touch(fx.tempFolder() + "/file_id.diz");
    touch(fx.programFolder() + "/purge.bak");
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("x.txt", "x")});
    fx.fakes.instanceGuard.running = true;
    Form1& f = fx.make();
    f.Form_Load();
    QCOMPARE(fx.fakes.instanceGuard.activations, 1);
    QCOMPARE(fx.fakes.exits, QList<int>{0});
    QCOMPARE(f.windowTitle(), QStringLiteral("... duplicate instance."));
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    // The running instance owns these: neither start-up nor the refused instance's shutdown touches them.
    QCOMPARE(filesIn(fx.tempFolder()), QStringList{"file_id.diz"});
    QVERIFY(QFile::exists(fx.programFolder() + "/purge.bak"));
    QCOMPARE(f.List1->ListCount(), 0);
    QVERIFY(!f.isVisible());
}

void TestStartup::firstArchiveIsSelectedAndListed()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("B.zip"), {testzip::file("Readme.TXT", "r"), testzip::file("a.txt", "a")});
    testzip::writeZip(fx.archive("c.zip"), {testzip::file("other.txt", "o")});
    Form1& f = fx.make();
    f.Form_Load();
    QVERIFY(fx.fakes.exits.isEmpty());
    QCOMPARE(f.File1->ListIndex(), 0);
    QCOMPARE(f.SSPanel1->Caption(), QStringLiteral("b.zip"));
    QCOMPARE(f.List1->ListCount(), 2);
    QCOMPARE(f.List1->List(0), QStringLiteral("a.txt"));
    QCOMPARE(f.List1->List(1), QStringLiteral("readme.txt"));
    QCOMPARE(f.currentArchive, fx.archive("B.zip")); // as on disk: the listing does not lower-case it
    QCOMPARE(f.selectedNames[0], QStringLiteral("B.zip"));
    QCOMPARE(f.selectedNames[1], QStringLiteral("B.zip"));
}

void TestStartup::emptyStartFolderSelectsNothing()
{
    FormFixture fx;
    Form1& f = fx.make();
    f.Form_Load();
    QCOMPARE(f.File1->ListCount(), 0);
    QCOMPARE(f.List1->ListCount(), 0);
    QCOMPARE(f.selectedNames[0], QString());
}

void TestStartup::leftoversOfAnEarlierStart_data()
{
    QTest::addColumn<QStringList>("tempFiles");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<int>("remaining");
    QTest::newRow("three files, two remain") << QStringList{"a.txt", "b.diz", "c.nfo"} << false << 2;
    QTest::newRow("read-only leftover deleted") << QStringList{"only.txt"} << true << 0;
    QTest::newRow("empty temp folder") << QStringList{} << false << 0;
}

void TestStartup::leftoversOfAnEarlierStart()
{
    QFETCH(QStringList, tempFiles);
    QFETCH(bool, readOnly);
    QFETCH(int, remaining);
    FormFixture fx;
    QDir(fx.programFolder()).mkdir("temp");
    for (const QString& name : tempFiles)
        touch(fx.tempFolder() + "/" + name, readOnly ? QFileDevice::ReadOwner : QFileDevice::Permissions{});
    touch(fx.programFolder() + "/purge.bak");
    fx.writePurgeList({"keep.txt"});
    const QByteArray purgeBefore = testzip::readAll(fx.programFolder() + "/purge.txt");
    Form1& f = fx.make();
    f.Form_Load();
    QCOMPARE(filesIn(fx.tempFolder()).size(), remaining);
    QVERIFY(!QFile::exists(fx.programFolder() + "/purge.bak")); // discarded, not merged
    QCOMPARE(testzip::readAll(fx.programFolder() + "/purge.txt"), purgeBefore);
}

void TestStartup::shutdownCleansTheTempFolder_data()
{
    QTest::addColumn<QStringList>("tempFiles");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("description, two infos, a text")
        << QStringList{"file_id.diz", "a.nfo", "b.NFO", "c.txt"} << QStringList{"c.txt"};
    QTest::newRow("two descriptions: one stays") << QStringList{"a.diz", "b.diz"} << QStringList{"b.diz"};
    QTest::newRow("no temp files") << QStringList{} << QStringList{};
}

void TestStartup::shutdownCleansTheTempFolder()
{
    QFETCH(QStringList, tempFiles);
    QFETCH(QStringList, left);
    FormFixture fx;
    QDir(fx.programFolder()).mkdir("temp");
    for (const QString& name : tempFiles)
        touch(fx.tempFolder() + "/" + name, QFileDevice::ReadOwner); // read-only ones go too
    Form1& f = fx.make();
    qint16 cancel = 0;
    f.Form_Unload(cancel);
    QCOMPARE(filesIn(fx.tempFolder()), left);
    QCOMPARE(cancel, qint16(0));
}

void TestStartup::exitAsksRunToStopThenEnds()
{
    FormFixture fx;
    QDir(fx.programFolder()).mkdir("temp");
    touch(fx.tempFolder() + "/a.nfo");
    Form1& f = fx.make();
    f.runFlag = -1;
    f.exitItem->trigger();
    QCOMPARE(f.runFlag, qint16(0));
    QVERIFY(f.XceedZip1->Abort);
    QCOMPARE(fx.fakes.exits.size(), 1);
    QVERIFY(filesIn(fx.tempFolder()).isEmpty());
}

void TestStartup::closeBoxEndsTheSameWay()
{
    FormFixture fx;
    QDir(fx.programFolder()).mkdir("temp");
    touch(fx.tempFolder() + "/file_id.diz");
    Form1& f = fx.make();
    f.show();
    f.close();
    QCOMPARE(fx.fakes.exits, QList<int>{0});
    QVERIFY(filesIn(fx.tempFolder()).isEmpty());
    QVERIFY(!f.XceedZip1->Abort); // the close box asks for no abort
}

void TestStartup::unloadHappensOnce()
{
    FormFixture fx;
    Form1& f = fx.make();
    f.exitItem->trigger();
    f.close();
    QCOMPARE(fx.fakes.exits.size(), 1);
    QVERIFY(f.unloaded());
}

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
