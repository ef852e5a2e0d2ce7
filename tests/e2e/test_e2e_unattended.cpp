// The program run unattended as cron runs it: it touches only the folder on its command line, counts each of
// its archives once, and an open window does not stop it.

#include "e2e/E2e.h"
#include "platform/RealServices.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

using namespace e2e;

namespace {

QByteArray damaged(int seed)
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build(
        {testzip::file("a.txt", testzip::text(700, seed)), testzip::file("b.txt", testzip::text(900, seed + 1), false)},
        {}, &layout);
    const int at = int(layout.dataOffsets[1]) + 20;
    bytes[at] = char(bytes[at] ^ 0x40);
    return bytes;
}

QByteArray junkArchive(int seed)
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("keep.txt", testzip::text(800, seed))});
}

// Every file below root with its bytes' hash, hidden ones too.
QMap<QString, QByteArray> filesBelow(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path, hashOf(path));
    }
    return files;
}

// The program's own lines on stderr (Qt may add notes of its own there).
QStringList programLines(const QByteArray& err)
{
    return QString::fromLocal8Bit(err).split(u'\n').filter(QRegularExpression("^tamsorel: "));
}

Result runFrom(const Program& program, const QString& workingFolder, const QString& folder)
{
    QProcess p;
    prepare(p, program, folder);
    p.setWorkingDirectory(workingFolder);
    p.start();
    return collect(p, 120000);
}

} // namespace

class E2eUnattended : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void onlyTheNamedFolderIsTouched_data();
    void onlyTheNamedFolderIsTouched();
    void openWindowDoesNotStopARun();
    void salvageRecoversWhatADamagedArchiveHolds();
    void salvageInEveryFolderOfATree_data();
    void salvageInEveryFolderOfATree();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
};

void E2eUnattended::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_program = std::make_unique<Program>(m_root->path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
}

void E2eUnattended::onlyTheNamedFolderIsTouched_data()
{
    QTest::addColumn<int>("archives");
    QTest::newRow("two archives, both damaged") << 2;
    QTest::newRow("five archives, first and last damaged") << 5;
}

void E2eUnattended::onlyTheNamedFolderIsTouched()
{
    QFETCH(int, archives);
    const QString here = m_root->filePath("here");
    const QString zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(here));
    QVERIFY(QDir().mkpath(zips));
    // The folder the program is started from holds a damaged archive of its own: it is nobody's to rename.
    QVERIFY(testzip::write(here + "/aaa.zip", damaged(9)));
    const QByteArray first = damaged(1);
    const QByteArray last = damaged(2);
    QVERIFY(testzip::write(zips + "/a0.zip", first));
    for (int i = 1; i + 1 < archives; ++i)
        QVERIFY(testzip::write(zips + QStringLiteral("/a%1.zip").arg(i), junkArchive(i)));
    QVERIFY(testzip::write(zips + QStringLiteral("/a%1.zip").arg(archives - 1), last));
    const QStringList hereBefore = tree(here);

    const Result r = runFrom(*m_program, here, zips);
    QVERIFY(r.finished);
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.exitCode, 3); // damage found
    QCOMPARE(QString::fromLocal8Bit(r.out).trimmed(),
             QStringLiteral(" %1 zip(s) processed, 2 bad zip(s) found and renamed to +*.bad, 0 double zip(s) found "
                            "and fixed")
                 .arg(archives)
                 .trimmed());
    // One line for each archive renamed, none for the archive of the folder the program started from.
    const QStringList lines = programLines(r.err);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("tamsorel: damaged: " + zips + "/a0.zip (error "), qPrintable(lines[0]));
    QVERIFY2(lines[1].endsWith(QStringLiteral("renamed to a%1.zip.bad").arg(archives - 1)), qPrintable(lines[1]));
    QCOMPARE(tree(here), hereBefore);
    QCOMPARE(testzip::readAll(here + "/aaa.zip"), damaged(9));
    // Each damaged archive renamed once, as it was.
    QCOMPARE(testzip::readAll(zips + "/a0.zip.bad"), first);
    QCOMPARE(testzip::readAll(zips + QStringLiteral("/a%1.zip.bad").arg(archives - 1)), last);
    QCOMPARE(QDir(zips).entryList({"*.bad"}, QDir::Files).size(), 2);
    for (int i = 1; i + 1 < archives; ++i)
        QCOMPARE(testzip::names(zips + QStringLiteral("/a%1.zip").arg(i)), QStringList{"keep.txt"});
}

void E2eUnattended::openWindowDoesNotStopARun()
{
    // This test holds the window's instance slot of the program's data folder, as a window left open would;
    // an unattended run locks only the folder it cleans.
    LocalSocketInstanceGuard window(QFileInfo(m_program->folder()).canonicalFilePath());
    QVERIFY(!window.previousInstance());
    const QString zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(zips));
    QVERIFY(testzip::write(zips + "/a.zip", junkArchive(3)));

    const Result r = run(*m_program, zips, {}, 120000);
    E2E_VERIFY_ENDED(r);
    QVERIFY2(programLines(r.err).isEmpty(), r.err.constData());
    QCOMPARE(testzip::names(zips + "/a.zip"), QStringList{"keep.txt"});
}

void E2eUnattended::salvageRecoversWhatADamagedArchiveHolds()
{
    const QString zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(zips));
    const QByteArray bytes = damaged(1);
    QVERIFY(testzip::write(zips + "/a0.zip", bytes));
    QProcess p;
    prepare(p, *m_program, zips);
    p.setArguments({"--salvage", zips});
    p.start();
    const Result r = collect(p, 120000);
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.exitCode, 3); // damage found
    QCOMPARE(programLines(r.err).size(), 2);
    QVERIFY(programLines(r.err)[0].startsWith("tamsorel: damaged: " + zips + "/a0.zip (error 200: "));
    QCOMPARE(programLines(r.err)[1], "tamsorel: " + QDir::toNativeSeparators(zips + "/a0.zip.bad") +
                                         ": salvaged 1 entry, 700 bytes, into a0.salvaged.zip; 1 lost: b.txt");
    QCOMPARE(testzip::readAll(zips + "/a0.zip.bad"), bytes);
    QCOMPARE(testzip::names(zips + "/a0.salvaged.zip"), QStringList{"a.txt"});
    QCOMPARE(testzip::content(zips + "/a0.salvaged.zip", "a.txt"), testzip::text(700, 1));
    QVERIFY(temporaries(zips).isEmpty());

    // The next run cleans the salvaged copy as any archive and leaves the quarantined file, which has its copy.
    const QByteArray salvaged = testzip::readAll(zips + "/a0.salvaged.zip");
    QProcess again;
    prepare(again, *m_program, zips);
    again.setArguments({"--salvage", zips});
    again.start();
    const Result second = collect(again, 120000);
    E2E_VERIFY_ENDED(second);
    QVERIFY(second.out.startsWith(" 1 zip(s) processed, 0 bad"));
    QVERIFY2(programLines(second.err).isEmpty(), second.err.constData());
    QCOMPARE(testzip::readAll(zips + "/a0.salvaged.zip"), salvaged);
}

void E2eUnattended::salvageInEveryFolderOfATree_data()
{
    QTest::addColumn<bool>("dryRun");
    QTest::newRow("run") << false;
    QTest::newRow("dry run writes nothing") << true;
}

void E2eUnattended::salvageInEveryFolderOfATree()
{
    QFETCH(bool, dryRun);
    const QString root = m_root->filePath("tree");
    const QString sub = root + "/sub";
    QVERIFY(QDir().mkpath(sub));
    QVERIFY(testzip::write(root + "/a0.zip", damaged(1)));
    QVERIFY(testzip::write(sub + "/a1.zip", damaged(2)));
    QVERIFY(testzip::write(sub + "/old.zip.bad", damaged(3)));
    const QMap<QString, QByteArray> before = filesBelow(root);
    const QString report = m_root->filePath("r.jsonl");

    QProcess p;
    prepare(p, *m_program, root);
    p.setArguments((dryRun ? QStringList{"--dry-run"} : QStringList{}) +
                   QStringList{"--salvage", "-r", "--report", report, root});
    p.start();
    const Result r = collect(p, 120000);
    QVERIFY2(r.finished && r.status == QProcess::NormalExit && r.exitCode == 3, r.err.constData());

    // Each folder's damaged archives, and the older quarantined one, are salvaged in their own folder.
    const QStringList copies{root + "/a0.salvaged.zip", sub + "/a1.salvaged.zip", sub + "/old.salvaged.zip"};
    if (dryRun) {
        QCOMPARE(filesBelow(root), before);
        QCOMPARE(QString::fromLocal8Bit(r.out).count("would salvage 1 entry, 700 bytes"), 3);
    } else {
        for (const QString& copy : copies)
            QCOMPARE(testzip::names(copy), QStringList{"a.txt"});
        QCOMPARE(testzip::content(copies[1], "a.txt"), testzip::text(700, 2));
        QCOMPARE(testzip::readAll(sub + "/old.zip.bad"), damaged(3));
        QVERIFY(!QFileInfo::exists(root + "/old.salvaged.zip"));
        QCOMPARE(programLines(r.err).size(), 5); // two archives renamed, three salvaged
    }

    // The report names each archive's folder and keeps its salvage object; the summary has both kinds of counts.
    QMap<QString, int> recovered;
    QJsonObject summary;
    for (const QByteArray& line : testzip::readAll(report).split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o["summary"].toBool())
            summary = o;
        else if (o.contains("salvage"))
            recovered.insert(o["folder"].toString() + u'/' + o["name"].toString(),
                             o["salvage"].toObject()["recovered"].toInt());
    }
    const QMap<QString, int> expected{{root + "/a0.zip", 1}, {sub + "/a1.zip", 1}, {sub + "/old.zip.bad", 1}};
    QCOMPARE(recovered, expected);
    QCOMPARE(summary["folders"].toVariant().toStringList(), (QStringList{root, sub}));
    QCOMPARE(summary["aborted"].toBool(true), false);
    QCOMPARE(summary["damaged"].toInt(), 2);
    QCOMPARE(summary["salvaged"].toInt(), 3);
    QCOMPARE(summary["entries_recovered"].toInt(), 3);
}

QTEST_MAIN(E2eUnattended)
#include "test_e2e_unattended.moc"
