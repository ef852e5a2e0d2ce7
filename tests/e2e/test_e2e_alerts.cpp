// What cron and scripts act on: the exit status of a run that found damage, one stderr line per archive
// renamed, a quiet stdout, and one plain wording per fault with the names as they are.

#include "e2e/E2e.h"
#include "testsupport/ReadOnlyMount.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

QByteArray damagedArchive(int seed)
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build(
        {testzip::file("a.txt", testzip::text(700, seed)), testzip::file("b.txt", testzip::text(900, seed + 1), false)},
        {}, &layout);
    const int at = int(layout.dataOffsets[1]) + 20;
    bytes[at] = char(bytes[at] ^ 0x40);
    return bytes;
}

QByteArray junkArchive(int seed)
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("ads.txt", "ad"),
                           testzip::file("keep.txt", testzip::text(800, seed))});
}

QStringList programLines(const QByteArray& err)
{
    return QString::fromLocal8Bit(err).split(u'\n').filter(QRegularExpression("^tamsorel: "));
}

// Runs the program with args; uid >= 0 runs it as that user (and its group), to make permissions real for root.
Result runArgs(const Program& program, const QStringList& args, int uid = -1)
{
    QProcess p;
    prepare(
        p, program, QString(), uid < 0 ? std::function<void()>() : [uid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(uid)) != 0 || ::setuid(uid_t(uid)) != 0)
                ::_exit(99);
        });
    p.setArguments(args);
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, 120000);
}

} // namespace

class E2eAlerts : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void damageFoundIsAStatusAndALinePerArchive_data();
    void damageFoundIsAStatusAndALinePerArchive();
    void faultsAreSaidOnceByTheirName_data();
    void faultsAreSaidOnceByTheirName();
    void foldersTheUserMayNotUse_data();
    void foldersTheUserMayNotUse();
    void aFailedPurgeNamesEveryEntryThatStays();
    void controlCharactersInNamesAreEscaped_data();
    void controlCharactersInNamesAreEscaped();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
    QString m_zips;
};

void E2eAlerts::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_program = std::make_unique<Program>(m_root->path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\nads.txt\n"));
    m_zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(m_zips));
}

void E2eAlerts::damageFoundIsAStatusAndALinePerArchive_data()
{
    QTest::addColumn<int>("damagedCount");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("damageLines");
    QTest::addColumn<bool>("stdoutEmpty");
    QTest::newRow("no damage") << 0 << QStringList{} << 0 << 0 << false;
    QTest::newRow("no damage, quiet: nothing at all") << 0 << QStringList{"-q"} << 0 << 0 << true;
    QTest::newRow("one damaged") << 1 << QStringList{} << 3 << 1 << false;
    QTest::newRow("three damaged, quiet") << 3 << QStringList{"--quiet"} << 3 << 3 << true;
    QTest::newRow("dry run: 3, nothing renamed") << 2 << QStringList{"--dry-run"} << 3 << 0 << false;
    QTest::newRow("damage and a missing folder: the refusal wins") << 1 << QStringList{"NOFOLDER"} << 2 << 1 << false;
    QTest::newRow("quiet report on stdout") << 1 << QStringList{"-q", "--report", "-"} << 3 << 1 << false;
}

void E2eAlerts::damageFoundIsAStatusAndALinePerArchive()
{
    QFETCH(int, damagedCount);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(int, damageLines);
    QFETCH(bool, stdoutEmpty);
    for (int i = 0; i < 3; ++i)
        QVERIFY(testzip::write(m_zips + QStringLiteral("/good%1.zip").arg(i), junkArchive(i)));
    for (int i = 0; i < damagedCount; ++i)
        QVERIFY(testzip::write(m_zips + QStringLiteral("/bad%1.zip").arg(i), damagedArchive(i)));
    QStringList args = options;
    args.replaceInStrings("NOFOLDER", m_root->filePath("none"));
    args << m_zips;

    const Result r = runArgs(*m_program, args);
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, status);
    const QStringList damage = programLines(r.err).filter(QStringLiteral("tamsorel: damaged: "));
    QCOMPARE(damage.size(), damageLines);
    for (int i = 0; i < damageLines; ++i) {
        // Each line names the archive, what the code means, and its new name.
        const QString expected = QStringLiteral("tamsorel: damaged: %1/bad%2.zip (error 200: an entry's data does "
                                                "not match its CRC-32 or its sizes), renamed to bad%2.zip.bad")
                                     .arg(m_zips)
                                     .arg(i);
        QCOMPARE(damage[i], expected);
        QVERIFY(QFileInfo::exists(m_zips + QStringLiteral("/bad%1.zip.bad").arg(i)));
    }
    QCOMPARE(r.out.isEmpty(), stdoutEmpty);
    if (args.contains("--report"))
        QVERIFY2(r.out.contains("\"summary\":true") && !r.out.contains("zip(s) processed"), r.out.constData());
}

void E2eAlerts::faultsAreSaidOnceByTheirName_data()
{
    QTest::addColumn<QStringList>("args"); // ZIPS: the collection; ROOT: the test's folder
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line"); // the one line of the program on stderr
    QTest::newRow("a regular file") << QStringList{"ROOT/afile"} << 2 << "tamsorel: not a folder: ROOT/afile";
    QTest::newRow("nothing there") << QStringList{"ROOT/none"} << 2 << "tamsorel: no such folder: ROOT/none";
    QTest::newRow("--full --incremental")
        << QStringList{"--full", "--incremental", "ZIPS"} << 2
        << "tamsorel: --full and --incremental contradict each other: --full reads every archive, "
           "--incremental trusts the cache";
    QTest::newRow("--incremental --full")
        << QStringList{"--incremental", "ZIPS", "--full"} << 2
        << "tamsorel: --full and --incremental contradict each other: --full reads every archive, "
           "--incremental trusts the cache";
    QTest::newRow("a hidden archive") << QStringList{"ZIPS"} << 0
                                      << "tamsorel: skipped, the archive is hidden: ZIPS/.hidden.zip";
    QTest::newRow("a hidden archive, quiet")
        << QStringList{"-q", "ZIPS"} << 0 << "tamsorel: skipped, the archive is hidden: ZIPS/.hidden.zip";
    QTest::newRow("a newline in a folder's name")
        << QStringList{"ROOT/new\nline"} << 2 << "tamsorel: no such folder: ROOT/new\\x0aline";
}

void E2eAlerts::faultsAreSaidOnceByTheirName()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, line);
    QVERIFY(testzip::write(m_root->filePath("afile"), "not a folder"));
    QVERIFY(testzip::write(m_zips + "/a.zip", junkArchive(1)));
    QVERIFY(testzip::write(m_zips + "/.hidden.zip", junkArchive(2)));
    const QByteArray hidden = hashOf(m_zips + "/.hidden.zip");
    args.replaceInStrings("ZIPS", m_zips).replaceInStrings("ROOT", m_root->path());
    line.replace("ZIPS", m_zips).replace("ROOT", m_root->path());

    const Result r = runArgs(*m_program, args);
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.exitCode, status);
    QCOMPARE(programLines(r.err), QStringList{line});
    QCOMPARE(hashOf(m_zips + "/.hidden.zip"), hidden);
}

void E2eAlerts::foldersTheUserMayNotUse_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("dryRun");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("status");
    QTest::newRow("0555: a read-only folder, not a drive")
        << 0555 << false << "tamsorel: refused: the folder is read-only: ZIPS" << 2;
    QTest::newRow("0555, dry run: tested") << 0555 << true << QString() << 0;
    QTest::newRow("0600: cannot be entered")
        << 0600 << false << "tamsorel: cannot read the folder ZIPS: Permission denied" << 2;
    QTest::newRow("0300: cannot be listed")
        << 0300 << false << "tamsorel: cannot read the folder ZIPS: Permission denied" << 2;
}

void E2eAlerts::foldersTheUserMayNotUse()
{
    QFETCH(int, mode);
    QFETCH(bool, dryRun);
    QFETCH(QString, line);
    QFETCH(int, status);
    // Root passes every permission check: the program runs as "nobody", for whom the modes are real.
    if (geteuid() != 0)
        QSKIP("needs root to run the program as another user");
    const int nobody = 65534;
    QVERIFY(testzip::write(m_zips + "/a.zip", junkArchive(1)));
    QVERIFY(QFile::setPermissions(m_root->path(), QFileDevice::Permissions(0x7755)));
    QDirIterator it(m_root->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QVERIFY(::chown(QFile::encodeName(m_root->path()).constData(), nobody, nobody) == 0);
    while (it.hasNext())
        QVERIFY(::chown(QFile::encodeName(it.next()).constData(), nobody, nobody) == 0);
    QVERIFY(::chmod(QFile::encodeName(m_zips).constData(), mode_t(mode)) == 0);

    const Result r = runArgs(*m_program, dryRun ? QStringList{"--dry-run", m_zips} : QStringList{m_zips}, nobody);
    ::chmod(QFile::encodeName(m_zips).constData(), 0755);
    if (r.exitCode == 99)
        QSKIP("cannot switch to the user nobody here");
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.exitCode, status);
    QCOMPARE(programLines(r.err), line.isEmpty() ? QStringList() : QStringList{line.replace("ZIPS", m_zips)});
    QCOMPARE(testzip::names(m_zips + "/a.zip"), (QStringList{"thumbs.db", "ads.txt", "keep.txt"}));
}

void E2eAlerts::aFailedPurgeNamesEveryEntryThatStays()
{
    // A disk too full for the rewrite's temporary file: the one rewrite that was to delete both entries fails,
    // and the line names both.
    ReadOnlyMount small(m_root->filePath("small"), QStringLiteral("256k"));
    if (!small.available())
        QSKIP("needs the right to mount");
    const QString archive = small.path() + "/full.zip";
    QVERIFY(testzip::write(archive, testzip::build({testzip::file("ads.txt", "ad"), testzip::file("keep.txt", "k"),
                                                    testzip::file("thumbs.db", "junk"),
                                                    testzip::file("big.bin", testzip::text(100000, 3), false)})));
    QFile filler(small.path() + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();
    const QByteArray before = hashOf(archive);

    const Result r = runArgs(*m_program, {small.path()});
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = programLines(r.err);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith("tamsorel: not purged: " + archive + ": ads.txt, thumbs.db stay: "),
             qPrintable(lines[0]));
    QCOMPARE(hashOf(archive), before);
}

void E2eAlerts::controlCharactersInNamesAreEscaped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("a newline") << "new\nline"
                               << "new\\x0aline";
    QTest::newRow("a carriage return") << "over\rwrite"
                                       << "over\\x0dwrite";
    QTest::newRow("an escape sequence") << "red\x1b[31m"
                                        << "red\\x1b[31m";
}

void E2eAlerts::controlCharactersInNamesAreEscaped()
{
    // A name a line could be forged with: each line of the run still is one line, naming the folder escaped.
    QFETCH(QString, name);
    QFETCH(QString, shown);
    const QString odd = m_root->filePath(name);
    QVERIFY(QDir().mkpath(odd));
    QVERIFY(testzip::write(odd + "/bad.zip", damagedArchive(4)));
    QVERIFY(testzip::write(m_zips + "/a.zip", junkArchive(1)));

    const Result r = runArgs(*m_program, {odd, m_zips});
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.exitCode, 3);
    const QString escaped = m_root->path() + u'/' + shown;
    const QStringList out = QString::fromLocal8Bit(r.out).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(out.size(), 3); // two folders and the total
    QVERIFY2(out[0].startsWith(escaped + ": 1 zip(s) processed, 1 bad"), qPrintable(out[0]));
    const QStringList err = QString::fromLocal8Bit(r.err).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(programLines(r.err).size(), 1);
    QVERIFY2(err.contains(QStringLiteral("tamsorel: damaged: %1/bad.zip (error 200: an entry's data does not match "
                                         "its CRC-32 or its sizes), renamed to bad.zip.bad")
                              .arg(escaped)),
             r.err.constData());
    QVERIFY(QFileInfo::exists(odd + "/bad.zip.bad"));
}

QTEST_GUILESS_MAIN(E2eAlerts)
#include "test_e2e_alerts.moc"
