// The program as installed: bin/ holds only the executable (read-only where a mount allows), share/tamsorel
// the shipped files, the user's purge list and temp folder go to the XDG places of a home of the test's own.
// Unattended runs there, the dry run against a real run on a mixed folder, the report, and command lines
// that are refused.

#include "e2e/E2e.h"
#include "testsupport/ReadOnlyMount.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

using namespace e2e;

namespace {

class Installation
{
public:
    explicit Installation(const QString& root, bool readOnlyBin) : m_root(root)
    {
        // Room for the program as the sanitizers build it, too.
        if (readOnlyBin)
            m_mount = std::make_unique<ReadOnlyMount>(bin(), QStringLiteral("256m"));
        QDir().mkpath(bin());
        const QFileInfo built(QStringLiteral(TAMSOREL_BINARY));
        const QString share = root + "/usr/share/tamsorel";
        QDir().mkpath(share);
        QDir().mkpath(root + "/home");
        m_ok = QFile::copy(built.absoluteFilePath(), exe());
        QFile::setPermissions(exe(), QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                         QFileDevice::ExeOther);
        for (const char* name : {"purge.txt", "error.wav", "thunder.wav", "Tamsorel.hlp"})
            m_ok = m_ok && QFile::copy(built.absolutePath() + u'/' + QLatin1String(name), share + u'/' + name);
        m_ok = m_ok && (!readOnlyBin || m_mount->makeReadOnly());
    }
    bool ok() const { return m_ok; }
    bool canMount() const { return m_mount && m_mount->available(); }
    QString exe() const { return m_root + "/usr/bin/tamsorel"; }
    QString bin() const { return m_root + "/usr/bin"; }
    QString home() const { return m_root + "/home"; }
    QString listPath() const { return home() + "/.config/tamsorel/purge.txt"; }

    Result run(const QStringList& args) const { return runThrough(exe(), args); }
    Result runThrough(const QString& program, const QStringList& args) const
    {
        QProcess p;
        p.setProgram(program);
        p.setArguments(args);
        p.setWorkingDirectory(home());
        QProcessEnvironment env = environment();
        for (const char* v : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            env.remove(QLatin1String(v));
        env.insert("HOME", home());
        p.setProcessEnvironment(env);
        p.start();
        if (!p.waitForStarted())
            return {};
        return collect(p, 300000);
    }

private:
    QString m_root;
    std::unique_ptr<ReadOnlyMount> m_mount;
    bool m_ok = false;
};

const QByteArray kDiz = "  A description\r\n";

// One archive of each verdict, and a file that is no archive.
bool makeMixedFolder(const QString& folder)
{
    using testzip::file;
    return QDir().mkpath(folder) &&
           testzip::writeZip(folder + "/a_clean.zip", {file("keep.txt", testzip::text(3000, 1))}) &&
           testzip::writeDataDamaged(folder + "/b_damaged.zip") &&
           testzip::writeZip(
               folder + "/c_double.zip",
               {file("file_id.diz", kDiz), file("prog.exe", testzip::text(900, 2)), file("FILE_ID.DIZ", kDiz)}) &&
           testzip::writeZip(folder + "/d_purge.zip",
                             {file("thumbs.db", "junk"), file("keep.txt", "k"), file("ads.txt", "junk")}) &&
           testzip::writeZip(folder + "/e_both.zip",
                             {file("file_id.diz", kDiz), file("thumbs.db", "junk"), file("file_id.diz", kDiz)}) &&
           testzip::write(folder + "/notes.txt", "not an archive");
}

// Every file below a folder with its hash, hidden ones included.
QStringList snapshot(const QString& folder)
{
    QStringList out;
    for (const QString& name : tree(folder))
        out << name + u' ' + QString::fromLatin1(hashOf(folder + u'/' + name));
    return out;
}

QList<QJsonObject> readReport(const QString& path)
{
    QList<QJsonObject> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty())
            out << QJsonDocument::fromJson(line).object();
    return out;
}

// What a run decided for each archive, without what only a real run can show (sizes after, times).
QStringList verdicts(const QList<QJsonObject>& report)
{
    QStringList out;
    for (const QJsonObject& o : report)
        if (!o.contains("summary"))
            out << QStringLiteral("%1 %2 %3 %4")
                       .arg(o["name"].toString(), o["verdict"].toString())
                       .arg(o["code"].toInt())
                       .arg(o["entries"].toVariant().toStringList().join(u','));
    return out;
}

} // namespace

class E2eInstalled : public QObject
{
    Q_OBJECT
private slots:
    void runsWithTheXdgPlaces_data();
    void runsWithTheXdgPlaces();
    void dryRunChangesNothingAndAgreesWithTheRun();
    void refusedCommandLines_data();
    void refusedCommandLines();
    void progressOnATerminalOnly();
};

void E2eInstalled::runsWithTheXdgPlaces_data()
{
    QTest::addColumn<bool>("readOnlyBin");
    QTest::newRow("read-only bin") << true;
    QTest::newRow("writable bin of an installation") << false;
}

void E2eInstalled::runsWithTheXdgPlaces()
{
    QFETCH(bool, readOnlyBin);
    QTemporaryDir root;
    Installation inst(root.path(), readOnlyBin);
    if (readOnlyBin && !inst.canMount())
        QSKIP("needs the right to mount a read-only file system");
    QVERIFY(inst.ok());
    const QString zips = root.path() + "/zips";
    QVERIFY(makeMixedFolder(zips));

    const Result r = inst.run({zips});
    E2E_VERIFY_ENDED_WITH(r, 3); // the damaged archive found
    QCOMPARE(r.out, QByteArray(" 5 zip(s) processed, 1 bad zip(s) found and renamed to +*.bad, 2 double zip(s) "
                               "found and fixed\n"));
    // Only the line of the archive renamed: not even Qt's note about XDG_RUNTIME_DIR.
    QVERIFY2(r.err.startsWith("tamsorel: damaged: " + QFile::encodeName(zips) + "/b_damaged.zip (error ") &&
                 r.err.endsWith(", renamed to b_damaged.zip.bad\n") && r.err.count('\n') == 1,
             r.err.constData());
    // The user's list came from the shipped one; the temp folder of the repairs lay in the cache, one of the
    // run's own that it removed at its end.
    QCOMPARE(testzip::readAll(inst.listPath()), testzip::readAll(root.path() + "/usr/share/tamsorel/purge.txt"));
    QVERIFY(QFileInfo(inst.home() + "/.cache/tamsorel").isDir());
    // Only the folder of the user's lock files stays (without XDG_RUNTIME_DIR, they are kept there).
    QCOMPARE(QDir(inst.home() + "/.cache/tamsorel").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"locks"});
    QCOMPARE(QDir(inst.bin()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"tamsorel"});
    QCOMPARE(testzip::count(zips + "/c_double.zip", "file_id.diz"), 1);
    QCOMPARE(testzip::names(zips + "/e_both.zip"), QStringList{"file_id.diz"});
    QCOMPARE(testzip::names(zips + "/d_purge.zip"), QStringList{"keep.txt"});
    QVERIFY(QFileInfo(zips + "/b_damaged.zip.bad").isFile());
}

void E2eInstalled::dryRunChangesNothingAndAgreesWithTheRun()
{
    QTemporaryDir root;
    Installation inst(root.path(), false);
    QVERIFY(inst.ok());
    const QString zips = root.path() + "/zips";
    QVERIFY(makeMixedFolder(zips));
    // Left-overs a real run would clear or change: a stale rewrite temporary and a read-only archive.
    QVERIFY(testzip::write(zips + "/.d_purge.zip.0123abcd.tmp", "stale"));
    QVERIFY(QFile::setPermissions(zips + "/a_clean.zip", QFileDevice::ReadOwner));
    const QStringList before = snapshot(zips);
    const QFileDevice::Permissions readOnly = QFile::permissions(zips + "/a_clean.zip");

    const QString dryReport = root.path() + "/dry.jsonl";
    const Result dry = inst.run({"--dry-run", "--report", dryReport, zips});
    QVERIFY2(dry.finished && dry.exitCode == 3, dry.err.constData()); // damage found, nothing renamed
    QCOMPARE(snapshot(zips), before);
    QCOMPARE(QFile::permissions(zips + "/a_clean.zip"), readOnly);
    const QString dryText = QString::fromLocal8Bit(dry.out);
    for (const char* said :
         {"b_damaged.zip: would be renamed to *.bad (error 200)", "c_double.zip: double zip, would be repaired",
          "d_purge.zip: would purge thumbs.db", "d_purge.zip: would purge ads.txt", "e_both.zip: would purge thumbs.db",
          " 5 zip(s) tested, dry run: 1 would be renamed to *.bad, 2 double zip(s) would be "
          "fixed, 3 entries would be purged, no file changed"})
        QVERIFY2(dryText.contains(QLatin1String(said)), qPrintable(dryText));

    const QString realReport = root.path() + "/real.jsonl";
    const Result real = inst.run({"--report", realReport, zips});
    E2E_VERIFY_ENDED_WITH(real, 3);
    const QList<QJsonObject> dryObjects = readReport(dryReport);
    const QList<QJsonObject> realObjects = readReport(realReport);
    QCOMPARE(verdicts(dryObjects), verdicts(realObjects));
    QCOMPARE(verdicts(realObjects),
             QStringList({"a_clean.zip clean 0 ", "b_damaged.zip damaged 200 ", "c_double.zip repaired 0 ",
                          "d_purge.zip purged 0 ads.txt,thumbs.db", "e_both.zip repaired 0 thumbs.db"}));

    // Sizes before and after are those of the files; the summary counts the run; no temporary file stays.
    for (const QJsonObject& o : realObjects) {
        if (o.contains("summary"))
            continue;
        QString after = zips + u'/' + o["name"].toString();
        if (o["verdict"].toString() == "damaged")
            after += ".bad";
        QCOMPARE(o["bytes_after"].toInteger(), QFileInfo(after).size());
        QVERIFY(o["bytes_before"].toInteger() > 0);
    }
    const QJsonObject summary = realObjects.last();
    QCOMPARE(summary["summary"].toBool(), true);
    QCOMPARE(summary["status"].toInt(), 3); // the exit status: damage found
    QCOMPARE(summary["processed"].toInt(), 5);
    QCOMPARE(summary["entries_removed"].toInt(), 3);
    QCOMPARE(dryObjects.last()["dry_run"].toBool(), true);
    QCOMPARE(QDir(root.path()).entryList({"*.jsonl*"}, QDir::Files | QDir::Hidden),
             QStringList({"dry.jsonl", "real.jsonl"}));
}

void E2eInstalled::refusedCommandLines_data()
{
    QTest::addColumn<QStringList>("args"); // "ZIPS" stands for the folder
    QTest::addColumn<QString>("message");
    QTest::newRow("dry run without folder") << QStringList{"--dry-run"} << "need a FOLDER";
    QTest::newRow("salvage without folder") << QStringList{"--salvage"} << "need a FOLDER";
    QTest::newRow("report without file") << QStringList{"ZIPS", "--report"} << "unknown option or missing value";
    QTest::newRow("unknown option") << QStringList{"--dryrun", "ZIPS"} << "unknown option";
    QTest::newRow("report in no folder") << QStringList{"--report", "/no/such/folder/r.jsonl", "ZIPS"}
                                         << "cannot write the report";
    QTest::newRow("no such folder, dry") << QStringList{"--dry-run", "ZIPS/none"} << "no such folder";
}

void E2eInstalled::refusedCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QTemporaryDir root;
    Installation inst(root.path(), false);
    QVERIFY(inst.ok());
    const QString zips = root.path() + "/zips";
    QVERIFY(makeMixedFolder(zips));
    const QStringList before = snapshot(zips);
    for (QString& a : args)
        a.replace("ZIPS", zips);
    const Result r = inst.run(args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(QString::fromLocal8Bit(r.err).contains(message), r.err.constData());
    QCOMPARE(snapshot(zips), before);
}

void E2eInstalled::progressOnATerminalOnly()
{
    const QString script = QStandardPaths::findExecutable("script");
    if (script.isEmpty())
        QSKIP("needs script(1) for a terminal");
    QTemporaryDir root;
    Installation inst(root.path(), false);
    QVERIFY(inst.ok());
    const QString zips = root.path() + "/zips";
    QVERIFY(makeMixedFolder(zips));
    // script gives the program a terminal for stdout and stderr alike; the progress is drawn in place there
    // and cleared before the summary line.
    const QString command = QStringLiteral("'%1' --dry-run '%2'").arg(inst.exe(), zips);
    const Result r = inst.runThrough(script, {"-qec", command, "/dev/null"});
    QVERIFY2(r.finished && r.exitCode == 3, r.err.constData()); // the dry run finds the damaged archive
    QVERIFY2(r.out.contains("\r\033[K[1/5] a_clean.zip  "), r.out.constData());
    QVERIFY2(r.out.contains(" MB/s"), r.out.constData());
    QVERIFY2(r.out.contains("\r\033[K 5 zip(s) tested"), r.out.constData());
    // The same run without a terminal: nothing on stderr.
    const Result plain = inst.run({"--dry-run", zips});
    QCOMPARE(plain.err, QByteArray());
}

QTEST_MAIN(E2eInstalled)
#include "test_e2e_installed.moc"
