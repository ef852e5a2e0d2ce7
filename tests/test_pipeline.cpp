// The clean-all run with its read-ahead worker, through the real window: an abort in the middle leaves the
// archives after it as they were, and an archive replaced after it was read ahead is judged as it is now.

#include "platform/AnimatedIcon.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/ReadAhead.h"

#include <QDeadlineTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {

QString name(int i)
{
    return QStringLiteral("a%1.zip").arg(i, 2, 10, QLatin1Char('0'));
}

// Waits (without the event loop: the run is inside it) until the worker has finished with count archives.
bool readAheadReached(Form1& f, int count)
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (f.cleanRun() && f.cleanRun()->readAheadCount() >= count)
            return true;
        QThread::msleep(2);
    }
    return false;
}

} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT
private slots:
    void abortInTheMiddleKeepsTheRestAsItWas_data();
    void abortInTheMiddleKeepsTheRestAsItWas();
    void archiveReplacedAfterItWasReadAheadIsReadAgain();
};

void TestPipeline::abortInTheMiddleKeepsTheRestAsItWas_data()
{
    QTest::addColumn<int>("abortAt"); // the archive in work when the abort press arrives
    QTest::newRow("first") << 0;
    QTest::newRow("middle") << 5;
    QTest::newRow("last") << 11;
}

void TestPipeline::abortInTheMiddleKeepsTheRestAsItWas()
{
    QFETCH(int, abortAt);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    QList<QByteArray> before;
    for (int i = 0; i < 12; ++i) {
        QVERIFY(testzip::writeZip(fx.archive(name(i)),
                                  {testzip::file("junk.txt", "j"), testzip::file("keep.txt", testzip::text(5000, i))}));
        before << testzip::readAll(fx.archive(name(i)));
    }
    Form1& f = fx.make();
    bool pressed = false;
    // The press arrives through the first event pump of that archive's work, inside its rewrite, which it stops.
    QObject::connect(&f, &QWidget::windowTitleChanged, &f, [&](const QString& title) {
        if (!pressed && title == "Cleaning " + name(abortAt)) {
            pressed = true;
            QVERIFY(readAheadReached(f, std::min(12, abortAt + 3)));
            QTimer::singleShot(0, &f, [&] { f.Command2->click(); });
        }
    });
    f.Command2->click();
    QVERIFY(pressed);
    for (int i = 0; i < 12; ++i) {
        if (i < abortAt)
            QCOMPARE(testzip::names(fx.archive(name(i))), QStringList{"keep.txt"});
        else
            QCOMPARE(testzip::readAll(fx.archive(name(i))), before[i]);
    }
    QCOMPARE(f.Label2->text(), abortAt == 0 ? QString() : Form1::countText(abortAt) + " zip(s) processed");
    QVERIFY(QDir(fx.archiveFolder()).entryList({"*.tmp"}, QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(f.cleanRun() == nullptr);
    QCOMPARE(f.runFlag, qint16(0));
    QVERIFY(f.AniIcon1->isHidden());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
}

void TestPipeline::archiveReplacedAfterItWasReadAheadIsReadAgain()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    QVERIFY(testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "a"), testzip::file("junk.txt", "j")}));
    QVERIFY(testzip::writeZip(fx.archive("b.zip"), {testzip::file("b.txt", "b"), testzip::file("junk.txt", "j")}));
    QVERIFY(testzip::writeZip(fx.archive("c.zip"), {testzip::file("c.txt", "c")}));
    Form1& f = fx.make();
    bool replaced = false;
    QStringList linesOfB;
    // While a.zip is in work and b.zip and c.zip were read ahead clean, b.zip is replaced by a damaged archive
    // and c.zip by one with more entries.
    QObject::connect(&f, &QWidget::windowTitleChanged, &f, [&](const QString& title) {
        if (title == "Cleaning a.zip" && !replaced) {
            QVERIFY(readAheadReached(f, 3));
            QVERIFY(testzip::writeDataDamaged(fx.archive("new.zip")));
            QVERIFY(QFile::remove(fx.archive("b.zip")) && QFile::rename(fx.archive("new.zip"), fx.archive("b.zip")));
            QVERIFY(testzip::writeZip(fx.archive("c.zip"), {testzip::file("c.txt", "c"), testzip::file("junk.txt", "j"),
                                                            testzip::file("d.txt", "d")}));
            replaced = true;
        }
        if (title == "Cleaning c.zip")
            linesOfB = listLines(f.List1);
    });
    f.Command2->click();
    QVERIFY(replaced);
    QVERIFY(QFile::exists(fx.archive("b.zip.bad")));
    QVERIFY(!QFile::exists(fx.archive("b.zip")));
    QVERIFY(linesOfB.contains("Bad zip found"));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"a.txt"});
    QCOMPARE(testzip::names(fx.archive("c.zip")), QStringList({"c.txt", "d.txt"}));
    QCOMPARE(f.Label2->text(), QStringLiteral(" 3 zip(s) processed"));
    QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
    QCOMPARE(fx.fakes.messageBox.messages[0].text,
             QStringLiteral(" 1 bad zip(s) found and renamed to +*.bad\n\n 0 double zip(s) found and fixed"));
}

QTEST_MAIN(TestPipeline)
#include "test_pipeline.moc"
