// The window-free cleaner and the read-ahead: one rewrite against the old sequence of rewrites, listings
// taken in order, archives that change after they were read ahead, the bound on reading ahead.

#include "testsupport/TestArchives.h"
#include "zip/ArchiveCleaner.h"
#include "zip/ReadAhead.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <utime.h>

using testzip::Entry;

namespace {

QList<Entry> named(const QStringList& names)
{
    QList<Entry> out;
    int seed = 1;
    for (const QString& n : names)
        out << testzip::file(n.toUtf8(), testzip::text(200 + 50 * seed, seed), seed % 2 == 0), ++seed;
    return out;
}

// The first row whose lower case equals the line's, as the purge list answers.
ArchiveCleaner::RowFinder finder(const QStringList& rows)
{
    return [rows](const QString& line) {
        for (const QString& r : rows)
            if (r.toLower() == line.toLower())
                return r;
        return QString();
    };
}

// Whether a deletion with this row as mask takes only entries named like the row (the old probe listing).
bool takesOnlyItself(const QString& path, const QString& row)
{
    ZipComponent probe;
    probe.TestData = false;
    probe.ArchivePath = path;
    probe.EntryMask = row;
    bool only = true;
    QObject::connect(&probe, &ZipComponent::Listing,
                     [&](const QString& n) { only = only && n.compare(row, Qt::CaseInsensitive) == 0; });
    return probe.ListContents() == 0 && only;
}

} // namespace

class TestArchiveCleaner : public QObject
{
    Q_OBJECT
private slots:
    void oneRewriteEqualsTheOldSequence_data();
    void oneRewriteEqualsTheOldSequence();
    void listingsAreTakenInTheRunsOrder_data();
    void listingsAreTakenInTheRunsOrder();
    void archiveChangedAfterItWasReadIsReadAgain_data();
    void archiveChangedAfterItWasReadIsReadAgain();
    void readingAheadStopsAtItsBound();
};

void TestArchiveCleaner::oneRewriteEqualsTheOldSequence_data()
{
    const QByteArray stub = QByteArray("#!/bin/sh\nexit 0\n") + QByteArray(300, '\x90');
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("removedLines");
    QTest::newRow("nothing to purge") << testzip::build(named({"a.txt", "b.txt"})) << QStringList{"x.txt"} << 0;
    QTest::newRow("two of four purged") << testzip::build(named({"a.txt", "junk.txt", "c.txt", "ads.txt"}))
                                        << QStringList{"ads.txt", "JUNK.TXT"} << 2;
    QTest::newRow("one name three times, letters in any case")
        << testzip::build(named({"Thumbs.db", "x.txt", "THUMBS.DB", "thumbs.db"})) << QStringList{"thumbs.db"} << 3;
    QTest::newRow("rows in the opposite order of the lines")
        << testzip::build(named({"x.txt", "y.txt", "z.txt"})) << QStringList{"y.txt", "x.txt"} << 2;
    QTest::newRow("double zip, three copies, and a purge")
        << testzip::build(named({"file_id.diz", "a.txt", "FILE_ID.DIZ", "junk.txt", "File_Id.Diz"}))
        << QStringList{"junk.txt"} << 1;
    QTest::newRow("double zip whose description is purged too")
        << testzip::build(named({"file_id.diz", "a.txt", "file_id.diz"})) << QStringList{"file_id.diz"} << 2;
    QTest::newRow("wildcard row that takes only itself")
        << testzip::build(named({"a*b.txt", "c.txt", "a*b.txt"})) << QStringList{"a*b.txt"} << 2;
    QTest::newRow("wildcard row that would take another entry")
        << testzip::build(named({"a?c.txt", "abc.txt", "junk.txt"})) << QStringList{"a?c.txt", "junk.txt"} << 1;
    QTest::newRow("stub in front, zip64 records, double zip")
        << stub + testzip::buildZip64(named({"file_id.diz", "ads.txt", "b.txt", "file_id.diz"}))
        << QStringList{"ads.txt"} << 1;
}

void TestArchiveCleaner::oneRewriteEqualsTheOldSequence()
{
    QFETCH(QByteArray, archive);
    QFETCH(QStringList, rows);
    QFETCH(int, removedLines);
    QTemporaryDir dir;
    const QString old = dir.filePath("old.zip");
    const QString once = dir.filePath("once.zip");
    QVERIFY(testzip::write(old, archive) && testzip::write(once, archive));
    ZipComponent zip;
    const ArchiveListing listing = ArchiveCleaner(zip, once).list();
    QCOMPARE(listing.result, qint16(ZipSuccess));
    QVERIFY(listing.current());
    QStringList lines;
    for (const QString& n : listing.names)
        lines << n.toLower();
    std::sort(lines.begin(), lines.end());

    // The description both ways add back is the same file, extracted once.
    QString repairFile;
    if (ArchiveCleaner::isDoubleZip(lines)) {
        zip.EntryMask = ArchiveCleaner::kDescription;
        zip.ExtractFolder = dir.filePath("temp");
        zip.ArchivePath = once;
        QCOMPARE(zip.ExtractEntries(0), qint16(ZipSuccess));
        repairFile = dir.filePath("temp/file_id.diz");
    }
    const CleanPlan plan = ArchiveCleaner::plan(lines, listing.names, repairFile, finder(rows));

    // The old sequence: the add, then one deletion per line, each decided against the archive as it is then.
    if (!repairFile.isEmpty()) {
        zip.EntryMask = repairFile;
        zip.ArchivePath = old;
        QCOMPARE(zip.AddEntries(0), qint16(ZipSuccess));
    }
    int removed = 0;
    for (int k = 0; k < lines.size(); ++k) {
        const QString row = finder(rows)(lines[k]);
        const bool goes = !row.isNull() && takesOnlyItself(old, row);
        QCOMPARE(plan.removes(k), goes);
        if (!goes)
            continue;
        ++removed;
        zip.EntryMask = row;
        zip.ArchivePath = old;
        QCOMPARE(zip.DeleteEntries(), qint16(ZipSuccess));
    }
    QCOMPARE(removed, removedLines);

    qint16 addBack = -1;
    QCOMPARE(ArchiveCleaner(zip, once).rewrite(plan, &addBack), qint16(ZipSuccess));
    QCOMPARE(addBack, qint16(ZipSuccess));
    QCOMPARE(testzip::readAll(once), testzip::readAll(old));
    if (removedLines == 0 && repairFile.isEmpty())
        QCOMPARE(testzip::readAll(once), archive);
}

void TestArchiveCleaner::listingsAreTakenInTheRunsOrder_data()
{
    QTest::addColumn<int>("jobs");
    QTest::newRow("one worker") << 1;
    QTest::newRow("four workers") << 4;
}

void TestArchiveCleaner::listingsAreTakenInTheRunsOrder()
{
    QFETCH(int, jobs);
    QTemporaryDir dir;
    QStringList paths;
    for (int i = 0; i < 5; ++i) {
        paths << dir.filePath(QStringLiteral("a%1.zip").arg(i));
        if (i == 2)
            QVERIFY(testzip::writeDataDamaged(paths.last()));
        else
            QVERIFY(testzip::writeZip(paths.last(), named({QStringLiteral("f%1.txt").arg(i), "g.txt"})));
    }
    ReadAhead ahead(paths, ReadAhead::kMaxAhead, ReadAhead::kMaxAheadBytes, jobs);
    QCOMPARE(ahead.jobs(), jobs);
    const std::optional<ArchiveListing> first = ahead.take(paths[0]);
    QVERIFY(first);
    QCOMPARE(first->names, QStringList({"f0.txt", "g.txt"}));
    QVERIFY(!ahead.take(paths[0])); // already taken: the caller reads it itself
    const std::optional<ArchiveListing> damaged = ahead.take(paths[2]);
    QVERIFY(damaged);
    QCOMPARE(damaged->result, qint16(ZipDataDamaged));
    QVERIFY(!ahead.take(paths[1])); // passed over and thrown away
    const std::optional<ArchiveListing> last = ahead.take(paths[4], [] { return true; });
    QVERIFY(last);
    QCOMPARE(last->names, QStringList({"f4.txt", "g.txt"}));
}

void TestArchiveCleaner::archiveChangedAfterItWasReadIsReadAgain_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("handedOut");
    QTest::newRow("unchanged") << "none" << true;
    QTest::newRow("rewritten in place, longer") << "longer" << false;
    QTest::newRow("replaced by a file of the same size") << "replaced" << false;
    QTest::newRow("same bytes, new modification time") << "touched" << false;
    QTest::newRow("removed") << "removed" << false;
}

void TestArchiveCleaner::archiveChangedAfterItWasReadIsReadAgain()
{
    QFETCH(QString, change);
    QFETCH(bool, handedOut);
    QTemporaryDir dir;
    const QStringList paths{dir.filePath("a.zip"), dir.filePath("b.zip")};
    const QByteArray b = testzip::build(named({"b1.txt", "b2.txt"}));
    QVERIFY(testzip::writeZip(paths[0], named({"a.txt"})) && testzip::write(paths[1], b));
    ReadAhead ahead(paths);
    QVERIFY(ahead.take(paths[0]));
    QTRY_COMPARE(ahead.readCount(), 2);
    if (change == "longer") {
        QVERIFY(testzip::writeZip(paths[1], named({"b1.txt", "b2.txt", "b3.txt"})));
    } else if (change == "replaced") {
        QByteArray other = b;
        other.replace("b1.txt", "c1.txt");
        QVERIFY(testzip::write(dir.filePath("c.zip"), other));
        QVERIFY(QFile::remove(paths[1]) && QFile::rename(dir.filePath("c.zip"), paths[1]));
    } else if (change == "touched") {
        struct utimbuf times = {1000000000, 1000000000};
        QCOMPARE(::utime(QFile::encodeName(paths[1]).constData(), &times), 0);
    } else if (change == "removed") {
        QVERIFY(QFile::remove(paths[1]));
    }
    const std::optional<ArchiveListing> got = ahead.take(paths[1]);
    QCOMPARE(bool(got), handedOut);
    if (got)
        QCOMPARE(got->names, QStringList({"b1.txt", "b2.txt"}));
}

void TestArchiveCleaner::readingAheadStopsAtItsBound()
{
    QTemporaryDir dir;
    QStringList paths;
    for (int i = 0; i < 6; ++i) {
        paths << dir.filePath(QStringLiteral("a%1.zip").arg(i));
        QVERIFY(testzip::writeZip(paths.last(), named({"x.txt"})));
    }
    ReadAhead ahead(paths, 2);
    QTRY_COMPARE(ahead.readCount(), 2);
    QTest::qWait(100);
    QCOMPARE(ahead.readCount(), 2);
    QVERIFY(ahead.take(paths[0]));
    QTRY_COMPARE(ahead.readCount(), 3);
    QTest::qWait(100);
    QCOMPARE(ahead.readCount(), 3);
}

QTEST_GUILESS_MAIN(TestArchiveCleaner)
#include "test_archivecleaner.moc"
