// The stand-ins for the outside services and controls, where they do more than pass a call on.

#include "platform/FileListBox.h"
#include "platform/Panel3D.h"
#include "platform/RealServices.h"
#include "zip/FileOps.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLocalServer>
#include <QMessageBox>
#include <QProcess>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

class TestPlatform : public QObject
{
    Q_OBJECT
private slots:
    void secondInstanceIsFoundAndRaisesTheFirst();
    void otherProgramFolderIsAnotherInstance();
    void staleSocketDoesNotBlockAStart();
    void guardSocketOnlyWhereNoOtherUserCanWrite_data();
    void guardSocketOnlyWhereNoOtherUserCanWrite();
    void ordinaryFilesLeaveOutFoldersHiddenAndDangling();
    void clearAttributesChangesNoMode();
    void panelClickNeedsARelease();
    void fileListShowsTheSelectedArchive();
    void boxIgnoresAKeyHeldWhenItCame_data();
    void boxIgnoresAKeyHeldWhenItCame();
    void missingSoundIsSilence();
    void commandLineHelpAndVersion_data();
    void commandLineHelpAndVersion();
};

void TestPlatform::secondInstanceIsFoundAndRaisesTheFirst()
{
    QTemporaryDir folder;
    LocalSocketInstanceGuard first(folder.path());
    QVERIFY(!first.previousInstance());
    int raised = 0;
    first.onActivateRequest([&] { ++raised; });
    LocalSocketInstanceGuard second(folder.path());
    QVERIFY(second.previousInstance());
    second.activatePrevious();
    QTRY_COMPARE(raised, 1);
}

void TestPlatform::otherProgramFolderIsAnotherInstance()
{
    QTemporaryDir a;
    QTemporaryDir b;
    LocalSocketInstanceGuard first(a.path());
    QVERIFY(!first.previousInstance());
    LocalSocketInstanceGuard other(b.path());
    QVERIFY(!other.previousInstance());
    QVERIFY(first.serverName() != other.serverName());
}

void TestPlatform::staleSocketDoesNotBlockAStart()
{
    QTemporaryDir folder;
    LocalSocketInstanceGuard probe(folder.path());
    // A socket file left by an instance that crashed: nobody listens on it.
    const QString socketPath = probe.serverName();
    QFile(socketPath).open(QIODevice::WriteOnly);
    QVERIFY(!probe.previousInstance());
    LocalSocketInstanceGuard second(folder.path());
    QVERIFY(second.previousInstance());
}

void TestPlatform::guardSocketOnlyWhereNoOtherUserCanWrite_data()
{
    QTest::addColumn<bool>("runtimeFolder"); // $XDG_RUNTIME_DIR set and private
    QTest::addColumn<int>("owner");          // of the folder in the temp folder; -1: this user
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("guarded");
    QTest::newRow("runtime folder") << true << -1 << 0700 << true;
    QTest::newRow("no runtime folder, own temp folder") << false << -1 << 0700 << true;
    QTest::newRow("temp folder open to others") << false << -1 << 0777 << false;
    QTest::newRow("temp folder made by another user") << false << 54321 << 0700 << false;
}

void TestPlatform::guardSocketOnlyWhereNoOtherUserCanWrite()
{
    QFETCH(bool, runtimeFolder);
    QFETCH(int, owner);
    QFETCH(int, mode);
    QFETCH(bool, guarded);
    if (owner >= 0 && ::geteuid() != 0)
        QSKIP("needs root to make a folder of another user");
    QTemporaryDir temp;
    QTemporaryDir runtime;
    const QByteArray keptTemp = qgetenv("TMPDIR");
    const QByteArray keptRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    if (runtimeFolder)
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    else
        qunsetenv("XDG_RUNTIME_DIR");
    const QByteArray own = QFile::encodeName(temp.path()) + "/tamsorel-" + QByteArray::number(::geteuid());
    QVERIFY(::mkdir(own.constData(), 0700) == 0);
    QTemporaryDir data;
    // A socket under the name the guard would use, made before the folder became another user's: it must
    // not pass for this user's instance.
    QLocalServer squatter;
    if (!guarded) {
        const QString name = QFileInfo(LocalSocketInstanceGuard(data.path()).serverName()).fileName();
        QVERIFY(squatter.listen(QFile::decodeName(own) + u'/' + name));
    }
    QVERIFY(::chmod(own.constData(), mode_t(mode)) == 0);
    if (owner >= 0)
        QVERIFY(::chown(own.constData(), uid_t(owner), gid_t(owner)) == 0);
    {
        LocalSocketInstanceGuard first(data.path());
        QCOMPARE(first.problem().isEmpty(), guarded);
        QVERIFY(!first.previousInstance());
        LocalSocketInstanceGuard second(data.path());
        QCOMPARE(second.previousInstance(), guarded);
        if (guarded) {
            QVERIFY(first.serverName().startsWith(runtimeFolder ? runtime.path() : QFile::decodeName(own)));
            QVERIFY(QFileInfo::exists(first.serverName()));
            first.release();
            QVERIFY(!QFileInfo::exists(first.serverName())); // the instance's end removes its socket
        }
    }
    ::chmod(own.constData(), 0700);
    qputenv("TMPDIR", keptTemp);
    if (keptRuntime.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", keptRuntime);
}

void TestPlatform::ordinaryFilesLeaveOutFoldersHiddenAndDangling()
{
    QTemporaryDir dir;
    for (const char* name : {"b.TXT", "a.txt", ".hidden.txt"})
        QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
    QDir(dir.path()).mkdir("folder.txt");
    QFile::link(dir.filePath("nowhere"), dir.filePath("dangling.txt"));
    QCOMPARE(fileops::ordinaryFiles(dir.path(), "*.txt"), QStringList({"a.txt", "b.TXT"}));
    QCOMPARE(fileops::firstOrdinaryFile(dir.path(), "*.txt"), QStringLiteral("a.txt"));
    QCOMPARE(fileops::firstOrdinaryFile(dir.filePath("missing"), "*"), QString());
    QVERIFY(!fileops::isOrdinaryFile(dir.filePath("folder.txt")));
    QVERIFY(!fileops::isOrdinaryFile(dir.filePath(".hidden.txt")));
}

void TestPlatform::clearAttributesChangesNoMode()
{
    QTemporaryDir dir;
    QFile f(dir.filePath("a.zip"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QVERIFY(f.setPermissions(QFileDevice::ReadOwner));
    QVERIFY(fileops::clearAttributes(f.fileName()));
    // A rewrite does not need the archive writable: its mode stays as it is.
    QCOMPARE(QFileInfo(f.fileName()).permissions() & QFileDevice::WriteOwner, 0);
    QVERIFY(!fileops::clearAttributes(dir.filePath("missing.zip")));
    // A link is passed over: the file it points to, maybe outside the folder, keeps its mode.
    QFile outside(dir.filePath("outside.zip"));
    QVERIFY(outside.open(QIODevice::WriteOnly));
    outside.close();
    QVERIFY(outside.setPermissions(QFileDevice::ReadOwner));
    QVERIFY(QFile::link(outside.fileName(), dir.filePath("link.zip")));
    QVERIFY(!fileops::clearAttributes(dir.filePath("link.zip")));
    QCOMPARE(QFileInfo(outside.fileName()).permissions() & QFileDevice::WriteOwner, 0);
    QVERIFY(fileops::removeFile(f.fileName()));
    QVERIFY(!QFile::exists(f.fileName()));
}

void TestPlatform::panelClickNeedsARelease()
{
    Panel3D panel;
    panel.resize(60, 20);
    QSignalSpy clicks(&panel, &Panel3D::Click);
    QTest::mouseClick(&panel, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(clicks.count(), 1);
    QTest::mouseClick(&panel, Qt::RightButton, {}, QPoint(10, 10));
    QCOMPARE(clicks.count(), 1);
    panel.setFloodPercent(150);
    QCOMPARE(panel.FloodPercent(), 100);
}

void TestPlatform::fileListShowsTheSelectedArchive()
{
    QTemporaryDir dir;
    for (int i = 0; i < 200; ++i)
        QFile(dir.filePath(QStringLiteral("a%1.zip").arg(i, 3, 10, QLatin1Char('0')))).open(QIODevice::WriteOnly);
    FileListBox list;
    list.resize(120, 100);
    list.setPath(dir.path());
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    const auto shown = [&](int i) {
        return list.viewport()->rect().contains(list.visualRect(list.model()->index(i, 0)));
    };
    // Down the list as a run goes, and back to the top as a run ends: the selected archive is always in view,
    // and the view moves a page at a time, not a row per archive.
    QList<int> order;
    for (int i = 0; i < 200; ++i)
        order << i;
    order << 0 << 150 << 149;
    int moves = 0;
    int top = list.verticalScrollBar()->value();
    for (int i : order) {
        list.setSelected(i, true);
        QVERIFY2(shown(i), qPrintable(QString::number(i)));
        QCOMPARE(list.ListIndex(), i);
        moves += list.verticalScrollBar()->value() != top;
        top = list.verticalScrollBar()->value();
    }
    QVERIFY2(moves < 200 / 4, qPrintable(QString::number(moves)));
}

void TestPlatform::missingSoundIsSilence()
{
    WaveSoundPlayer player;
    QElapsedTimer t;
    t.start();
    player.play(QStringLiteral("/no/such/sound.wav"), 0);
    QVERIFY(t.elapsed() < 1000); // no wait for a sound that does not exist
}

void TestPlatform::commandLineHelpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("version") << "--version"
                             << "Tamsorel v1.18";
    QTest::newRow("help") << "--help"
                          << "Usage: tamsorel [OPTION]... [FOLDER]";
}

void TestPlatform::commandLineHelpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);
    QProcess p;
    p.start(QStringLiteral(TAMSOREL_BINARY), {option});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(p.readAllStandardOutput().startsWith(expected.toUtf8()), qPrintable(option));
}

QTEST_MAIN(TestPlatform)
void TestPlatform::boxIgnoresAKeyHeldWhenItCame_data()
{
    QTest::addColumn<int>("key"); // the key that pressed the button whose work ended in the box
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("Space") << int(Qt::Key_Space);
}

// A report box that comes while the key that pressed Abort is still held must stay until a key is pressed anew:
// the held key's repeats would otherwise press OK at once.
void TestPlatform::boxIgnoresAKeyHeldWhenItCame()
{
    QFETCH(int, key);
    QMessageBox box(QMessageBox::Warning, "Tamsorel error", "1 bad zip(s) found", QMessageBox::Ok);
    ignoreHeldKeys(box);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QWidget* ok = box.button(QMessageBox::Ok);
    QVERIFY(ok->hasFocus());
    auto send = [&](QEvent::Type type, bool repeat) {
        QKeyEvent event(type, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "\r", repeat);
        QApplication::sendEvent(ok, &event);
    };
    for (int repeat = 0; repeat < 3; ++repeat) {
        send(QEvent::KeyRelease, true);
        send(QEvent::KeyPress, true);
    }
    send(QEvent::KeyRelease, false); // the held key let go
    QVERIFY(box.isVisible());
    send(QEvent::KeyPress, false);
    send(QEvent::KeyRelease, false);
    QVERIFY(!box.isVisible());
    QCOMPARE(box.result(), int(QMessageBox::Ok));
}

#include "test_platform.moc"
