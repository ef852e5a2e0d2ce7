// The Help menu and SSPanel3: the help file and the web page go to the launcher, Email does nothing, and
// the About box is on the screen exactly while the thunder plays.

#include "app/Icons.h"
#include "browse/Form3.h"
#include "platform/FileListBox.h"
#include "platform/Panel3D.h"
#include "platform/Twips.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"

#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {

// What the About box looked like while the sound played.
struct AboutSeen
{
    int visibleBoxes = 0;
    int runFlag = 0;
    QString title;
    QSize size;
    Qt::WindowFlags flags;
    QStringList labels;
    QString titleFontFamily;
    QString shownTitle;
    bool picture = false;
    QPoint centreOffset;
};

void watchAbout(FormFixture& fx, Form1& f, QList<AboutSeen>& seen)
{
    fx.fakes.sound.whilePlaying = [&f, &seen](const QString&, int) {
        AboutSeen s;
        s.runFlag = f.runFlag;
        for (Form3* box : f.findChildren<Form3*>()) {
            if (!box->isVisible())
                continue;
            ++s.visibleBoxes;
            s.title = box->windowTitle();
            s.size = box->size();
            s.flags = box->windowFlags();
            s.labels = {box->Label1->text(), box->Label2->text(), box->Label3->text()};
            s.titleFontFamily = box->Label1->font().family();
            s.shownTitle = box->windowHandle() ? box->windowHandle()->title() : QString();
            s.picture = !box->Image1->pixmap().isNull();
            s.centreOffset = box->geometry().center() - f.geometry().center();
        }
        seen.append(s);
    };
}

} // namespace

class TestHelpAbout : public QObject
{
    Q_OBJECT
private slots:
    void contentsOpensTheHelpFile();
    void webOpensOurPage();
    void emailDoesNothing();
    void aboutShowsTheBoxWhileTheThunderPlays_data();
    void aboutShowsTheBoxWhileTheThunderPlays();
    void aboutDuringARunLetsTheRunGoOn();
};

void TestHelpAbout::contentsOpensTheHelpFile()
{
    FormFixture fx;
    const QString program = fx.programFolder() + QStringLiteral("/Program Files/tamsorel");
    QVERIFY(QDir().mkpath(program));
    Form1& f = fx.make({}, {}, program);
    f.contents->trigger();
    QCOMPARE(fx.fakes.launcher.programs, QStringList({"winhelp.exe"}));
    QCOMPARE(fx.fakes.launcher.arguments, QStringList({program + "/Tamsorel.hlp"}));
}

void TestHelpAbout::webOpensOurPage()
{
    FormFixture fx;
    Form1& f = fx.make();
    f.web->trigger();
    QCOMPARE(fx.fakes.launcher.programs, QStringList({"webdial.exe"}));
    QCOMPARE(fx.fakes.launcher.arguments.size(), 1);
    const QString argument = fx.fakes.launcher.arguments[0];
    QVERIFY2(argument.startsWith("$https://"), qPrintable(argument));
    QVERIFY(!argument.contains(' '));
}

void TestHelpAbout::emailDoesNothing()
{
    FormFixture fx;
    Form1& f = fx.make();
    f.email->trigger();
    QVERIFY(fx.fakes.launcher.programs.isEmpty());
    QVERIFY(fx.fakes.sound.played.isEmpty());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(f.findChildren<Form3*>().isEmpty());
}

void TestHelpAbout::aboutShowsTheBoxWhileTheThunderPlays_data()
{
    QTest::addColumn<bool>("panel");
    QTest::newRow("Help > About") << false;
    QTest::newRow("click on SSPanel3") << true;
}

void TestHelpAbout::aboutShowsTheBoxWhileTheThunderPlays()
{
    QFETCH(bool, panel);
    FormFixture fx;
    Form1& f = fx.make();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QList<AboutSeen> seen;
    watchAbout(fx, f, seen);
    for (int i = 0; i < 2; ++i) {
        if (panel)
            QTest::mouseClick(f.SSPanel3, Qt::LeftButton);
        else
            f.about->trigger();
        // Gone as soon as the sound has ended: no box is left open.
        QVERIFY(f.findChildren<Form3*>().isEmpty());
        QVERIFY(!f.aboutShowing());
    }
    const QString thunder = fx.programFolder() + "/thunder.wav";
    QCOMPARE(fx.fakes.sound.played, QStringList({thunder, thunder}));
    QCOMPARE(fx.fakes.sound.playedFlags, QList<int>({0, 0}));
    QCOMPARE(seen.size(), 2);
    for (const AboutSeen& s : seen) {
        QCOMPARE(s.visibleBoxes, 1);
        QCOMPARE(s.title, QString());
        QCOMPARE(s.size, QSize(twips(&f, 7200), twips(&f, 5370)));
        QVERIFY(!(s.flags & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)));
        QCOMPARE(s.labels.mid(0, 2), QStringList({"Tamsorel", "v1.18"}));
        QVERIFY(!s.labels[2].isEmpty());
        QCOMPARE(s.titleFontFamily, decorativeFont(36).family());
        // Blank, not empty: an empty title would show the application's name.
        QCOMPARE(s.shownTitle, QStringLiteral(" "));
        QVERIFY(s.picture);
        QVERIFY2(s.centreOffset.manhattanLength() <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(s.centreOffset.x()).arg(s.centreOffset.y())));
    }
}

void TestHelpAbout::aboutDuringARunLetsTheRunGoOn()
{
    FormFixture fx;
    fx.writePurgeList({"junk.txt"});
    const QStringList archives = {"a.zip", "b.zip", "c.zip"};
    for (const QString& a : archives)
        QVERIFY(testzip::writeZip(fx.archive(a), {testzip::file("junk.txt", "j"), testzip::file("keep.txt", "k")}));
    Form1& f = fx.make();
    f.Form_Load();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QList<AboutSeen> seen;
    watchAbout(fx, f, seen);
    // The click arrives while the run lets events through between its steps.
    QTimer::singleShot(0, f.SSPanel3, [&f] { QTest::mouseClick(f.SSPanel3, Qt::LeftButton); });
    f.Command2_Click();
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].runFlag, -1);
    QCOMPARE(seen[0].visibleBoxes, 1);
    QVERIFY(f.findChildren<Form3*>().isEmpty());
    // The run went on to the end after the box closed.
    QCOMPARE(f.runFlag, qint16(0));
    for (const QString& a : archives)
        QCOMPARE(testzip::names(fx.archive(a)), QStringList({"keep.txt"}));
}

QTEST_MAIN(TestHelpAbout)
#include "test_helpabout.moc"
