// The run as an engine object, driven with no window: the events its observer hears, in their order, and what
// it did to the folder.

#include "testsupport/TestArchives.h"
#include "zip/CleanRun.h"
#include "zip/DiskName.h"
#include "zip/RunReport.h"
#include "zip/ShownText.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

namespace {

// Writes down every event, one word each (with the line or path's name where it tells something).
struct Recorder : CleanRunObserver
{
    QStringList events;
    int abortAtLine = -1; // asks for an abort once the purge pass removed this line
    bool abort = false;

    bool abortAsked() const override { return abort; }
    void archiveStarted(int, const QString& path) override
    {
        events << "start " + shownPath(QFileInfo(path).fileName());
    }
    void listingLine(const QString& line) override
    {
        if (line == "Bad zip found")
            events << "bad zip found";
    }
    void damaged(const QString&) override { events << "damaged"; }
    void doubleZipFound(const QString&) override { events << "double"; }
    void notCleaned(const QString&, const QString& what, const QString&) override { events << what; }
    void lineGoing(int k) override { events << QStringLiteral("going %1").arg(k); }
    void lineGone(int k) override
    {
        events << QStringLiteral("gone %1").arg(k);
        abort = abort || k == abortAtLine;
    }
    void archiveEnded(int, const QString&, CleanOutcome outcome) override
    {
        events << (outcome == CleanOutcome::Finished             ? "end"
                   : outcome == CleanOutcome::DamagedDuringPurge ? "end damaged"
                                                                 : "end aborted");
    }
    void counted(qint64 processed, bool) override { events << QStringLiteral("counted %1").arg(processed); }
};

} // namespace

class TestCleanRun : public QObject
{
    Q_OBJECT
private slots:
    void eventsInOrder_data();
    void eventsInOrder();
};

void TestCleanRun::eventsInOrder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("abortInPurge");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("after"); // the folder's files afterwards, and a.zip's entries when it stays
    QTest::addColumn<QByteArray>("name");   // the archive's name on disk
    QTest::addColumn<bool>("salvage");
    QTest::newRow("clean") << "clean" << false << QStringList{"start a.zip", "end", "counted 1"}
                           << QStringList{"a.zip", "a.txt"} << QByteArray("a.zip") << false;
    QTest::newRow("damaged") << "damaged" << false
                             << QStringList{"start a.zip", "bad zip found", "damaged", "end", "counted 1"}
                             << QStringList{"a.zip.bad"} << QByteArray("a.zip") << false;
    QTest::newRow("double") << "double" << false << QStringList{"start a.zip", "double", "end", "counted 1"}
                            << QStringList{"a.zip", "file_id.diz"} << QByteArray("a.zip") << false;
    // Lines are in the listing's order: "junk.txt" before "keep.txt".
    QTest::newRow("purged") << "purged" << false << QStringList{"start a.zip", "going 0", "gone 0", "end", "counted 1"}
                            << QStringList{"a.zip", "keep.txt"} << QByteArray("a.zip") << false;
    QTest::newRow("aborted in the purge")
        << "purged" << true << QStringList{"start a.zip", "going 0", "gone 0", "end aborted"}
        << QStringList{"a.zip", "keep.txt"} << QByteArray("a.zip") << false;
    // A name the disk gives as bytes that are not UTF-8 (Latin-1, code page 437, a cut-off sequence) is cleaned
    // as its UTF-8 twin is; .bad and the salvaged copy keep those bytes.
    QTest::newRow("double, Latin-1") << "double" << false
                                     << QStringList{"start CAF\\xc9.ZIP", "double", "end", "counted 1"}
                                     << QStringList{"CAF\\xc9.ZIP", "file_id.diz"} << QByteArray("CAF\xc9.ZIP")
                                     << false;
    QTest::newRow("purged, code page 437")
        << "purged" << false << QStringList{"start M\\x81SIK.ZIP", "going 0", "gone 0", "end", "counted 1"}
        << QStringList{"M\\x81SIK.ZIP", "keep.txt"} << QByteArray("M\x81SIK.ZIP") << false;
    QTest::newRow("damaged and salvaged, cut-off UTF-8")
        << "damaged" << false << QStringList{"start a\\xe2\\x82.zip", "bad zip found", "damaged", "end", "counted 1"}
        << QStringList{"a\\xe2\\x82.salvaged.zip", "a\\xe2\\x82.zip.bad"} << QByteArray("a\xe2\x82.zip") << true;
}

void TestCleanRun::eventsInOrder()
{
    QFETCH(QString, kind);
    QFETCH(bool, abortInPurge);
    QFETCH(QStringList, events);
    QFETCH(QStringList, after);
    QFETCH(QByteArray, name);
    QFETCH(bool, salvage);
    QTemporaryDir dir;
    const QString archive = dir.filePath("a.zip");
    if (kind == "clean")
        QVERIFY(testzip::writeZip(archive, {testzip::file("a.txt", "a")}));
    else if (kind == "damaged")
        QVERIFY(testzip::writeDataDamaged(archive));
    else if (kind == "double")
        QVERIFY(testzip::writeZip(archive, {testzip::file("file_id.diz", "d"), testzip::file("file_id.diz", "d")}));
    else
        QVERIFY(testzip::writeZip(archive, {testzip::file("keep.txt", "k"), testzip::file("junk.txt", "j")}));

    const QString onDisk = diskname::fromDisk(QFile::encodeName(dir.path()) + '/' + name);
    QVERIFY(std::rename(QFile::encodeName(archive).constData(), diskname::toDisk(onDisk).constData()) == 0);

    Recorder observer;
    observer.abortAtLine = abortInPurge ? 0 : -1;
    RunReport report;
    CleanRunSetup setup;
    setup.folder = dir.path();
    setup.names = {diskname::fromDisk(name)};
    setup.salvage = salvage;
    setup.unattended = true;
    setup.collection.jobs = 1;
    setup.workFolder = dir.filePath("work");
    setup.loadPurgeList = [](const std::function<void()>&) -> ArchiveCleaner::RowFinder {
        return [](const QString& line) { return line == "junk.txt" ? QStringLiteral("junk.txt") : QString(); };
    };
    setup.report = &report;
    CleanRun run(setup, observer);
    QVERIFY(run.run());
    QCOMPARE(observer.events, events);
    QCOMPARE(run.counts().aborted, abortInPurge);
    QStringList seen;
    for (const QString& file : diskname::entries(dir.path()))
        if (diskname::isFile(dir.filePath(file)))
            seen << shownPath(file);
    seen.sort();
    if (seen.size() == 1 && diskname::isFile(onDisk)) {
        QVERIFY(std::rename(diskname::toDisk(onDisk).constData(), QFile::encodeName(archive).constData()) == 0);
        seen += testzip::names(archive);
    }
    for (const QString& file : diskname::entries(dir.path())) // QTemporaryDir cannot remove raw names
        std::remove(diskname::toDisk(dir.filePath(file)).constData());
    QCOMPARE(seen, after);
    QCOMPARE(run.counts().bad, kind == "damaged" ? 1 : 0);
    QCOMPARE(run.counts().doubles, kind == "double" ? 1 : 0);
}

QTEST_MAIN(TestCleanRun)
#include "test_cleanrun.moc"
