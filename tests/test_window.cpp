// The window as a user meets it: a click lands on the control under the pointer, titles are whole, panel
// captions show at their full line height, and a file nothing can open is said so on the message line.

#include "app/Identity.h"
#include "browse/Form2.h"
#include "browse/Form3.h"
#include "platform/DirListBox.h"
#include "platform/FileListBox.h"
#include "platform/Panel3D.h"
#include "platform/RealServices.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void clickReachesTheControlUnderThePointer_data();
    void clickReachesTheControlUnderThePointer();
    void panelCaptionsShowWhole_data();
    void panelCaptionsShowWhole();
    void titlesAreWhole_data();
    void titlesAreWhole();
    void messageBoxShowsItsTitle_data();
    void messageBoxShowsItsTitle();
    void nothingToOpenIsSaid_data();
    void nothingToOpenIsSaid();
    void desktopLauncherTellsFailure_data();
    void desktopLauncherTellsFailure();
    void cleanAllFitsItsPictureToTheWindowFont_data();
    void cleanAllFitsItsPictureToTheWindowFont();
    void listShowsWhetherItHasTheFocus_data();
    void listShowsWhetherItHasTheFocus();
};

namespace {

// A window with enough archives for File1 to scroll, shown so that the window system's hit-testing works.
Form1& shownWindow(FormFixture& fx)
{
    for (int i = 0; i < 40; ++i)
        testzip::writeZip(fx.archive(QStringLiteral("a%1.zip").arg(i, 2, 10, QLatin1Char('0'))),
                          {testzip::file("entry.txt", "text\n")});
    Form1& f = fx.make();
    f.show();
    if (!QTest::qWaitForWindowExposed(&f))
        qFatal("window not exposed");
    return f;
}

} // namespace

void TestWindow::clickReachesTheControlUnderThePointer_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("where");
    QTest::newRow("File1 first row, under Label1") << "File1"
                                                   << "first row left";
    QTest::newRow("File1 first row, right end") << "File1"
                                                << "first row right";
    QTest::newRow("File1 scroll bar, top arrow") << "File1"
                                                 << "scroll bar top";
    QTest::newRow("List1 first row") << "List1"
                                     << "first row left";
    QTest::newRow("SSPanel3") << "SSPanel3"
                              << "centre";
    QTest::newRow("Command2") << "Command2"
                              << "centre";
    QTest::newRow("Command1") << "Command1"
                              << "centre";
    QTest::newRow("Drive1") << "Drive1"
                            << "centre";
    QTest::newRow("Dir1 top") << "Dir1"
                              << "top";
}

void TestWindow::clickReachesTheControlUnderThePointer()
{
    QFETCH(QString, control);
    QFETCH(QString, where);
    FormFixture fx;
    Form1& f = shownWindow(fx);
    f.File1->setSelected(5, true); // lists a5.zip, so List1 has lines
    f.File1->verticalScrollBar()->setValue(f.File1->verticalScrollBar()->maximum());
    f.File1->verticalScrollBar()->setValue(0);
    auto* target = f.findChild<QWidget*>(control);
    QVERIFY(target);

    // A point of the window, found from where the control's part lies, as a user aims at it.
    QPoint local = target->rect().center();
    if (where.startsWith(QLatin1String("first row"))) {
        auto* view = qobject_cast<QAbstractItemView*>(target);
        const QRect row = view->visualRect(view->model()->index(0, 0));
        const QPoint inView(where.endsWith(QLatin1String("left")) ? row.left() + 4 : row.right() - 4, row.center().y());
        local = view->viewport()->mapTo(target, inView);
    } else if (where == QLatin1String("scroll bar top")) {
        QScrollBar* bar = f.File1->verticalScrollBar();
        QVERIFY(bar->isVisible());
        bar->setValue(bar->maximum());
        local = bar->mapTo(target, QPoint(bar->width() / 2, 3));
    } else if (where == QLatin1String("top")) {
        local = QPoint(target->width() / 2, 6);
    }
    const QPoint global = target->mapToGlobal(local);

    // The window system's answer: whatever lies on top there takes the press.
    QWidget* hit = QApplication::widgetAt(global);
    QVERIFY2(hit && (hit == target || target->isAncestorOf(hit)),
             qPrintable(QStringLiteral("%1 took the click")
                            .arg(hit ? hit->objectName() + " " + hit->metaObject()->className() : "nothing")));

    // The buttons would start a run or an Add; that the press reaches them is what counts here.
    if (qobject_cast<QPushButton*>(target) || control.startsWith(QLatin1String("D")))
        return;
    QTest::mouseClick(hit, Qt::LeftButton, {}, hit->mapFromGlobal(global));
    if (control == QLatin1String("File1") && where.startsWith(QLatin1String("first row")))
        QCOMPARE(f.File1->ListIndex(), 0);
    if (where == QLatin1String("scroll bar top"))
        QCOMPARE_LT(f.File1->verticalScrollBar()->value(), f.File1->verticalScrollBar()->maximum());
    if (control == QLatin1String("List1"))
        QVERIFY(f.List1->Selected(0));
    if (control == QLatin1String("SSPanel3"))
        QCOMPARE(fx.fakes.sound.played, QStringList({fx.programFolder() + "/thunder.wav"}));
}

void TestWindow::panelCaptionsShowWhole_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("caption");
    QTest::newRow("status line: underscore") << "SSPanel1"
                                             << "a_clean.zip";
    QTest::newRow("status line: descenders") << "SSPanel1"
                                             << "gypsy_jq.zip";
    QTest::newRow("message line") << "SSPanel2"
                                  << "Double zip found";
    QTest::newRow("message line: underscore") << "SSPanel2"
                                              << "file_id.diz added";
    QTest::newRow("initials") << "SSPanel3"
                              << "TS";
}

void TestWindow::panelCaptionsShowWhole()
{
    QFETCH(QString, panel);
    QFETCH(QString, caption);
    FormFixture fx;
    Form1& f = fx.make();
    auto* p = f.findChild<Panel3D*>(panel);
    QVERIFY(p);
    p->setCaption(caption);
    const QFontMetrics metrics(p->font());
    const QRect inside = p->captionRect();
    QVERIFY2(inside.height() >= metrics.height(),
             qPrintable(QStringLiteral("%1 px for a line of %2 px").arg(inside.height()).arg(metrics.height())));
    QVERIFY(inside.width() >= metrics.horizontalAdvance(caption));
    // The panel stays inside the window and off the controls above it.
    QVERIFY(f.centralWidget()->rect().contains(p->geometry()));
    for (QWidget* other : {static_cast<QWidget*>(f.Dir1), static_cast<QWidget*>(f.File1),
                           static_cast<QWidget*>(f.Command1), static_cast<QWidget*>(f.Command2)})
        QVERIFY(!other->geometry().intersects(p->geometry()));

    // What the user sees: the caption drawn with its lowest strokes. An underscore or a descender that the
    // panel cut off would leave the picture the same as with the character taken out.
    auto picture = [&](const QString& text) {
        p->setCaption(text);
        QImage image(p->size(), QImage::Format_ARGB32);
        p->render(&image);
        return image;
    };
    const QImage whole = picture(caption);
    QString without = caption;
    without.replace(QLatin1Char('_'), QLatin1Char(' ')).replace(QLatin1Char('y'), QLatin1Char('v'));
    if (without != caption)
        QVERIFY(whole != picture(without));
}

void TestWindow::titlesAreWhole_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("shown");
    QTest::newRow("main window") << "Form1"
                                 << "Tamsorel";
    QTest::newRow("viewer") << "Form2"
                            << "readme.txt";
    QTest::newRow("About box: empty caption") << "Form3"
                                              << " ";
}

void TestWindow::titlesAreWhole()
{
    QFETCH(QString, window);
    QFETCH(QString, shown);
    // The window system appends a display name to each title when the application sets one, and puts the
    // application's name on a window whose title is empty.
    const QString name = QCoreApplication::applicationName();
    nameApplication();
    QCoreApplication::setApplicationName(QStringLiteral("probe"));
    QCOMPARE(QGuiApplication::applicationDisplayName(), QStringLiteral("probe"));
    nameApplication();

    FormFixture fx;
    Form1& f = fx.make();
    QWidget* w = &f;
    std::unique_ptr<Form3> about;
    if (window == QLatin1String("Form2")) {
        w = f.ensureForm2();
        w->setWindowTitle(QStringLiteral("readme.txt"));
    } else if (window == QLatin1String("Form3")) {
        about = std::make_unique<Form3>(&f);
        w = about.get();
        QCOMPARE(w->windowTitle(), QString());
    }
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCOMPARE(w->windowHandle()->title(), shown);
    QCoreApplication::setApplicationName(name);
}

void TestWindow::messageBoxShowsItsTitle_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("no purge list") << "Tamsorel error"
                                   << "No purge list exists";
    QTest::newRow("start-up refusal") << "Error"
                                      << "Run from a folder.";
    QTest::newRow("long title, short text") << "A title much longer than the text below it"
                                            << "Done.";
}

void TestWindow::messageBoxShowsItsTitle()
{
    QFETCH(QString, title);
    QFETCH(QString, text);
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok);
    widenForTitle(box);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QVERIFY2(box.width() >= titleBarWidth(title, box.font()),
             qPrintable(
                 QStringLiteral("%1 px for a title of %2 px").arg(box.width()).arg(titleBarWidth(title, box.font()))));
    QCOMPARE(box.windowTitle(), title);
}

void TestWindow::nothingToOpenIsSaid_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<bool>("nothingOpens");
    QTest::addColumn<QString>("message");
    QTest::newRow("purge list, no editor") << "vpurge" << true << "No program to open purge.txt";
    QTest::newRow("help, no viewer") << "contents" << true << "No program to open the help";
    QTest::newRow("web, no browser") << "web" << true << "No program to open https://tamsorel.example/";
    QTest::newRow("purge list opens") << "vpurge" << false << "";
    QTest::newRow("help opens") << "contents" << false << "";
}

void TestWindow::nothingToOpenIsSaid()
{
    QFETCH(QString, item);
    QFETCH(bool, nothingOpens);
    QFETCH(QString, message);
    FormFixture fx;
    fx.writePurgeList({"thumbs.db"});
    Form1& f = fx.make();
    fx.fakes.launcher.nothingOpens = nothingOpens;
    auto* action = f.findChild<QAction*>(item);
    QVERIFY(action);
    action->trigger();
    QCOMPARE(fx.fakes.launcher.programs.size(), 1);
    QCOMPARE(f.SSPanel2->Caption(), message);
}

void TestWindow::desktopLauncherTellsFailure_data()
{
    QTest::addColumn<QString>("opener"); // the desktop's opener on PATH; empty: none
    QTest::addColumn<bool>("failed");
    QTest::newRow("no opener") << "" << true;
    QTest::newRow("opener finds no application") << "#!/bin/sh\nexit 3\n" << true;
    QTest::newRow("opener opens it") << "#!/bin/sh\nexit 0\n" << false;
}

void TestWindow::desktopLauncherTellsFailure()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    QFETCH(QString, opener);
    QFETCH(bool, failed);
    QTemporaryDir bin;
    if (!opener.isEmpty()) {
        QFile script(bin.filePath(QStringLiteral("xdg-open")));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(opener.toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8());
    bool told = false;
    DesktopLauncher launcher;
    launcher.start(QStringLiteral("notepad.exe"), bin.filePath(QStringLiteral("purge.txt")), [&] { told = true; });
    qputenv("PATH", path);
    if (failed)
        QTRY_VERIFY(told);
    else
        QTest::qWait(500);
    QCOMPARE(told, failed);
#else
    QSKIP("the opener is xdg-open on this platform only");
#endif
}

void TestWindow::cleanAllFitsItsPictureToTheWindowFont_data()
{
    QTest::addColumn<QString>("caption");
    QTest::newRow("Clean all") << "&Clean all";
    QTest::newRow("Abort") << "&Abort";
}

void TestWindow::cleanAllFitsItsPictureToTheWindowFont()
{
    QFETCH(QString, caption);
    FormFixture fx;
    Form1& f = fx.make();
    f.Command2->setText(caption);
    // Both buttons speak in the window's font, whatever the picture needs.
    QCOMPARE(f.Command2->font(), f.Command1->font());
    QCOMPARE(f.Command2->font(), f.centralWidget()->font());
    QVERIFY(!f.Command2->icon().isNull());
    // Picture, the style's gap and the caption together stay inside the button's border.
    QStyleOptionButton option;
    option.initFrom(f.Command2);
    const QRect contents = f.Command2->style()->subElementRect(QStyle::SE_PushButtonContents, &option, f.Command2);
    const int captionWidth = QFontMetrics(f.Command2->font()).horizontalAdvance(QString(caption).remove('&'));
    QVERIFY2(f.Command2->iconSize().width() + 4 + captionWidth <= contents.width(),
             qPrintable(QStringLiteral("%1 + 4 + %2 > %3")
                            .arg(f.Command2->iconSize().width())
                            .arg(captionWidth)
                            .arg(contents.width())));
    QVERIFY(f.Command2->iconSize().height() <= contents.height());
    QVERIFY(f.Command2->iconSize().width() >= 7);
}

void TestWindow::listShowsWhetherItHasTheFocus_data()
{
    QTest::addColumn<QString>("list");
    QTest::newRow("File1") << "File1";
    QTest::newRow("Dir1") << "Dir1";
}

void TestWindow::listShowsWhetherItHasTheFocus()
{
    QFETCH(QString, list);
    FormFixture fx;
    Form1& f = shownWindow(fx);
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    auto* view = f.findChild<QListWidget*>(list);
    QVERIFY(view && view->count() > 0);
    if (!view->currentItem())
        view->setCurrentRow(0);
    view->currentItem()->setSelected(true);
    // The share of the selected line drawn in a colour (not white, grey or black), with the focus on the other
    // list, then on this one.
    auto coloured = [&] {
        const QImage image = view->viewport()->grab().toImage();
        const QRect line = view->visualItemRect(view->currentItem()) & image.rect();
        int n = 0;
        for (int y = line.top(); y <= line.bottom(); ++y)
            for (int x = line.left(); x <= line.right(); ++x)
                n += image.pixelColor(x, y).hsvSaturation() > 100 ? 1 : 0;
        return double(n) / double(line.width() * line.height());
    };
    QWidget* other = list == "File1" ? static_cast<QWidget*>(f.Dir1) : static_cast<QWidget*>(f.File1);
    other->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(other->hasFocus());
    const double without = coloured();
    view->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(view->hasFocus());
    const double with = coloured();
    QVERIFY2(with > 0.5 && without < 0.05, qPrintable(QStringLiteral("%1 / %2").arg(with).arg(without)));
}

QTEST_MAIN(TestWindow)
#include "test_window.moc"
