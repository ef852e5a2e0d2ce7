// The window on archives and folders whose names are not UTF-8 (Latin-1, code page 437 and broken bytes, as
// collections copied from DOS and Windows hold them): each is listed with its bytes escaped, and listing,
// viewing, Delete, Add and Clean all act on the file of exactly those bytes.

#include "browse/Form2.h"
#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/DiskName.h"

#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <cstdio> // rename
#include <functional>

namespace {

// QTemporaryDir removes by names Qt can spell; rm takes the raw-named files too.
struct RawTree
{
    QString folder;
    ~RawTree() { QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), QStringLiteral("--"), folder}); }
};

// A real file made under a name Qt can spell, then renamed to the exact bytes of the carried path.
bool placeRaw(const QString& path, const std::function<bool(const QString&)>& make)
{
    QTemporaryDir staging;
    const QString made = staging.filePath(QStringLiteral("made"));
    return make(made) && ::rename(QFile::encodeName(made).constData(), diskname::toDisk(path).constData()) == 0;
}

QByteArray readRaw(const QString& path)
{
    QFile file;
    return diskname::openFile(file, path, QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every name of the folder with its bytes, as the disk gives them.
QMap<QByteArray, QByteArray> folderFiles(const QString& folder)
{
    QMap<QByteArray, QByteArray> files;
    for (const QString& name : diskname::entries(folder))
        files.insert(diskname::toDisk(name), readRaw(folder + QLatin1Char('/') + name));
    return files;
}

// An archive's entry names, read with libzip from a copy under a name it can open.
QStringList entryNames(const QString& archive)
{
    QTemporaryDir copy;
    const QString path = copy.filePath(QStringLiteral("copy.zip"));
    return testzip::write(path, readRaw(archive)) ? testzip::names(path) : QStringList{QStringLiteral("(unread)")};
}

int rowOf(const QListWidget* list, const QString& text, bool asEnd = false)
{
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text() == text || (asEnd && list->item(i)->text().endsWith(text)))
            return i;
    return -1;
}

// A user's double-click on line i of List1.
void doubleClickLine(Form1& f, int i)
{
    const QPoint point = f.List1->visualItemRect(f.List1->item(i)).center();
    QTest::mouseClick(f.List1->viewport(), Qt::LeftButton, {}, point);
    QTest::mouseDClick(f.List1->viewport(), Qt::LeftButton, {}, point);
}

void selectLines(ListBox* list, const QStringList& texts)
{
    list->clearSelection();
    for (int i = 0; i < list->ListCount(); ++i)
        list->setSelected(i, texts.contains(list->List(i)));
}

} // namespace

class TestWindowRawNames : public QObject
{
    Q_OBJECT
private slots:
    void archiveNamedInLegacyBytes_data();
    void archiveNamedInLegacyBytes();
    void damagedArchiveNamedInLegacyBytes_data();
    void damagedArchiveNamedInLegacyBytes();
};

// The three kinds of names a DOS or Windows collection brings, each with the text the window shows for it.
static void addLegacyNames()
{
    QTest::addColumn<QByteArray>("folderBytes"); // a subfolder to enter first, or none
    QTest::addColumn<QString>("folderShown");
    QTest::addColumn<QByteArray>("archiveBytes");
    QTest::addColumn<QString>("archiveShown");
    QTest::newRow("Latin-1 name") << QByteArray() << QString() << QByteArray("CAF\xc9.ZIP")
                                  << QStringLiteral("CAF\\xc9.ZIP");
    QTest::newRow("code page 437 name") << QByteArray() << QString() << QByteArray("M\x81SIK.ZIP")
                                        << QStringLiteral("M\\x81SIK.ZIP");
    QTest::newRow("broken UTF-8 name") << QByteArray() << QString() << QByteArray("X\xe2\x82.zip")
                                       << QStringLiteral("X\\xe2\\x82.zip");
}

void TestWindowRawNames::archiveNamedInLegacyBytes_data()
{
    addLegacyNames();
    QTest::newRow("folder in code page 437")
        << QByteArray("DOS\x8e") << QStringLiteral("DOS\\x8e") << QByteArray("GAME.ZIP") << QStringLiteral("GAME.ZIP");
}

void TestWindowRawNames::archiveNamedInLegacyBytes()
{
    QFETCH(QByteArray, folderBytes);
    QFETCH(QString, folderShown);
    QFETCH(QByteArray, archiveBytes);
    QFETCH(QString, archiveShown);

    FormFixture fx;
    const RawTree cleanup{fx.archiveFolder()};
    fx.writePurgeList({"file_id.diz"});
    QString folder = fx.archiveFolder();
    if (!folderBytes.isEmpty()) {
        folder += QLatin1Char('/') + diskname::fromDisk(folderBytes);
        QVERIFY(diskname::makeFolder(folder));
    }
    const QString archive = folder + QLatin1Char('/') + diskname::fromDisk(archiveBytes);
    QVERIFY(placeRaw(archive, [](const QString& made) {
        return testzip::writeZip(made, {testzip::file("README.TXT", "hello\n"), testzip::file("FILE_ID.DIZ", "about"),
                                        testzip::file("AD.TXT", "ad"), testzip::file("DROP.DAT", "drop"),
                                        testzip::file("KEEP.DAT", "keep")});
    }));
    QVERIFY(placeRaw(folder + QStringLiteral("/other.zip"), [](const QString& made) {
        return testzip::writeZip(made, {testzip::file("OTHER.TXT", "other")});
    }));
    QVERIFY(placeRaw(folder + QStringLiteral("/notes.txt"),
                     [](const QString& made) { return testzip::write(made, "notes"); }));
    const QMap<QByteArray, QByteArray> before = folderFiles(folder);

    Form1& f = fx.make();
    f.Form_Load();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    if (!folderBytes.isEmpty()) {
        // Dir1 shows the subfolder escaped and opens the folder of its exact bytes.
        const int row = rowOf(f.Dir1, QStringLiteral(" \u25B8 ") + folderShown, true);
        QVERIFY2(row >= 0, qPrintable(QStringLiteral("Dir1 holds no %1").arg(folderShown)));
        QCOMPARE(f.Dir1->Folder(row), folder);
        f.Dir1->setCurrentRow(row);
        f.Dir1->setFocus();
        QTest::keyClick(f.Dir1, Qt::Key_Return);
        QCOMPARE(f.Dir1->Path(), folder);
        QVERIFY(f.Dir1->currentItem()->text().endsWith(QStringLiteral("\u25BE ") + folderShown));
    }

    // File1 shows the name escaped and keeps its bytes for the listing.
    const int at = rowOf(f.File1, archiveShown);
    QVERIFY2(at >= 0, qPrintable(QStringLiteral("File1 holds no %1").arg(archiveShown)));
    QCOMPARE(f.File1->Name(at), diskname::fromDisk(archiveBytes));
    f.File1->setSelected(at, true);
    QCOMPARE(f.SSPanel1->Caption(), archiveShown.toLower());
    QCOMPARE(listLines(f.List1), QStringList({"ad.txt", "drop.dat", "file_id.diz", "keep.dat", "readme.txt"}));

    // A double-click on a text entry shows it in the viewer.
    const int readme = rowOf(f.List1, QStringLiteral("readme.txt"));
    QVERIFY(readme >= 0);
    doubleClickLine(f, readme);
    QVERIFY(f.form2());
    QCOMPARE(f.form2()->Text1->toPlainText(), QStringLiteral("hello\n"));

    // Delete takes one entry out of that file.
    selectLines(f.List1, {"drop.dat"});
    f.activateWindow();
    f.List1->setFocus();
    QTest::keyClick(f.List1, Qt::Key_Delete);
    QCOMPARE(entryNames(archive), QStringList({"README.TXT", "FILE_ID.DIZ", "AD.TXT", "KEEP.DAT"}));
    QVERIFY(!listLines(f.List1).contains("drop.dat"));

    // Add puts an entry on the purge list and takes it out of the archive.
    selectLines(f.List1, {"ad.txt"});
    f.Command1->click();
    QVERIFY(readRaw(fx.programFolder() + QStringLiteral("/purge.txt")).contains("ad.txt\r\n"));
    QCOMPARE(entryNames(archive), QStringList({"README.TXT", "FILE_ID.DIZ", "KEEP.DAT"}));

    // Clean all names the archive escaped and purges it under its own bytes.
    QStringList titles;
    connect(&f, &QWidget::windowTitleChanged, &f, [&titles](const QString& title) { titles << title; });
    f.Command2->click();
    QVERIFY2(titles.contains(QStringLiteral("Cleaning ") + archiveShown.toLower()), qPrintable(titles.join('|')));
    QCOMPARE(entryNames(archive), QStringList({"README.TXT", "KEEP.DAT"}));
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    // The account of the run names the archive (and its folder) as shown.
    f.lastRun->trigger();
    const QString account = f.form2()->Text1->toPlainText();
    QVERIFY2(account.contains(archiveShown + QStringLiteral(": 1 entry purged: file_id.diz")), qPrintable(account));
    QVERIFY2(account.contains(folderShown) && diskname::isUtf8(account), qPrintable(account));

    // The folder holds the same names as before, and only the archive's bytes changed.
    const QMap<QByteArray, QByteArray> after = folderFiles(folder);
    QCOMPARE(after.keys(), before.keys());
    for (const QByteArray& name : before.keys())
        if (name != archiveBytes)
            QVERIFY2(after.value(name) == before.value(name), name.constData());
}

void TestWindowRawNames::damagedArchiveNamedInLegacyBytes_data()
{
    addLegacyNames();
}

// Listing a damaged archive names it escaped in the message box and sets it aside as NAME.bad, the bytes of its
// name kept.
void TestWindowRawNames::damagedArchiveNamedInLegacyBytes()
{
    QFETCH(QByteArray, archiveBytes);
    QFETCH(QString, archiveShown);
    FormFixture fx;
    const RawTree cleanup{fx.archiveFolder()};
    const QString archive = fx.archive(diskname::fromDisk(archiveBytes));
    QVERIFY(placeRaw(archive, testzip::writeDataDamaged));
    Form1& f = fx.make();
    QCOMPARE(f.File1->List(0), archiveShown);
    // The listing tests the entries and finds the damage.
    f.File1->setSelected(0, true);
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text,
             QStringLiteral("CRC error in - ") + (fx.archiveFolder() + QLatin1Char('/') + archiveShown).toLower());
    QVERIFY(!diskname::exists(archive));
    QVERIFY(diskname::isFile(archive + QStringLiteral(".bad")));
    QCOMPARE(f.File1->ListCount(), 0);
}

QTEST_MAIN(TestWindowRawNames)
#include "test_windowrawnames.moc"
