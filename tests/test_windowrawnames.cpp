// The window on names that are not UTF-8, as collections copied from DOS and Windows hold them: each is listed
// escaped, and listing, viewing, Delete, Add, Clean all and quarantine act on the file of exactly those bytes.

#include "browse/Form2.h"
#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/DiskName.h"

#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

// Qt's file classes cannot spell these names (QTemporaryDir cannot remove them: rm does); these pass the bytes.
static bool writeRaw(const QString& path, const QByteArray& bytes)
{
    QFile file;
    return diskname::openFile(file, path, QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every name of the folder with its bytes, as the disk gives them.
static QMap<QByteArray, QByteArray> folderFiles(const QString& folder)
{
    QMap<QByteArray, QByteArray> files;
    for (const QString& name : diskname::entries(folder))
        if (QFile file; diskname::openFile(file, folder + QLatin1Char('/') + name, QIODevice::ReadOnly))
            files.insert(diskname::toDisk(name), file.readAll());
    return files;
}

class TestWindowRawNames : public QObject
{
    Q_OBJECT
private slots:
    // The kinds of names a DOS or Windows collection brings, each with the text the window shows for it.
    void archiveNamedInLegacyBytes_data()
    {
        QTest::addColumn<QByteArray>("folderBytes"); // "/" and a subfolder to enter first, or none
        QTest::addColumn<QString>("folderShown");
        QTest::addColumn<QByteArray>("archiveBytes");
        QTest::addColumn<QString>("archiveShown");
        QTest::newRow("Latin-1") << QByteArray() << QString() << QByteArray("CAF\xc9.ZIP") << "CAF\\xc9.ZIP";
        QTest::newRow("code page 437") << QByteArray() << QString() << QByteArray("M\x81SIK.ZIP") << "M\\x81SIK.ZIP";
        QTest::newRow("broken UTF-8") << QByteArray() << QString() << QByteArray("X\xe2\x82.zip") << "X\\xe2\\x82.zip";
        QTest::newRow("raw folder") << QByteArray("/DOS\x8e") << "/DOS\\x8e" << QByteArray("GAME.ZIP") << "GAME.ZIP";
    }

    void archiveNamedInLegacyBytes()
    {
        QFETCH(QByteArray, folderBytes);
        QFETCH(QString, folderShown);
        QFETCH(QByteArray, archiveBytes);
        QFETCH(QString, archiveShown);
        FormFixture fx;
        const auto cleanup = qScopeGuard([&fx] { QProcess::execute("rm", {"-rf", "--", fx.archiveFolder()}); });
        fx.writePurgeList({"file_id.diz"});
        const QString folder = fx.archiveFolder() + diskname::fromDisk(folderBytes);
        const QString staged = fx.programFolder() + QStringLiteral("/staged.zip");
        using testzip::file;
        QVERIFY((folderBytes.isEmpty() || diskname::makeFolder(folder)) &&
                writeRaw(folder + '/' + diskname::fromDisk(archiveBytes),
                         testzip::build({file("README.TXT", "hello\n"), file("FILE_ID.DIZ", "about"),
                                         file("AD.TXT", "ad"), file("DROP.DAT", "drop"), file("KEEP.DAT", "k")})) &&
                writeRaw(folder + "/other.zip", testzip::build({file("OTHER.TXT", "other")})) &&
                writeRaw(folder + "/notes.txt", "notes") && testzip::writeDataDamaged(staged) &&
                writeRaw(folder + "/BAD" + diskname::fromDisk(archiveBytes), testzip::readAll(staged)));
        QMap<QByteArray, QByteArray> expected = folderFiles(folder);
        expected.insert("BAD" + archiveBytes + ".bad", expected.take("BAD" + archiveBytes));
        Form1& f = fx.make();
        f.Form_Load();
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        if (!folderBytes.isEmpty()) { // Dir1 shows the subfolder escaped and opens the folder of its exact bytes.
            f.Dir1->setCurrentItem(f.Dir1->findItems(folderShown.mid(1), Qt::MatchEndsWith).value(0));
            QTest::keyClick(f.Dir1, Qt::Key_Return);
            QCOMPARE(f.Dir1->Path(), folder);
        }
        // Listing the damaged archive names it escaped and sets it aside as NAME.bad, the bytes of its name kept.
        f.File1->setSelected(f.File1->row(f.File1->findItems("BAD" + archiveShown, Qt::MatchExactly).value(0)), true);
        QCOMPARE(fx.fakes.messageBox.messages.value(0).text,
                 "CRC error in - " + (fx.archiveFolder() + folderShown + "/BAD" + archiveShown).toLower());
        QVERIFY(diskname::isFile(folder + "/BAD" + diskname::fromDisk(archiveBytes) + ".bad"));
        // File1 shows the name escaped and lists the entries of the file of its bytes.
        f.File1->setSelected(f.File1->row(f.File1->findItems(archiveShown, Qt::MatchExactly).value(0)), true);
        QCOMPARE(listLines(f.List1), QStringList({"ad.txt", "drop.dat", "file_id.diz", "keep.dat", "readme.txt"}));
        QCOMPARE(f.SSPanel1->Caption(), archiveShown.toLower());
        // Delete takes drop.dat out; Add puts ad.txt on the purge list and takes it out.
        f.List1->setSelected(1, true);
        f.List1->setFocus();
        QTest::keyClick(f.List1, Qt::Key_Delete);
        f.List1->setSelected(0, true);
        f.Command1->click();
        QCOMPARE(listLines(f.List1), QStringList({"file_id.diz", "keep.dat", "readme.txt"}));
        QVERIFY(testzip::readAll(fx.programFolder() + "/purge.txt").contains("ad.txt\r\n"));
        // A double-click on a text entry shows it in the viewer.
        const QPoint readme = f.List1->visualItemRect(f.List1->item(2)).center();
        QTest::mouseClick(f.List1->viewport(), Qt::LeftButton, {}, readme);
        QTest::mouseDClick(f.List1->viewport(), Qt::LeftButton, {}, readme);
        QCOMPARE(f.form2() ? f.form2()->Text1->toPlainText() : QString(), QStringLiteral("hello\n"));
        // Clean all purges the one entry left, with no message; its account names the archive and folder as shown.
        f.Command2->click();
        QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
        f.lastRun->trigger();
        const QString account = f.form2()->Text1->toPlainText();
        QVERIFY2(account.contains(fx.archiveFolder() + folderShown + ", started") &&
                     account.contains(archiveShown + ": 1 entry purged: file_id.diz") && diskname::isUtf8(account),
                 qPrintable(account));
        // The folder holds the same raw names, the damaged one with .bad added, and only the archive changed.
        const QMap<QByteArray, QByteArray> after = folderFiles(folder);
        QVERIFY(testzip::write(staged, expected[archiveBytes] = after.value(archiveBytes)));
        QCOMPARE(testzip::names(staged), QStringList({"README.TXT", "KEEP.DAT"}));
        QCOMPARE(after, expected);
    }
};

QTEST_MAIN(TestWindowRawNames)
#include "test_windowrawnames.moc"
