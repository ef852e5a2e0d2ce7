// The installed layout: where the data files live, the window's Add, View and double-zip repair with the
// XDG places, the text editor found through the desktop's files, and the progress line's fit.

#include "app/DataFolders.h"
#include "platform/FileListBox.h"
#include "platform/ListBox.h"
#include "platform/TextEditor.h"
#include "testsupport/FormFixture.h"
#include "testsupport/TestArchives.h"
#include "zip/RunReport.h"

#include <QPushButton>
#include <QTest>

namespace {

void put(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QVERIFY(testzip::write(path, text));
}

struct Installed
{
    QTemporaryDir root;
    QString prefix() const { return root.path() + QStringLiteral("/usr"); }
    QString bin() const { return prefix() + QStringLiteral("/bin"); }
    QString home() const { return root.path() + QStringLiteral("/home"); }
    DataFolders folders;

    // An installation's bin and share folders, with the user's places below a home of its own.
    explicit Installed(const QByteArray& shippedList = "thumbs.db\r\n")
    {
        QDir().mkpath(bin());
        put(prefix() + QStringLiteral("/share/tamsorel/purge.txt"), shippedList);
        qputenv("XDG_CONFIG_HOME", (home() + QStringLiteral("/config")).toUtf8());
        qputenv("XDG_CACHE_HOME", (home() + QStringLiteral("/cache")).toUtf8());
        folders = DataFolders::locate(bin());
    }
    ~Installed()
    {
        qunsetenv("XDG_CONFIG_HOME");
        qunsetenv("XDG_CACHE_HOME");
    }
    QString listPath() const { return home() + QStringLiteral("/config/tamsorel/purge.txt"); }
};

Form1& makeInstalled(FormFixture& fx, const DataFolders& folders, const QString& programFolder)
{
    Form1Config config;
    config.programFolder = programFolder;
    config.folders = folders;
    config.startFolder = fx.archiveFolder();
    config.services = fx.fakes.services();
    fx.form = std::make_unique<Form1>(config);
    return *fx.form;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT
private slots:
    void layoutFollowsTheProgramFolder_data();
    void layoutFollowsTheProgramFolder();
    void seedsTheListOnceNeverOverwrites();
    void dataPathsOfTheInstalledLayout_data();
    void dataPathsOfTheInstalledLayout();
    void addViewAndRepairUseTheXdgPlaces();
    void execLineExpansion_data();
    void execLineExpansion();
    void defaultTextApplication_data();
    void defaultTextApplication();
    void progressLineFitsTheTerminal_data();
    void progressLineFitsTheTerminal();
};

void TestInstall::layoutFollowsTheProgramFolder_data()
{
    QTest::addColumn<bool>("shipped"); // share/tamsorel/purge.txt beside bin
    QTest::addColumn<bool>("ownList"); // purge.txt beside the program
    QTest::addColumn<bool>("installed");
    QTest::newRow("build folder: portable") << false << true << false;
    QTest::newRow("unpacked without a list: portable") << false << false << false;
    QTest::newRow("installation's bin: installed") << true << false << true;
    QTest::newRow("installation with a list beside: portable") << true << true << false;
}

void TestInstall::layoutFollowsTheProgramFolder()
{
    QFETCH(bool, shipped);
    QFETCH(bool, ownList);
    QFETCH(bool, installed);
    QTemporaryDir root;
    const QString bin = root.path() + "/bin";
    QDir().mkpath(bin);
    if (shipped)
        put(root.path() + "/share/tamsorel/purge.txt", "a\r\n");
    if (ownList)
        put(bin + "/purge.txt", "a\r\n");
    const DataFolders f = DataFolders::locate(bin);
    QCOMPARE(f.installed, installed);
    if (!installed)
        QCOMPARE(QStringList({f.config, f.cache, f.shared}), QStringList({bin, bin, bin}));
    else
        QCOMPARE(f.shared, root.path() + "/share/tamsorel");
}

void TestInstall::seedsTheListOnceNeverOverwrites()
{
    Installed inst("shipped\r\n");
    QVERIFY(inst.folders.installed);
    QVERIFY(inst.folders.prepare());
    QCOMPARE(testzip::readAll(inst.listPath()), QByteArray("shipped\r\n"));
    QVERIFY(QFileInfo(inst.listPath()).isWritable());
    QVERIFY(QFileInfo(inst.home() + "/cache/tamsorel").isDir());
    put(inst.listPath(), "mine\r\n");
    QVERIFY(inst.folders.prepare());
    QCOMPARE(testzip::readAll(inst.listPath()), QByteArray("mine\r\n"));
    // An emptied list stays empty; a deleted one comes back from the default.
    put(inst.listPath(), "");
    QVERIFY(inst.folders.prepare());
    QCOMPARE(testzip::readAll(inst.listPath()), QByteArray());
    QVERIFY(QFile::remove(inst.listPath()));
    QVERIFY(inst.folders.prepare());
    QCOMPARE(testzip::readAll(inst.listPath()), QByteArray("shipped\r\n"));
}

void TestInstall::dataPathsOfTheInstalledLayout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("place"); // below the test's root
    QTest::newRow("purge list") << "purge.txt"
                                << "/home/config/tamsorel/purge.txt";
    QTest::newRow("staging file") << "purge.bak"
                                  << "/home/config/tamsorel/purge.bak";
    QTest::newRow("temp folder") << "temp"
                                 << "/home/cache/tamsorel/temp";
    QTest::newRow("sound") << "error.wav"
                           << "/usr/share/tamsorel/error.wav";
    QTest::newRow("help") << "Tamsorel.hlp"
                          << "/usr/share/tamsorel/Tamsorel.hlp";
}

void TestInstall::dataPathsOfTheInstalledLayout()
{
    QFETCH(QString, name);
    QFETCH(QString, place);
    Installed inst;
    FormFixture fx;
    Form1& f = makeInstalled(fx, inst.folders, inst.bin());
    QCOMPARE(f.dataPath(name), inst.root.path() + place);
    QCOMPARE(f.purgeEntries.listPath(), inst.listPath());
}

void TestInstall::addViewAndRepairUseTheXdgPlaces()
{
    Installed inst;
    QVERIFY(inst.folders.prepare());
    FormFixture fx;
    QVERIFY(testzip::writeZip(fx.archive("a.zip"), {testzip::file("ad.txt", "ad"), testzip::file("keep.txt", "k")}));
    const QByteArray diz = "a description\r\n";
    QVERIFY(testzip::writeZip(fx.archive("b.zip"), {testzip::file("file_id.diz", diz), testzip::file("x.txt", "x"),
                                                    testzip::file("file_id.diz", diz)}));
    Form1& f = makeInstalled(fx, inst.folders, inst.bin());
    f.Form_Load();

    // Add: the name goes to the user's list and leaves the archive.
    for (int i = 0; i < f.List1->ListCount(); ++i)
        f.List1->setSelected(i, f.List1->List(i) == "ad.txt");
    QTest::mouseClick(f.Command1, Qt::LeftButton);
    QCOMPARE(testzip::readAll(inst.listPath()), QByteArray("thumbs.db\r\nad.txt\r\n"));
    QCOMPARE(testzip::names(fx.archive("a.zip")), QStringList{"keep.txt"});

    // View: the editor gets the user's list.
    f.vpurge_Click();
    QCOMPARE(fx.fakes.launcher.arguments, QStringList{inst.listPath()});

    // The run repairs through the cache's temp folder.
    QTest::mouseClick(f.Command2, Qt::LeftButton);
    QCOMPARE(testzip::count(fx.archive("b.zip"), "file_id.diz"), 1);
    QCOMPARE(testzip::content(fx.archive("b.zip"), "file_id.diz"), diz);
    QVERIFY(QFileInfo(inst.home() + "/cache/tamsorel/temp").isDir());
    // Nothing was written beside the program.
    QCOMPARE(QDir(inst.bin()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void TestInstall::execLineExpansion_data()
{
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QStringList>("expected");
    const QString file = "/tmp/my file.diz";
    QTest::newRow("plain %F") << "gnome-text-editor %U" << QStringList{"gnome-text-editor", file};
    QTest::newRow("options and %f") << "kate -b %f" << QStringList{"kate", "-b", file};
    QTest::newRow("no field code: file appended") << "mousepad" << QStringList{"mousepad", file};
    QTest::newRow("quoted program with blank")
        << R"("/opt/my editor/ed" --new %f)" << QStringList{"/opt/my editor/ed", "--new", file};
    QTest::newRow("escapes in quotes") << R"(sh -c "echo \\"$1\\"" sh %f)"
                                       << QStringList{"sh", "-c", "echo \"$1\"", "sh", file};
    QTest::newRow("icon, name and percent")
        << "ed %i --title=%c 100%% %f" << QStringList{"ed", "--icon", "ed-icon", "--title=Ed", "100%", file};
    QTest::newRow("deprecated codes vanish") << "ed %d %m %f" << QStringList{"ed", file};
    QTest::newRow("empty") << "" << QStringList{};
}

void TestInstall::execLineExpansion()
{
    QFETCH(QString, exec);
    QFETCH(QStringList, expected);
    QCOMPARE(texteditor::expandExec(exec, "/tmp/my file.diz", "Ed", "ed-icon", "/x/ed.desktop"), expected);
}

void TestInstall::defaultTextApplication_data()
{
    QTest::addColumn<QStringList>("files"); // path below the root, "=", contents
    QTest::addColumn<QString>("expected");
    const QString entry = "[Desktop Entry]\nType=Application\nName=E\nExec=e %f\n";
    const QString apps = "=[Default Applications]\ntext/plain=";
    QTest::newRow("user's choice") << QStringList{"config/mimeapps.list" + apps + "mine.desktop;",
                                                  "data/applications/mine.desktop=" + entry,
                                                  "sys/applications/mimeapps.list" + apps + "sys.desktop",
                                                  "sys/applications/sys.desktop=" + entry}
                                   << "mine.desktop";
    QTest::newRow("desktop-specific list first")
        << QStringList{"config/mimeapps.list" + apps + "a.desktop", "config/kde-mimeapps.list" + apps + "b.desktop",
                       "sys/applications/a.desktop=" + entry, "sys/applications/b.desktop=" + entry}
        << "b.desktop";
    QTest::newRow("uninstalled choice skipped")
        << QStringList{"config/mimeapps.list" + apps + "gone.desktop;here.desktop",
                       "sys/applications/here.desktop=" + entry}
        << "here.desktop";
    QTest::newRow("cache when nothing chosen")
        << QStringList{"sys/applications/mimeinfo.cache=[MIME Cache]\ntext/plain=org-x-Ed.desktop;",
                       "sys/applications/org/x/Ed.desktop=" + entry}
        << "org-x-Ed.desktop";
    QTest::newRow("nothing") << QStringList{} << QString();
}

void TestInstall::defaultTextApplication()
{
    QFETCH(QStringList, files);
    QFETCH(QString, expected);
    QTemporaryDir root;
    for (const QString& f : files) {
        const qsizetype eq = f.indexOf('=');
        put(root.path() + '/' + f.left(eq), f.mid(eq + 1).toUtf8());
    }
    texteditor::Places places;
    places.configDirs = {root.path() + "/config"};
    places.dataDirs = {root.path() + "/data", root.path() + "/sys"};
    places.desktops = {"kde"};
    const QString id = texteditor::defaultApplication(places);
    QCOMPARE(id, expected);
    if (!id.isEmpty())
        QCOMPARE(texteditor::commandFor(texteditor::desktopEntryPath(places, id), "/t/a.nfo"),
                 QStringList({"e", "/t/a.nfo"}));
}

void TestInstall::progressLineFitsTheTerminal_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("expected");
    QTest::newRow("fits") << "a.zip" << 80 << "[3/12] a.zip  1.5 MB/s";
    QTest::newRow("long name keeps its end")
        << QString(100, 'x') + ".zip" << 40 << "[3/12] ..." + QString(15, 'x') + ".zip  1.5 MB/s";
    QTest::newRow("no room for a name") << "a.zip" << 20 << "[3/12]   1.5 MB/s";
}

void TestInstall::progressLineFitsTheTerminal()
{
    QFETCH(QString, name);
    QFETCH(int, width);
    QFETCH(QString, expected);
    const QString line = RunReport::progressText(3, 12, name, 1.54, width);
    QCOMPARE(line, expected);
    QVERIFY(line.size() < width);
}

QTEST_MAIN(TestInstall)
#include "test_install.moc"
