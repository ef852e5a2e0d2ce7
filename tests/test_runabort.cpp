// An abort of a clean-all run, pressed at every point where the run lets window events through: whatever the
// run had done by then (an archive renamed to .bad, a double zip repaired) is reported, once, with counts that
// match the files on disk, and a run stopped before it found anything shows no report.

#include "platform/FileListBox.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"

#include <QFileInfo>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

QString report(int bad, int doubles)
{
    return QStringLiteral(" %1 bad zip(s) found and renamed to +*.bad\n\n %2 double zip(s) found and fixed")
        .arg(bad)
        .arg(doubles);
}

// A folder where the run quarantines a.zip, repairs b.zip, purges c.zip (large enough that its test and
// rewrite let events through many times) and only tests d.zip.
void writeFolder(FormFixture& fx)
{
    fx.writePurgeList({"junk.txt"});
    QVERIFY(testzip::writeDataDamaged(fx.archive("a.zip")));
    QVERIFY(testzip::writeZip(fx.archive("b.zip"), {testzip::file("file_id.diz", "about b\r\n"),
                                                    testzip::file("b.txt", testzip::text(2000, 2)),
                                                    testzip::file("file_id.diz", "about b\r\n")}));
    QVERIFY(testzip::writeZip(fx.archive("c.zip"), {testzip::file("c.txt", testzip::text(3 << 20, 3), false),
                                                    testzip::file("junk.txt", "junk")}));
    // d.zip takes the worker long enough that the run waits for its listing.
    QVERIFY(testzip::writeZip(fx.archive("d.zip"), {testzip::file("d.txt", testzip::text(4 << 20, 4))}));
}

enum Press
{
    AbortButton,
    EscapeKey
};

// Runs the folder's clean-all run, pressing abort at the press-th pass of the event loop (0: never). Returns
// how many passes the run made.
int runWithAbortAt(FormFixture& fx, int press, int how)
{
    Form1& f = fx.make();
    int passes = 0;
    bool running = false;
    QTimer everyPass;
    everyPass.setInterval(0);
    QObject::connect(&everyPass, &QTimer::timeout, &f, [&] {
        if (f.runFlag != -1)
            return;
        running = true;
        if (++passes != press)
            return;
        if (how == AbortButton)
            f.Command2->click();
        else
            QTest::keyClick(f.File1, Qt::Key_Escape);
    });
    everyPass.start();
    f.Command2->click();
    everyPass.stop();
    return running ? passes : 0;
}

} // namespace

class TestRunAbort : public QObject
{
    Q_OBJECT
private slots:
    void everyAbortThatFoundSomethingIsReported_data();
    void everyAbortThatFoundSomethingIsReported();
};

void TestRunAbort::everyAbortThatFoundSomethingIsReported_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("Abort button") << int(AbortButton);
    QTest::newRow("Escape key") << int(EscapeKey);
}

void TestRunAbort::everyAbortThatFoundSomethingIsReported()
{
    QFETCH(int, how);
    int passes = 0;
    {
        FormFixture fx;
        writeFolder(fx);
        passes = runWithAbortAt(fx, 0, how);
        QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
        QCOMPARE(fx.fakes.messageBox.messages[0].text, report(1, 1));
    }
    QVERIFY2(passes >= 10, qPrintable(QStringLiteral("%1 passes").arg(passes)));
    int reported = 0;
    for (int press = 1; press <= passes + 1; ++press) {
        FormFixture fx;
        writeFolder(fx);
        runWithAbortAt(fx, press, how);
        const int bad = QFileInfo::exists(fx.archive("a.zip.bad")) ? 1 : 0;
        const int doubles = testzip::count(fx.archive("b.zip"), "file_id.diz") == 1 ? 1 : 0;
        const QString at = QStringLiteral("press at pass %1 of %2").arg(press).arg(passes);
        if (bad + doubles == 0) {
            QVERIFY2(fx.fakes.messageBox.messages.isEmpty(), qPrintable(at));
            continue;
        }
        ++reported;
        QVERIFY2(fx.fakes.messageBox.messages.size() == 1, qPrintable(at));
        QVERIFY2(fx.fakes.messageBox.messages[0].text == report(bad, doubles),
                 qPrintable(at + QStringLiteral(": ") + fx.fakes.messageBox.messages[0].text));
        QCOMPARE(fx.form->runFlag, qint16(0));
    }
    // Most presses come after the first two archives, which the run finishes within a few passes.
    QVERIFY(reported > passes / 2);
}

QTEST_MAIN(TestRunAbort)
#include "test_runabort.moc"
