// The window around a clean-all run: a run keeps the archives it listed at its start while the user browses
// elsewhere, a refusal's words last only until the next work starts, and File > Last run... gives the account
// of what the last run did; each archive's count is on screen before the title names the next.

#include "browse/Form2.h"
#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {

QList<testzip::Entry> withJunk(const QByteArray& name, int size = 300)
{
    return {testzip::file(name, testzip::text(size, int(name.size()))), testzip::file("junk.txt", "junk")};
}

// Calls what once, from the event loop, after the component's first progress report on an archive.
void onFirstStatus(Form1& f, std::function<void()> what)
{
    auto done = std::make_shared<bool>(false);
    QObject::connect(f.XceedZip1, &ZipComponent::Status, &f, [&f, done, what] {
        if (!*done) {
            *done = true;
            QTimer::singleShot(0, &f, what);
        }
    });
}

} // namespace

class TestRunWindow : public QObject
{
    Q_OBJECT
private slots:
    void runKeepsItsArchivesWhileDir1Moves_data();
    void runKeepsItsArchivesWhileDir1Moves();
    void refusalLastsUntilTheNextWork_data();
    void refusalLastsUntilTheNextWork();
    void countIsOnScreenBeforeTheNextTitle_data();
    void countIsOnScreenBeforeTheNextTitle();
    void lastRunIsDisabledBeforeAnyRun();
    void lastRunGivesOneLinePerArchiveActedOn();
};

void TestRunWindow::runKeepsItsArchivesWhileDir1Moves_data()
{
    QTest::addColumn<QStringList>("elsewhere"); // the archives of the folder Dir1 moves to
    QTest::newRow("more archives, other names") << QStringList{"p.zip", "q.zip", "r.zip", "s.zip", "t.zip"};
    QTest::newRow("fewer archives, one name shared") << QStringList{"bb.zip"};
    QTest::newRow("no archives") << QStringList{};
}

void TestRunWindow::runKeepsItsArchivesWhileDir1Moves()
{
    QFETCH(QStringList, elsewhere);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    const QStringList own{"a.zip", "bb.zip", "c.zip"};
    for (const QString& name : own)
        QVERIFY(testzip::writeZip(fx.archive(name), withJunk(name.toUtf8() + ".txt", 200000)));
    QDir().mkpath(fx.archive("sub"));
    for (const QString& name : elsewhere)
        QVERIFY(testzip::writeZip(fx.archive("sub/" + name), withJunk("other.txt")));
    Form1& f = fx.make();
    QStringList titles;
    QObject::connect(&f, &QWidget::windowTitleChanged, &f, [&](const QString& t) { titles << t; });
    onFirstStatus(f, [&] { f.Dir1->setPath(fx.archive("sub")); });
    f.Command2->click();

    QCOMPARE(f.Dir1->Path(), fx.archive("sub"));
    for (const QString& name : own)
        QCOMPARE(testzip::names(fx.archive(name)), QStringList{name + ".txt"});
    for (const QString& name : elsewhere)
        QCOMPARE(testzip::names(fx.archive("sub/" + name)), QStringList({"other.txt", "junk.txt"}));
    // Only the run's own archives are named, each once, and nothing is said about the other folder's.
    QCOMPARE(titles, QStringList({"Cleaning a.zip", "Cleaning bb.zip", "Cleaning c.zip", "Tamsorel"}));
    QCOMPARE(f.Label2->text(), QStringLiteral(" 3 zip(s) processed"));
    QCOMPARE(f.SSPanel2->Caption(), QString());
    QVERIFY(!f.runReport.accountText().contains("gone"));
}

void TestRunWindow::countIsOnScreenBeforeTheNextTitle_data()
{
    QTest::addColumn<QStringList>("purge"); // the purge list: the first archive's junk goes, or nothing does
    QTest::newRow("tested only") << QStringList{};
    QTest::newRow("tested and purged") << QStringList{"junk.txt"};
}

// The title reaches the window manager at once, the window's contents with a frame: an archive's count that was
// not painted before the next title goes out can stay off the screen as long as that archive's first read or
// write keeps the pump waiting.
void TestRunWindow::countIsOnScreenBeforeTheNextTitle()
{
    QFETCH(QStringList, purge);
    FormFixture fx;
    fx.writePurgeList(purge);
    for (const char* name : {"a.zip", "b.zip"})
        QVERIFY(testzip::writeZip(fx.archive(name), withJunk(name)));
    Form1& f = fx.make();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QString painted; // Label2's text when it was last painted
    struct PaintWatch : QObject
    {
        QLabel* label;
        QString* painted;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::Paint)
                *painted = label->text();
            return false;
        }
    } watch;
    watch.label = f.Label2;
    watch.painted = &painted;
    f.Label2->installEventFilter(&watch);
    QString paintedAtB;
    QObject::connect(&f, &QWidget::windowTitleChanged, &f, [&](const QString& t) {
        if (t == "Cleaning a.zip")
            QThread::msleep(2 * Form1::kFrameMs); // an archive that takes a while
        if (t == "Cleaning b.zip")
            paintedAtB = painted;
    });
    f.Command2->click();
    QCOMPARE(f.Label2->text(), QStringLiteral(" 2 zip(s) processed"));
    QCOMPARE(paintedAtB, QStringLiteral(" 1 zip(s) processed"));
}

void TestRunWindow::refusalLastsUntilTheNextWork_data()
{
    QTest::addColumn<QString>("refused"); // what is asked for during the listing of a_big.zip
    QTest::addColumn<QString>("next");    // the work that starts after that listing has ended
    QTest::newRow("Delete, then a listing") << "Delete"
                                            << "listing";
    QTest::newRow("Add, then a listing") << "Add"
                                         << "listing";
    QTest::newRow("Clean all, then a listing") << "Clean all"
                                               << "listing";
    QTest::newRow("Delete, then Delete") << "Delete"
                                         << "Delete";
}

void TestRunWindow::refusalLastsUntilTheNextWork()
{
    QFETCH(QString, refused);
    QFETCH(QString, next);
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    QVERIFY(testzip::writeZip(fx.archive("a_big.zip"),
                              {testzip::file("big.txt", testzip::text(8 << 20, 5)), testzip::file("x.txt", "x")}));
    QVERIFY(testzip::writeZip(fx.archive("b.zip"), withJunk("b.txt")));
    Form1& f = fx.make();
    f.show();
    onFirstStatus(f, [&] {
        if (refused == "Delete")
            QTest::keyClick(f.List1, Qt::Key_Delete);
        else if (refused == "Add")
            f.Command1->click();
        else
            f.Command2->click();
    });
    f.File1->setSelected(0, true); // lists a_big.zip
    const QString words = "Busy listing a_big.zip: " + refused + " refused";
    QCOMPARE(f.SSPanel2->Caption(), words); // the listing has ended; nothing else has started yet
    QCOMPARE(testzip::names(fx.archive("a_big.zip")), QStringList({"big.txt", "x.txt"}));

    if (next == "listing") {
        f.File1->setSelected(1, true); // lists b.zip
        QCOMPARE(listLines(f.List1), QStringList({"b.txt", "junk.txt"}));
    } else {
        QCOMPARE(listLines(f.List1), QStringList({"big.txt", "x.txt"}));
        f.List1->setSelected(1, true); // x.txt of a_big.zip
        f.List1->setFocus();
        QTest::keyClick(f.List1, Qt::Key_Delete);
        QCOMPARE(testzip::names(fx.archive("a_big.zip")), QStringList{"big.txt"});
    }
    QCOMPARE(f.SSPanel2->Caption(), QString());
}

void TestRunWindow::lastRunIsDisabledBeforeAnyRun()
{
    FormFixture fx;
    Form1& f = fx.make();
    QCOMPARE(f.file->actions().indexOf(f.lastRun), f.file->actions().indexOf(f.vpurge) + 1);
    QCOMPARE(f.lastRun->text(), QStringLiteral("&Last run..."));
    QVERIFY(!f.lastRun->isEnabled());
    f.lastRun->trigger();
    QVERIFY(!f.form2());
}

void TestRunWindow::lastRunGivesOneLinePerArchiveActedOn()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt", "junk*.txt"});
    QVERIFY(testzip::writeDataDamaged(fx.archive("a.zip")));
    QVERIFY(testzip::writeZip(fx.archive("b.zip"),
                              {testzip::file("file_id.diz", "b\r\n"), testzip::file("file_id.diz", "b\r\n")}));
    QVERIFY(testzip::writeZip(fx.archive("c.zip"), withJunk("c.txt")));
    QVERIFY(testzip::writeZip(fx.archive("d.zip"), {testzip::file("d.txt", "d")}));
    QVERIFY(testzip::writeZip(fx.archive("e.zip"), {testzip::file("junk*.txt", "j"), testzip::file("junk1.txt", "k")}));
    const qint64 bBefore = QFileInfo(fx.archive("b.zip")).size();
    const qint64 cBefore = QFileInfo(fx.archive("c.zip")).size();
    Form1& f = fx.make();
    f.Command2->click();
    QVERIFY(f.lastRun->isEnabled());
    f.lastRun->trigger();
    QVERIFY(f.form2() && f.form2()->isVisible());
    QCOMPARE(f.form2()->windowTitle(), QStringLiteral("Last run"));
    const QStringList lines = f.form2()->Text1->toPlainText().split('\n');
    QVERIFY2(lines.value(0).startsWith("Last run in " + QDir::toNativeSeparators(fx.archiveFolder()) + ", started "),
             qPrintable(lines.value(0)));
    const QStringList archives = lines.filter(QRegularExpression("^[a-e]\\.zip: "));
    QCOMPARE(archives.size(), 4); // d.zip was clean: nothing to say about it
    QCOMPARE(archives[0], QStringLiteral("a.zip: damaged (error 200), renamed to a.zip.bad"));
    QCOMPARE(archives[1], QStringLiteral("b.zip: double zip repaired; %1 bytes before, %2 after")
                              .arg(bBefore)
                              .arg(QFileInfo(fx.archive("b.zip")).size()));
    QCOMPARE(archives[2], QStringLiteral("c.zip: 1 entry purged: junk.txt; %1 bytes before, %2 after")
                              .arg(cBefore)
                              .arg(QFileInfo(fx.archive("c.zip")).size()));
    QCOMPARE(archives[3], QStringLiteral("e.zip: not purged: junk*.txt stays: the purge row \"junk*.txt\" would delete "
                                         "other entries too"));
    const int counts = int(lines.indexOf("5 of 5 zip(s) processed"));
    QVERIFY(counts > 0);
    QCOMPARE(lines.mid(counts, 3), QStringList({"5 of 5 zip(s) processed",
                                                "1 renamed to *.bad, 1 double zip(s) repaired, 1 purged (1 entries)",
                                                "0 not cleaned or not finished, 2 clean"}));
}

QTEST_MAIN(TestRunWindow)
#include "test_runwindow.moc"
