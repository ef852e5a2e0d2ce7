// The program as scripts and cron use it: several folders and trees in one call, runs of different folders at
// once, signals as an abort, displays that cannot open, no HOME, names that are not UTF-8, dry runs of
// read-only collections, the report on standard output.

#include "e2e/E2e.h"
#include "testsupport/ReadOnlyMount.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

QByteArray junkArchive(int seed)
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("keep.txt", testzip::text(800, seed))});
}

QList<QJsonObject> reportObjects(const QByteArray& text)
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n'))
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A big archive whose rewrite takes a while: the entry to purge comes first.
bool writeBig(const QString& path, qint64 size)
{
    StreamZip zip(path);
    zip.add("thumbs.db", QByteArray(3000, 't'));
    zip.addRandom("data.bin", size, 11);
    zip.add("readme.txt", "read me\r\n");
    return zip.finish();
}

// Stops the run once it is inside a rewrite (its temporary file exists), so the test acts at a known moment.
bool stopInsideRewrite(QProcess& p, const QString& folder)
{
    QElapsedTimer wait;
    wait.start();
    while (temporaries(folder).isEmpty() && p.state() == QProcess::Running && wait.elapsed() < 60000)
        QThread::usleep(200);
    return ::kill(pid_t(p.processId()), SIGSTOP) == 0 && !temporaries(folder).isEmpty();
}

} // namespace

class E2eScripts : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void severalFoldersEachCounted_data();
    void severalFoldersEachCounted();
    void runsOfTwoFolders_data();
    void runsOfTwoFolders();
    void signalIsAnAbort_data();
    void signalIsAnAbort();
    void environments_data();
    void environments();
    void namesThatAreNotUtf8();
    void dryRunOfReadOnlyCollection_data();
    void dryRunOfReadOnlyCollection();

private:
    // Runs the program (or `exe`) with these arguments, as user `uid` when not -1.
    Result start(const QStringList& args, const QProcessEnvironment& env, int uid = -1, const QString& exe = {});
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
};

void E2eScripts::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_program = std::make_unique<Program>(m_root->path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
}

Result E2eScripts::start(const QStringList& args, const QProcessEnvironment& env, int uid, const QString& exe)
{
    QProcess p;
    prepare(p, *m_program, {});
    if (!exe.isEmpty())
        p.setProgram(exe);
    p.setArguments(args);
    p.setProcessEnvironment(env);
    if (uid >= 0)
        p.setChildProcessModifier([uid] {
            if (::setgid(gid_t(uid)) != 0 || ::setuid(uid_t(uid)) != 0)
                ::_exit(99);
        });
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, 120000);
}

void E2eScripts::severalFoldersEachCounted_data()
{
    // The tree: a (2 archives), a/sub (1), a/sub/deep (1), a/.hidden (1), a/link -> "b c" (1).
    QTest::addColumn<QStringList>("args");  // ROOT for the tree's folder
    QTest::addColumn<QStringList>("lines"); // the start of each stdout line; "#" for " zip(s) processed,"
    QTest::addColumn<QStringList>("reportFolders");
    QTest::newRow("two folders, one with a blank")
        << QStringList{"ROOT/a", "ROOT/b c"} << QStringList{"ROOT/a: 2#", "ROOT/b c: 1#", "total: 3#"}
        << QStringList{"ROOT/a", "ROOT/b c"};
    QTest::newRow("a tree, links and hidden folders not entered")
        << QStringList{"-r", "ROOT/a"}
        << QStringList{"ROOT/a: 2#", "ROOT/a/sub: 1#", "ROOT/a/sub/deep: 1#", "total: 4#"}
        << QStringList{"ROOT/a", "ROOT/a/sub", "ROOT/a/sub/deep"};
    QTest::newRow("one folder, dry, no total line")
        << QStringList{"--dry-run", "ROOT/b c"}
        << QStringList{"ROOT/b c/y.zip: would purge thumbs.db", " 1 zip(s) tested, dry run:"}
        << QStringList{"ROOT/b c"};
}

void E2eScripts::severalFoldersEachCounted()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, reportFolders);
    const QString root = m_root->filePath("tree");
    for (const char* folder : {"a/sub/deep", "a/.hidden", "b c"})
        QVERIFY(QDir().mkpath(root + u'/' + folder));
    QVERIFY(QFile::link(root + "/b c", root + "/a/link"));
    int seed = 0;
    for (const char* path : {"a/x1.zip", "a/x2.zip", "a/sub/z.zip", "a/sub/deep/w.zip", "a/.hidden/h.zip", "b c/y.zip"})
        QVERIFY(testzip::write(root + u'/' + path, junkArchive(++seed)));
    const QString report = m_root->filePath("r.jsonl");
    for (QString& a : args)
        a.replace("ROOT", root);
    const Result r = start(QStringList{"--report", report} + args, environment());
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    const QStringList out = QString::fromLocal8Bit(r.out).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(out.size(), lines.size());
    for (qsizetype i = 0; i < out.size(); ++i)
        QVERIFY2(out[i].startsWith(lines[i].replace("ROOT", root).replace("#", " zip(s) processed,")),
                 qPrintable(out[i]));
    QSet<QString> named;
    const QList<QJsonObject> objects = reportObjects(readFile(report));
    for (qsizetype i = 0; i + 1 < objects.size(); ++i)
        named << objects[i]["folder"].toString();
    QCOMPARE(objects.last()["folders"].toVariant().toStringList(), reportFolders.replaceInStrings("ROOT", root));
    QCOMPARE(named, QSet<QString>(reportFolders.begin(), reportFolders.end()));
    // The hidden folder and the link's target through the link were left alone.
    QCOMPARE(testzip::readAll(root + "/a/.hidden/h.zip"), junkArchive(5));
}

void E2eScripts::runsOfTwoFolders_data()
{
    QTest::addColumn<bool>("sameFolder");
    QTest::newRow("two folders, both run") << false;
    QTest::newRow("one folder, the second run is refused") << true;
}

void E2eScripts::runsOfTwoFolders()
{
    QFETCH(bool, sameFolder);
    const QString one = m_root->filePath("one");
    const QString two = sameFolder ? one : m_root->filePath("two");
    QVERIFY(QDir().mkpath(one) && QDir().mkpath(two));
    QVERIFY(writeBig(one + "/big.zip", 64 << 20));
    QVERIFY(testzip::write(two + "/small.zip", junkArchive(1)));
    QProcess first;
    prepare(first, *m_program, one);
    first.start();
    QVERIFY(first.waitForStarted());
    QVERIFY(stopInsideRewrite(first, one)); // the first run holds its folder while the second starts
    const Result second = start({two}, environment());
    ::kill(pid_t(first.processId()), SIGCONT);
    const Result firstResult = collect(first, 300000);
    E2E_VERIFY_ENDED(firstResult);
    if (sameFolder) {
        QCOMPARE(second.exitCode, 2);
        QVERIFY2(second.err.contains("another run is cleaning"), second.err.constData());
    } else {
        E2E_VERIFY_ENDED(second);
    }
    // Nothing is lost: every archive is cleaned once, whichever run did it.
    QCOMPARE(testzip::names(one + "/big.zip"), (QStringList{"data.bin", "readme.txt"}));
    QCOMPARE(testzip::names(two + "/small.zip"), QStringList{"keep.txt"});
    QVERIFY(temporaries(one).isEmpty());
}

void E2eScripts::signalIsAnAbort_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("syncing"); // the signal comes while the new file goes to a slow disk
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGINT while the new file syncs") << int(SIGINT) << true;
}

void E2eScripts::signalIsAnAbort()
{
    QFETCH(int, signal);
    QFETCH(bool, syncing);
    const QString zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(zips));
    // The big archive comes first: the temporary file the test waits for is its own.
    QVERIFY(writeBig(zips + "/a.zip", kSanitized ? 64 << 20 : 256 << 20));
    QVERIFY(testzip::write(zips + "/b.zip", junkArchive(2)));
    const QByteArray bigBefore = hashOf(zips + "/a.zip");
    const QString report = m_root->filePath("r.jsonl");
    QProcess p;
    prepare(p, *m_program, zips);
    p.setArguments({"--report", report, zips});
    const QString mark = m_root->filePath("syncing");
    if (syncing) {
        QProcessEnvironment env = p.processEnvironment();
        env.insert("LD_PRELOAD", SLOWDISK_LIBRARY);
        env.insert("SLOWDISK_MARK", mark);
        env.insert("SLOWDISK_COPY_MS", "0");
        env.insert("SLOWDISK_SYNC_MS", "3000");
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        p.setProcessEnvironment(env);
    }
    p.start();
    QVERIFY(p.waitForStarted());
    if (syncing) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(mark), 120000);
        ::kill(pid_t(p.processId()), signal);
    } else {
        QVERIFY(stopInsideRewrite(p, zips));
        ::kill(pid_t(p.processId()), signal); // handled as the run goes on
        ::kill(pid_t(p.processId()), SIGCONT);
    }
    const Result r = collect(p, 120000);
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.contains(" zip(s) processed,"), r.out.constData());
    QVERIFY2(temporaries(zips).isEmpty(), qPrintable(temporaries(zips).join(u' ')));
    // The signal came inside the big archive's rewrite, before its new file took the archive's place: it stays
    // as it was, the archive after it untouched.
    QCOMPARE(hashOf(zips + "/a.zip"), bigBefore);
    QCOMPARE(testzip::readAll(zips + "/b.zip"), junkArchive(2));
    const QList<QJsonObject> objects = reportObjects(readFile(report));
    QCOMPARE(objects.size(), 2);
    QCOMPARE(objects[0]["verdict"].toString(), QStringLiteral("skipped"));
    QCOMPARE(objects[1]["aborted"].toBool(), true);
    QCOMPARE(objects[1]["status"].toInt(), 1);
}

void E2eScripts::environments_data()
{
    QTest::addColumn<QStringList>("changes"); // NAME=value sets, -NAME removes
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("uid"); // -1: this test's user
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    const QString ran = QStringLiteral(" 1 zip(s) processed,");
    QTest::newRow("DISPLAY pointing at nothing")
        << QStringList{"DISPLAY=:97", "-QT_QPA_PLATFORM"} << QStringList{"ZIPS"} << -1 << 0 << ran << "";
    QTest::newRow("xcb asked for, no display")
        << QStringList{"QT_QPA_PLATFORM=xcb"} << QStringList{"ZIPS"} << -1 << 0 << ran << "";
    QTest::newRow("Wayland session, no compositor")
        << QStringList{"WAYLAND_DISPLAY=wayland-97", "XDG_SESSION_TYPE=wayland", "-QT_QPA_PLATFORM"}
        << QStringList{"ZIPS"} << -1 << 0 << ran << "";
    QTest::newRow("window, DISPLAY pointing at nothing")
        << QStringList{"DISPLAY=:97", "-QT_QPA_PLATFORM"} << QStringList{} << -1 << 2 << ""
        << "cannot open the display";
    QTest::newRow("report on standard output")
        << QStringList{} << QStringList{"--report", "-", "ZIPS"} << -1 << 0 << "\"summary\":true" << ran;
    QTest::newRow("HOME unset, XDG places given")
        << QStringList{"-HOME", "XDG_CONFIG_HOME=ROOT/config", "XDG_CACHE_HOME=ROOT/cache"} << QStringList{"ZIPS"} << -1
        << 0 << ran << "";
    QTest::newRow("HOME unset, the password database's home")
        << QStringList{"-HOME", "-XDG_CONFIG_HOME", "-XDG_CACHE_HOME"} << QStringList{"ZIPS"} << 65534 << 2 << ""
        << "cannot make the folder /nonexistent/.config/tamsorel";
    QTest::newRow("HOME unset, no home anywhere")
        << QStringList{"-HOME", "-XDG_CONFIG_HOME", "-XDG_CACHE_HOME"} << QStringList{"ZIPS"} << 54321 << 2 << ""
        << "no home folder";
}

void E2eScripts::environments()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, args);
    QFETCH(int, uid);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    if (uid >= 0 && ::geteuid() != 0)
        QSKIP("needs root to run as another user");
    if (uid == 65534 && QFileInfo::exists("/nonexistent"))
        QSKIP("the user nobody has a home folder here");
    // Installed layout: the program's own folder holds no purge list, share/tamsorel the shipped one.
    const QString root = m_root->path();
    const QString bin = root + "/usr/bin";
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(root + "/usr/share/tamsorel"));
    QVERIFY(QFile::copy(m_program->exe(), bin + "/tamsorel"));
    QVERIFY(QFile::copy(m_program->purgePath(), root + "/usr/share/tamsorel/purge.txt"));
    QFile::setPermissions(root, QFile::permissions(root) | QFileDevice::ExeOther | QFileDevice::ReadOther);
    const QString zips = root + "/zips";
    QVERIFY(QDir().mkpath(zips));
    QVERIFY(testzip::write(zips + "/a.zip", junkArchive(1)));

    QProcessEnvironment env = environment();
    env.insert("HOME", root + "/home");
    for (const QString& change : changes) {
        if (change.startsWith(u'-'))
            env.remove(change.mid(1));
        else
            env.insert(change.section(u'=', 0, 0), QString(change.section(u'=', 1)).replace("ROOT", root));
    }
    const Result r = start(args.replaceInStrings("ZIPS", zips), env, uid, bin + "/tamsorel");
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.status, QProcess::NormalExit);
    QVERIFY2(r.exitCode == status, qPrintable(QStringLiteral("exit %1: %2").arg(r.exitCode).arg(r.err)));
    QVERIFY2(r.out.contains(out.toLocal8Bit()), r.out.constData());
    QVERIFY2(r.err.contains(err.toLocal8Bit()), r.err.constData());
    // A run that ended purged; a refused one touched nothing.
    QCOMPARE(testzip::names(zips + "/a.zip").size(), status == 0 && !args.isEmpty() ? 1 : 2);
}

void E2eScripts::namesThatAreNotUtf8()
{
    // Latin-1 names, as copied from old systems: "café.zip" in a folder "déjà".
    const QByteArray zips = QFile::encodeName(m_root->filePath("zips"));
    const QByteArray latin = zips + "/d\xe9j\xe0";
    QVERIFY(::mkdir(zips.constData(), 0755) == 0 && ::mkdir(latin.constData(), 0755) == 0);
    // Qt cannot remove these names either: the test does.
    const auto removeRaw = qScopeGuard([&] {
        ::unlink((zips + "/caf\xe9.zip").constData());
        ::rmdir(latin.constData());
    });
    QVERIFY(testzip::write(QFile::decodeName(zips) + "/ok.zip", junkArchive(1)));
    const QByteArray bytes = junkArchive(2);
    const int fd = ::open((zips + "/caf\xe9.zip").constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() && ::close(fd) == 0);
    const QString report = m_root->filePath("r.jsonl");
    // The folder is named through the shell: QProcess cannot pass bytes that are not UTF-8.
    const QString command = QStringLiteral("exec \"$0\" --report '%1' '%2' \"$(printf '%2/d\\351j\\340')\"");
    const Result run =
        start({"-c", command.arg(report, QFile::decodeName(zips)), m_program->exe()}, environment(), -1, "/bin/sh");
    // Both are cleaned as any other: the archive purged under its own bytes, the folder entered.
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.err.contains("not UTF-8"), run.err.constData());
    QVERIFY2(run.out.contains(zips + "/d\\xe9j\\xe0: 0 zip(s) processed"), run.out.constData());
    QCOMPARE(testzip::names(QFile::decodeName(zips) + "/ok.zip"), QStringList{"keep.txt"});
    const int in = ::open((zips + "/caf\xe9.zip").constData(), O_RDONLY);
    QVERIFY(in >= 0);
    QByteArray after(1 << 16, '\0');
    after.truncate(::read(in, after.data(), size_t(after.size())));
    ::close(in);
    QVERIFY(testzip::write(m_root->filePath("copy.zip"), after));
    QCOMPARE(testzip::names(m_root->filePath("copy.zip")), QStringList{"keep.txt"});
    const QList<QJsonObject> objects = reportObjects(readFile(report));
    QCOMPARE(objects.size(), 3);
    QCOMPARE(objects[0]["name"].toString(), QStringLiteral("caf\\xe9.zip"));
    QCOMPARE(objects[0]["name_bytes"].toString(), QString::fromLatin1(QByteArray("caf\xe9.zip").toHex()));
    QCOMPARE(objects[0]["verdict"].toString(), QStringLiteral("purged"));
    QVERIFY(!objects[1].contains("name_bytes"));
    QCOMPARE(objects[2]["skipped"].toInt(), 0);
    QCOMPARE(objects[2]["folders"].toArray().last().toString(), QFile::decodeName(zips) + "/d\\xe9j\\xe0");
}

void E2eScripts::dryRunOfReadOnlyCollection_data()
{
    QTest::addColumn<bool>("dryRun");
    QTest::newRow("dry run tests it") << true;
    QTest::newRow("real run is refused") << false;
}

void E2eScripts::dryRunOfReadOnlyCollection()
{
    QFETCH(bool, dryRun);
    ReadOnlyMount mount(m_root->filePath("ro"));
    if (!mount.available())
        QSKIP("needs the right to mount");
    QVERIFY(testzip::write(mount.path() + "/a.zip", junkArchive(1)));
    QVERIFY(mount.makeReadOnly());
    const Result r = start(dryRun ? QStringList{"--dry-run", mount.path()} : QStringList{mount.path()}, environment());
    QCOMPARE(r.exitCode, dryRun ? 0 : 2);
    QVERIFY2(dryRun ? r.out.contains(" 1 zip(s) tested, dry run:") : r.err.contains("read-only drive"),
             (r.out + r.err).constData());
}

QTEST_GUILESS_MAIN(E2eScripts)
#include "test_e2e_scripts.moc"
