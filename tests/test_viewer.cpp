// The entry viewer: double-clicking a line of List1 extracts the entry into the temp folder and shows it in
// Form2 or hands it to the text editor; a damaged archive goes to quarantine.

#include "browse/Form2.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/Twips.h"
#include "testsupport/FormFixture.h"
#include "testsupport/LegacyEncoders.h"
#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QPlainTextEdit>
#include <QTest>

namespace {

Form1& start(FormFixture& fx)
{
    Form1& f = fx.make();
    f.Form_Load();
    f.show();
    [[maybe_unused]] const bool exposed = QTest::qWaitForWindowExposed(&f);
    return f;
}

// A user's double-click on the line with this text.
bool doubleClick(Form1& f, const QString& text)
{
    for (int i = 0; i < f.List1->ListCount(); ++i) {
        if (f.List1->List(i) != text)
            continue;
        QListWidgetItem* item = f.List1->item(i);
        f.List1->scrollToItem(item);
        const QPoint at = f.List1->visualItemRect(item).center();
        // The first click of the pair presses the item; the view reports a double-click only on that item.
        QTest::mouseClick(f.List1->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(f.List1->viewport(), Qt::LeftButton, {}, at);
        return true;
    }
    return false;
}

QStringList tempFiles(const FormFixture& fx)
{
    return QDir(fx.tempFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// An archive whose one entry's data no longer matches its CRC.
bool writeDataDamaged(const QString& path, const QByteArray& name)
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build({testzip::file(name, testzip::text(900, 2), false)}, {}, &layout);
    bytes[int(layout.dataOffsets[0]) + 10] = char(bytes[int(layout.dataOffsets[0]) + 10] ^ 1);
    return testzip::write(path, bytes);
}

} // namespace

class TestViewer : public QObject
{
    Q_OBJECT
private slots:
    void onlyDescriptionAndTextNamesAreViewed_data();
    void onlyDescriptionAndTextNamesAreViewed();
    void firstLineEndChoosesTheViewer_data();
    void firstLineEndChoosesTheViewer();
    void entryInAFolderIsViewedFromItsExtractedFile();
    void implodedDescriptionIsShown();
    void secondViewReplacesCaptionAndText();
    void closedWindowIsCreatedAgain();
    void textBoxFollowsTheWindowSize_data();
    void textBoxFollowsTheWindowSize();
    void doubleClickInTheTextTogglesMaximised();
    void bytesAreShownAsUtf8OrCodePage437_data();
    void bytesAreShownAsUtf8OrCodePage437();
    void damagedArchiveIsReportedAndQuarantined_data();
    void damagedArchiveIsReportedAndQuarantined();
    void failedExtractionShowsNoWindow();
    void veryLargeTextIsCutWithANote();
};

void TestViewer::onlyDescriptionAndTextNamesAreViewed_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("viewable");
    QTest::newRow("read.me") << QByteArray("read.me") << true;
    QTest::newRow("FILE_ID.DIZ") << QByteArray("FILE_ID.DIZ") << true;
    QTest::newRow("group.nfo") << QByteArray("group.nfo") << true;
    QTest::newRow("notes.txt") << QByteArray("notes.txt") << true;
    QTest::newRow("readme") << QByteArray("readme") << false;
    QTest::newRow("notes.doc") << QByteArray("notes.doc") << false;
    QTest::newRow("theme (no dot before me)") << QByteArray("theme") << false;
}

void TestViewer::onlyDescriptionAndTextNamesAreViewed()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, viewable);
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file(name, "some text\n")});
    Form1& f = start(fx);
    f.ViewedEntry = QStringLiteral("earlier.txt");
    QVERIFY(doubleClick(f, QString::fromLatin1(name).toLower()));
    QCOMPARE(f.form2() != nullptr, viewable);
    QCOMPARE(f.ViewedEntry, viewable ? QString::fromLatin1(name).toLower() : QStringLiteral("earlier.txt"));
    QCOMPARE(tempFiles(fx).size(), viewable ? 1 : 0);
    // The temp folder exists after any double-click.
    QVERIFY(QFileInfo(fx.tempFolder()).isDir());
    QVERIFY(fx.fakes.launcher.programs.isEmpty());
    QCOMPARE(f.mousePointer(), 0);
}

void TestViewer::firstLineEndChoosesTheViewer_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("editor");
    QTest::addColumn<QStringList>("shownLines");
    QTest::newRow("CR LF: editor") << QByteArray("one\r\ntwo\r\n") << true << QStringList();
    QTest::newRow("lone CR: editor") << QByteArray("one\rtwo\rthree") << true << QStringList();
    QTest::newRow("bare LF") << QByteArray("one\ntwo\nthree\n") << false << QStringList({"one", "two", "three", ""});
    QTest::newRow("LF first, then CR LF")
        << QByteArray("one\ntwo\r\nthree\r\n") << false << QStringList({"one", "two", "three", ""});
    QTest::newRow("one line without end") << QByteArray("just one line") << false << QStringList({"just one line"});
    QTest::newRow("empty file") << QByteArray() << false << QStringList({""});
    QTest::newRow("line of 10000 characters: shown in pieces")
        << QByteArray(10000, 'x') + "\n"
        << false << QStringList({QString(4096, 'x'), QString(4096, 'x'), QString(1808, 'x'), ""});
    // The first line end is found beyond the first few thousand bytes.
    QTest::newRow("long first line, then CR") << QByteArray(10000, 'x') + "\r\n" << true << QStringList();
}

void TestViewer::firstLineEndChoosesTheViewer()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, editor);
    QFETCH(QStringList, shownLines);
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("Info.TXT", content)});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "info.txt"));
    const QString extracted = fx.tempFolder() + "/info.txt";
    QCOMPARE(testzip::readAll(extracted), content);
    if (editor) {
        QCOMPARE(fx.fakes.launcher.programs, QStringList({"notepad.exe"}));
        QCOMPARE(fx.fakes.launcher.arguments, QStringList({extracted}));
        QVERIFY(!f.form2());
    } else {
        QVERIFY(fx.fakes.launcher.programs.isEmpty());
        QVERIFY(f.form2());
        QVERIFY(f.form2()->isVisible());
        QCOMPARE(f.form2()->windowTitle(), QStringLiteral("info.txt"));
        QCOMPARE(f.form2()->Text1->toPlainText().split(QLatin1Char('\n')), shownLines);
        QCOMPARE(f.form2()->Text1->document()->blockCount(), shownLines.size());
        QCOMPARE(f.form2()->cursor().shape(), Qt::ArrowCursor);
    }
    QCOMPARE(f.mousePointer(), 0);
}

void TestViewer::implodedDescriptionIsShown()
{
    FormFixture fx;
    const QByteArray text = "Cool Game v1.0\n  by the 1994 crew\n  by the 1994 crew\n";
    testzip::writeZip(fx.archive("a.zip"),
                      {testzip::packedFile("FILE_ID.DIZ", text, 6, testzip::implode(text, false, true), 0x04)});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "file_id.diz"));
    QVERIFY(f.form2());
    QCOMPARE(f.form2()->Text1->toPlainText(), QString::fromLatin1(text));
}

void TestViewer::entryInAFolderIsViewedFromItsExtractedFile()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("Docs/ReadMe.TXT", "inside a folder\n"),
                                            testzip::file("../../escape.txt", "up\r\n")});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "docs/readme.txt"));
    QVERIFY(f.form2());
    QCOMPARE(f.form2()->windowTitle(), QStringLiteral("docs/readme.txt"));
    QCOMPARE(f.form2()->Text1->toPlainText(), QStringLiteral("inside a folder\n"));
    QVERIFY(doubleClick(f, "../../escape.txt"));
    QCOMPARE(fx.fakes.launcher.arguments, QStringList({fx.tempFolder() + "/escape.txt"}));
    // Everything landed in the temp folder itself, nothing above it or in a subfolder.
    QCOMPARE(tempFiles(fx), QStringList({"escape.txt", "readme.txt"}));
    QVERIFY(!QFile::exists(fx.programFolder() + "/escape.txt"));
}

void TestViewer::secondViewReplacesCaptionAndText()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "first\n"), testzip::file("b.nfo", "second\n")});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "a.txt"));
    QPointer<Form2> first = f.form2();
    QVERIFY(first);
    QVERIFY(doubleClick(f, "b.nfo"));
    QCOMPARE(f.form2(), first.data());
    QCOMPARE(first->windowTitle(), QStringLiteral("b.nfo"));
    QCOMPARE(first->Text1->toPlainText(), QStringLiteral("second\n"));
}

void TestViewer::closedWindowIsCreatedAgain()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "text\n")});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "a.txt"));
    QPointer<Form2> first = f.form2();
    QVERIFY(first);
    first->close();
    QTRY_VERIFY(!first); // deleted on close
    QVERIFY(!f.form2());
    QVERIFY(doubleClick(f, "a.txt"));
    QVERIFY(f.form2());
    QVERIFY(f.form2()->isVisible());
    QCOMPARE(f.form2()->Text1->toPlainText(), QStringLiteral("text\n"));
}

void TestViewer::textBoxFollowsTheWindowSize_data()
{
    QTest::addColumn<int>("outerWidth"); // twips
    QTest::addColumn<int>("outerHeight");
    QTest::newRow("5000 x 3000") << 5000 << 3000;
    QTest::newRow("9825 x 5730") << 9825 << 5730;
    QTest::newRow("too small: empty, never negative") << 90 << 15;
}

void TestViewer::textBoxFollowsTheWindowSize()
{
    QFETCH(int, outerWidth);
    QFETCH(int, outerHeight);
    FormFixture fx;
    Form1& f = fx.make();
    Form2* w = f.ensureForm2();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    // From the first show the text box fills the client area below its top line: no band at right or bottom.
    QCOMPARE(w->Text1->geometry(), QRect(0, twips(w, 15), w->width(), w->height() - twips(w, 15)));
    const QSize frame = w->frameGeometry().size() - w->size();
    w->setMinimumSize(0, 0);
    w->resize((QSize(twips(w, outerWidth), twips(w, outerHeight)) - frame).expandedTo(QSize(0, 0)));
    QTRY_COMPARE(w->size(), (QSize(twips(w, outerWidth), twips(w, outerHeight)) - frame).expandedTo(QSize(0, 0)));
    QCOMPARE(w->Text1->pos(), QPoint(0, twips(w, 15)));
    QCOMPARE(w->Text1->size(), QSize(w->width(), qMax(0, w->height() - twips(w, 15))));
}

void TestViewer::doubleClickInTheTextTogglesMaximised()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("a.txt", "text\n")});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "a.txt"));
    Form2* w = f.form2();
    QVERIFY(w);
    QVERIFY(!(w->windowState() & Qt::WindowMaximized));
    QTest::mouseClick(w->Text1->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseDClick(w->Text1->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QTRY_VERIFY(w->windowState() & Qt::WindowMaximized);
    QTest::mouseClick(w->Text1->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseDClick(w->Text1->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QTRY_VERIFY(!(w->windowState() & Qt::WindowMaximized));
}

void TestViewer::bytesAreShownAsUtf8OrCodePage437_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("shown");
    QTest::newRow("cp437 box") << QByteArray("\xC9\xCD\xBB\n\xBA\x41\xBA\n\xC8\xCD\xBC\n")
                               << QStringLiteral(u"╔═╗\n║A║\n╚═╝\n");
    QTest::newRow("cp437 shades and letters")
        << QByteArray("\xB0\xB1\xB2\xDB \x82t\x82\n") << QStringLiteral(u"░▒▓█ été\n");
    QTest::newRow("utf-8") << QByteArray("caf\xC3\xA9 \xE2\x94\x80\xE2\x94\x80\n") << QStringLiteral(u"café ──\n");
    QTest::newRow("utf-8 cut inside a character is cp437") << QByteArray("caf\xC3") << QStringLiteral(u"caf├");
    QTest::newRow("control bytes as glyphs, tab kept") << QByteArray("\x01\t\x1A\n") << QStringLiteral(u"☺\t→\n");
}

void TestViewer::bytesAreShownAsUtf8OrCodePage437()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, shown);
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("art.nfo", content)});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "art.nfo"));
    QVERIFY(f.form2());
    QCOMPARE(f.form2()->Text1->toPlainText(), shown);
    QVERIFY(f.form2()->Text1->font().fixedPitch());
}

void TestViewer::damagedArchiveIsReportedAndQuarantined_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<bool>("windowOpen");
    QTest::newRow("attended") << QString() << false;
    QTest::newRow("attended, text window open: it goes blank") << QString() << true;
    QTest::newRow("unattended: reported on stderr") << QStringLiteral("x") << false;
}

void TestViewer::damagedArchiveIsReportedAndQuarantined()
{
    QFETCH(QString, commandLine);
    QFETCH(bool, windowOpen);
    FormFixture fx;
    testzip::writeZip(fx.archive("bad.zip"), {testzip::file("Notes.txt", testzip::text(900, 2), false)});
    testzip::writeZip(fx.archive("good.zip"), {testzip::file("g.txt", "good\n")});
    Form1& f = fx.make(commandLine);
    QStringList err;
    f.writeConsole = [&](const QString& line, bool toStderr) {
        if (toStderr)
            err << line;
    };
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    if (windowOpen) {
        f.File1->setSelected(1, true);
        QVERIFY(doubleClick(f, "g.txt"));
        QVERIFY(f.form2());
    }
    f.File1->setSelected(0, true);
    QCOMPARE(f.List1->ListCount(), 1);
    // Damaged after the listing tested it: the extraction finds out.
    QVERIFY(writeDataDamaged(fx.archive("bad.zip"), "Notes.txt"));
    QVERIFY(doubleClick(f, "notes.txt"));

    const QString text = "CRC error in - " + QDir::toNativeSeparators(fx.archive("bad.zip"));
    if (commandLine.isEmpty()) {
        QCOMPARE(fx.fakes.messageBox.messages.size(), 1);
        QCOMPARE(fx.fakes.messageBox.messages[0].text, text);
        QCOMPARE(fx.fakes.messageBox.messages[0].title, QStringLiteral("Tamsor error"));
        QCOMPARE(fx.fakes.messageBox.messages[0].style, 16);
    } else {
        // Unattended, nobody could close the box: the same words on stderr, and the run's status says it.
        QVERIFY(fx.fakes.messageBox.messages.isEmpty());
        QCOMPARE(err, QStringList{"tamsorel: Tamsor error: " + text});
        QCOMPARE(f.runStatus(), 2);
    }
    QVERIFY(fx.fakes.sound.played.isEmpty());
    QVERIFY(!QFile::exists(fx.archive("bad.zip")));
    QVERIFY(QFile::exists(fx.archive("bad.zip.bad")));
    QCOMPARE(f.File1->ListCount(), 1);
    QCOMPARE(f.File1->List(0), QStringLiteral("good.zip"));
    QCOMPARE(f.SSPanel1->Caption(), QStringLiteral("notes.txt"));
    QCOMPARE(f.SSPanel2->FloodPercent(), 0);
    QCOMPARE(f.currentArchive, fx.archive("bad.zip").toLower());
    QVERIFY(fx.fakes.launcher.programs.isEmpty());
    QCOMPARE(f.form2() != nullptr, windowOpen);
    if (windowOpen)
        QCOMPARE(f.form2()->Text1->toPlainText(), QString());
    QVERIFY(!QFile::exists(fx.tempFolder() + "/notes.txt"));
    QCOMPARE(f.mousePointer(), 0);
}

void TestViewer::failedExtractionShowsNoWindow()
{
    FormFixture fx;
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("gone.txt", "text\n")});
    Form1& f = start(fx);
    // A copy left by an earlier view must not be shown for this one.
    QVERIFY(QDir().mkpath(fx.tempFolder()));
    QVERIFY(testzip::write(fx.tempFolder() + "/gone.txt", "stale\n"));
    QVERIFY(QFile::remove(fx.archive("a.zip")));
    QVERIFY(doubleClick(f, "gone.txt"));
    QVERIFY(!f.form2());
    QVERIFY(fx.fakes.launcher.programs.isEmpty());
    QVERIFY(fx.fakes.messageBox.messages.isEmpty());
    QVERIFY(f.SSPanel2->Caption().contains("gone.txt"));
    QVERIFY(tempFiles(fx).isEmpty());
    QCOMPARE(f.ViewedEntry, QStringLiteral("gone.txt"));
    QCOMPARE(f.mousePointer(), 0);
}

void TestViewer::veryLargeTextIsCutWithANote()
{
    FormFixture fx;
    const QByteArray big = testzip::text(9 * 1024 * 1024, 3).replace('\r', ' ') + "\nthe last line\n";
    QVERIFY(!big.left(100).contains('\r'));
    testzip::writeZip(fx.archive("a.zip"), {testzip::file("big.txt", big)});
    Form1& f = start(fx);
    QVERIFY(doubleClick(f, "big.txt"));
    QVERIFY(f.form2());
    const QString shown = f.form2()->Text1->toPlainText();
    QVERIFY(!shown.contains("the last line"));
    const QString last = shown.mid(shown.lastIndexOf(QLatin1Char('\n')) + 1);
    QVERIFY2(last.startsWith("--> Only the first 8 MB of " + QString::number(big.size()) + " bytes"), qPrintable(last));
    QVERIFY(shown.size() < 8 * 1024 * 1024 + 200);
    QVERIFY(shown.startsWith(QString::fromLatin1(big.left(1000))));
}

QTEST_MAIN(TestViewer)
#include "test_viewer.moc"
