// The salvage of an unattended run: damaged archives quarantined by the run and older quarantined ones get a
// salvaged copy, each with one line and a report object; a dry run says the same and writes nothing; the
// run's own archives are those it listed at its start.

#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

// Four entries; the archive cut inside the third one's data, so the first two come back.
QByteArray truncatedArchive()
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build(
        {testzip::file("one.txt", testzip::text(2000, 1)), testzip::file("two.txt", testzip::text(3000, 2)),
         testzip::file("three.txt", testzip::text(4000, 3)), testzip::file("four.txt", testzip::text(5000, 4))},
        {}, &layout);
    bytes.truncate(layout.dataOffsets[2] + 50);
    return bytes;
}

// Two entries, the first one's data flipped: the directory is readable and vouches for both.
QByteArray flippedArchive()
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build(
        {testzip::file("bad.txt", testzip::text(2000, 5), false), testzip::file("good.txt", testzip::text(900, 6))}, {},
        &layout);
    bytes[layout.dataOffsets[0] + 7] = char(bytes[layout.dataOffsets[0] + 7] ^ 0x20);
    return bytes;
}

QList<QJsonObject> readReport(const QString& path)
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : testzip::readAll(path).split('\n'))
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

} // namespace

class TestSalvageRun : public QObject
{
    Q_OBJECT

private slots:
    void damagedArchivesGetASalvagedCopy_data();
    void damagedArchivesGetASalvagedCopy();
};

void TestSalvageRun::damagedArchivesGetASalvagedCopy_data()
{
    QTest::addColumn<bool>("dryRun");
    QTest::newRow("run") << false;
    QTest::newRow("dry run") << true;
}

void TestSalvageRun::damagedArchivesGetASalvagedCopy()
{
    QFETCH(bool, dryRun);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    const QByteArray truncated = truncatedArchive();
    const QByteArray flipped = flippedArchive();
    QVERIFY(testzip::write(fx.archive("a.zip"), truncated));
    QVERIFY(testzip::writeZip(fx.archive("b.zip"), {testzip::file("b.txt", "b")}));
    QVERIFY(testzip::write(fx.archive("c.zip.bad"), flipped)); // quarantined by an earlier run
    QVERIFY(testzip::write(fx.archive("d.zip.bad"), truncated));
    // An older salvage's copy: it is an archive of the run like any other, and d.zip.bad is left alone.
    QVERIFY(testzip::writeZip(fx.archive("d.salvaged.zip"), {testzip::file("one.txt", testzip::text(2000, 1))}));
    const QByteArray salvagedBefore = testzip::readAll(fx.archive("d.salvaged.zip"));
    const QString reportPath = fx.programFolder() + QStringLiteral("/run.jsonl");

    Form1& f = fx.make(fx.archiveFolder());
    QStringList out;
    QStringList err;
    f.writeConsole = [&](const QString& line, bool toStderr) { (toStderr ? err : out) << line; };
    f.runReport.dryRun = dryRun;
    f.runReport.salvage = true;
    QString problem;
    QVERIFY(f.runReport.openReport(reportPath, &problem));
    f.Form_Load();
    QCOMPARE(fx.fakes.exits, QList<int>{0});

    const QString a = QDir::toNativeSeparators(fx.archive(dryRun ? "a.zip" : "a.zip.bad"));
    const QString c = QDir::toNativeSeparators(fx.archive("c.zip.bad"));
    const QStringList said = {a + (dryRun ? ": would salvage" : ": salvaged") +
                                  " 2 entries, 5000 bytes, into a.salvaged.zip; 1 lost: three.txt",
                              c + (dryRun ? ": would salvage" : ": salvaged") +
                                  " 1 entry, 900 bytes, into c.salvaged.zip; 1 lost: bad.txt"};
    QStringList files = {"a.zip.bad", "b.zip", "c.zip.bad", "d.salvaged.zip", "d.zip.bad"};
    if (dryRun) {
        QCOMPARE(out.mid(1, 1), QStringList{said[0]}); // after the archive's own line
        QCOMPARE(out.mid(2, 1), QStringList{said[1]});
        QVERIFY(err.isEmpty());
        files[0] = QStringLiteral("a.zip");
    } else {
        // The rename's own line comes first, then the salvage's.
        QCOMPARE(err.size(), 3);
        QVERIFY2(err[0].startsWith("tamsorel: damaged: " + QDir::toNativeSeparators(fx.archive("a.zip")) + " (error "),
                 qPrintable(err[0]));
        QCOMPARE(err.mid(1), QStringList({"tamsorel: " + said[0], "tamsorel: " + said[1]}));
        // The new salvaged copies are not archives of this run: three were listed, three processed.
        QCOMPARE(out, QStringList{" 3 zip(s) processed, 1 bad zip(s) found and renamed to +*.bad, 0 double zip(s) "
                                  "found and fixed"});
        files << "a.salvaged.zip"
              << "c.salvaged.zip";
        QCOMPARE(testzip::names(fx.archive("a.salvaged.zip")), QStringList({"one.txt", "two.txt"}));
        QCOMPARE(testzip::content(fx.archive("a.salvaged.zip"), "two.txt"), testzip::text(3000, 2));
        QCOMPARE(testzip::names(fx.archive("c.salvaged.zip")), QStringList{"good.txt"});
    }
    files.sort();
    QCOMPARE(QDir(fx.archiveFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name), files);
    // The damaged files are never changed.
    QCOMPARE(testzip::readAll(fx.archive(dryRun ? "a.zip" : "a.zip.bad")), truncated);
    QCOMPARE(testzip::readAll(fx.archive("c.zip.bad")), flipped);
    QCOMPARE(testzip::readAll(fx.archive("d.salvaged.zip")), salvagedBefore);

    const QList<QJsonObject> objects = readReport(reportPath);
    QCOMPARE(objects.size(), 5); // a.zip, b.zip, d.salvaged.zip, c.zip.bad, summary
    const QJsonObject first = objects[0]["salvage"].toObject();
    QCOMPARE(objects[0]["verdict"].toString(), QStringLiteral("damaged"));
    QCOMPARE(first["status"].toString(), dryRun ? QStringLiteral("would be written") : QStringLiteral("written"));
    QCOMPARE(first["recovered"].toInt(), 2);
    QCOMPARE(first["lost"].toVariant().toStringList(), QStringList{"three.txt"});
    QCOMPARE(first["bytes"].toInt(), 5000);
    QVERIFY(!objects[1].contains("salvage")); // a clean archive has no salvage
    QCOMPARE(objects[3]["name"].toString(), QStringLiteral("c.zip.bad"));
    QCOMPARE(objects[3]["salvage"].toObject()["from_directory"].toBool(), true);
    if (!dryRun)
        QCOMPARE(first["bytes_written"].toInteger(), QFileInfo(fx.archive("a.salvaged.zip")).size());
    QCOMPARE(objects[4]["salvaged"].toInt(), 2);
    QCOMPARE(objects[4]["entries_recovered"].toInt(), 3);
}

QTEST_MAIN(TestSalvageRun)
#include "test_salvagerun.moc"
