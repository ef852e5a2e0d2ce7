// Incremental runs through the real program: what changed is read again and what did not is taken from the
// verdict cache, a rewrite refreshes its row, a corrupt cache file is set aside, --full reads everything, two
// runs share the cache at once, and the number of workers changes nothing a run decides.

#include "e2e/E2e.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <utime.h>

using namespace e2e;

namespace {

const QByteArray kDiz = "  A description\r\n";

Result runWith(const Program& program, const QStringList& args, const QProcessEnvironment& env = environment())
{
    QProcess p;
    prepare(p, program, QString());
    p.setArguments(args);
    p.setProcessEnvironment(env);
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, 300000);
}

// name -> the report's object for it.
QMap<QString, QJsonObject> readReport(const QString& path)
{
    QMap<QString, QJsonObject> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (!line.isEmpty() && !o.contains("summary"))
            out.insert(o["name"].toString(), o);
    }
    return out;
}

// What a run decided for each archive, in the report's order, without times.
QStringList decisions(const QString& reportPath)
{
    QStringList out;
    QFile f(reportPath);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        QJsonObject o = QJsonDocument::fromJson(line).object();
        if (line.isEmpty())
            continue;
        o.remove("ms");
        o.remove("data_tested");
        out << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    return out;
}

bool makeFolder(const QString& folder)
{
    using testzip::file;
    return QDir().mkpath(folder) &&
           testzip::writeZip(folder + "/a_clean.zip",
                             {file("keep.txt", testzip::text(30000, 1)), file("more.txt", testzip::text(9000, 2))}) &&
           testzip::writeZip(folder + "/b_clean.zip", {file("b.txt", testzip::text(20000, 3))}) &&
           testzip::writeZip(folder + "/c_purge.zip",
                             {file("thumbs.db", "junk"), file("keep.txt", testzip::text(5000, 4))}) &&
           testzip::writeZip(folder + "/d_clean.zip", {file("d.txt", testzip::text(12000, 5))});
}

// Gives path the access and modification times of `from`, to the nanosecond.
bool sameTimes(const QString& path, const struct stat& from)
{
    const struct timespec times[2] = {from.st_atim, from.st_mtim};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// Flips one byte of an archive's first entry data, leaving its size and modification time as they were.
bool rot(const QString& path)
{
    QByteArray bytes = testzip::readAll(path);
    struct stat before;
    if (::stat(QFile::encodeName(path).constData(), &before) != 0)
        return false;
    const int at = 30 + 8 + 40; // inside the first entry's data (name "keep.txt")
    if (bytes.size() <= at)
        return false;
    bytes[at] = char(bytes[at] ^ 0x20);
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || f.write(bytes) != bytes.size())
        return false;
    f.close();
    return sameTimes(path, before);
}

// How many rows the cache file holds for folder (read only, as another run reads it); -1 when it cannot say.
int rowsOf(const QString& cacheFile, const QString& folder)
{
    sqlite3* db = nullptr;
    int n = -1;
    if (sqlite3_open_v2(QFile::encodeName(cacheFile).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* s = nullptr;
        const QByteArray key = QFile::encodeName(QFileInfo(folder).canonicalFilePath());
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM verdicts WHERE folder = ?1", -1, &s, nullptr) == SQLITE_OK) {
            sqlite3_bind_blob(s, 1, key.constData(), int(key.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(s) == SQLITE_ROW)
                n = sqlite3_column_int(s, 0);
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
}

} // namespace

class E2eIncremental : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void changedArchiveIsReadAgainUnchangedIsNot_data();
    void changedArchiveIsReadAgainUnchangedIsNot();
    void corruptCacheIsSetAsideAndTheRunGoesOn();
    void fullReadsEverythingAndRefreshes();
    void twoRunsAtOnceOnDifferentFolders();
    void aStoppedRunDoesNotHoldUpAnother_data();
    void aStoppedRunDoesNotHoldUpAnother();
    void everyFolderOfATreeUsesTheCache();
    void jobsChangeNothingARunDecides_data();
    void jobsChangeNothingARunDecides();
    void wrongOptionsAreRefused_data();
    void wrongOptionsAreRefused();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
};

void E2eIncremental::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_program = std::make_unique<Program>(m_root->path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\r\n"));
}

void E2eIncremental::changedArchiveIsReadAgainUnchangedIsNot_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("unchanged") << "none"
                               << "cache"
                               << "clean";
    QTest::newRow("rewritten by the run's purge: fresh row") << "purged"
                                                             << "cache"
                                                             << "clean";
    QTest::newRow("new modification time") << "touched"
                                           << "read"
                                           << "clean";
    QTest::newRow("replaced by a copy (new inode)") << "copied"
                                                    << "read"
                                                    << "clean";
    QTest::newRow("other entries, other size") << "resized"
                                               << "read"
                                               << "clean";
    QTest::newRow("byte flipped, size and time put back") << "rot"
                                                          << "read"
                                                          << "damaged";
}

void E2eIncremental::changedArchiveIsReadAgainUnchangedIsNot()
{
    QFETCH(QString, change);
    QFETCH(QString, data);
    QFETCH(QString, verdict);
    const QString folder = m_root->path() + "/zips";
    QVERIFY(makeFolder(folder));
    const QString report = m_root->path() + "/r.jsonl";
    const Result first = runWith(*m_program, {"--incremental", "--report", report, folder});
    E2E_VERIFY_ENDED(first);
    auto objects = readReport(report);
    QCOMPARE(objects.size(), 4);
    for (const QJsonObject& o : objects)
        QCOMPARE(o["data"].toString(), QStringLiteral("read"));
    QCOMPARE(objects["c_purge.zip"]["verdict"].toString(), QStringLiteral("purged"));

    const QString target = folder + (change == "purged" ? "/c_purge.zip" : "/a_clean.zip");
    if (change == "touched") {
        struct utimbuf times = {1000000000, 1000000000};
        QCOMPARE(::utime(QFile::encodeName(target).constData(), &times), 0);
    } else if (change == "copied") {
        struct stat before;
        QCOMPARE(::stat(QFile::encodeName(target).constData(), &before), 0);
        QVERIFY(QFile::copy(target, target + ".new") && sameTimes(target + ".new", before));
        QVERIFY(QFile::remove(target) && QFile::rename(target + ".new", target));
    } else if (change == "resized") {
        QVERIFY(testzip::writeZip(target, {testzip::file("other.txt", testzip::text(100, 9))}));
    } else if (change == "rot") {
        QVERIFY(rot(target));
    }

    const Result second = runWith(*m_program, {"--incremental", "--report", report, folder});
    E2E_VERIFY_ENDED_WITH(second, second.err.contains("tamsorel: damaged: ") ? 3 : 0);
    objects = readReport(report);
    const QString name = QFileInfo(target).fileName();
    QCOMPARE(objects[name]["data"].toString(), data);
    QCOMPARE(objects[name]["verdict"].toString(), verdict);
    // The others were not read again.
    for (auto it = objects.cbegin(); it != objects.cend(); ++it)
        if (it.key() != name)
            QCOMPARE(it.value()["data"].toString(), QStringLiteral("cache"));
}

void E2eIncremental::corruptCacheIsSetAsideAndTheRunGoesOn()
{
    const QString folder = m_root->path() + "/zips";
    QVERIFY(makeFolder(folder));
    const QString cacheFile = m_program->folder() + "/verdicts.sqlite";
    {
        const Result r1 = runWith(*m_program, {"--incremental", folder});
        E2E_VERIFY_ENDED(r1);
    }
    QVERIFY(QFileInfo(cacheFile).size() > 0);
    QByteArray bytes = testzip::readAll(cacheFile);
    for (int i = 0; i < bytes.size(); i += 3)
        bytes[i] = char(bytes[i] ^ 0x5a);
    QVERIFY(testzip::write(cacheFile, bytes));

    const QString report = m_root->path() + "/r.jsonl";
    const Result r = runWith(*m_program, {"--incremental", "--report", report, folder});
    E2E_VERIFY_ENDED(r);
    QVERIFY2(r.err.contains("set aside"), r.err.constData());
    QCOMPARE(QDir(m_program->folder()).entryList({"verdicts.sqlite.set-aside-*"}, QDir::Files).size(), 1);
    for (const QJsonObject& o : readReport(report))
        QCOMPARE(o["data"].toString(), QStringLiteral("read"));
    // The new file serves the next run.
    {
        const Result r2 = runWith(*m_program, {"--incremental", "--report", report, folder});
        E2E_VERIFY_ENDED(r2);
    }
    for (const QJsonObject& o : readReport(report))
        QCOMPARE(o["data"].toString(), QStringLiteral("cache"));
}

void E2eIncremental::fullReadsEverythingAndRefreshes()
{
    const QString folder = m_root->path() + "/zips";
    QVERIFY(makeFolder(folder));
    const QString report = m_root->path() + "/r.jsonl";
    {
        const Result r3 = runWith(*m_program, {"--incremental", folder});
        E2E_VERIFY_ENDED(r3);
    }
    // Rot the cache cannot see: --full finds it, and the damaged archive loses its row.
    QVERIFY(rot(folder + "/a_clean.zip"));
    {
        const Result r4 = runWith(*m_program, {"--full", "--report", report, folder});
        E2E_VERIFY_ENDED_WITH(r4, 3); // the rot found
    }
    auto objects = readReport(report);
    for (const QJsonObject& o : objects)
        QCOMPARE(o["data"].toString(), QStringLiteral("read"));
    QCOMPARE(objects["a_clean.zip"]["verdict"].toString(), QStringLiteral("damaged"));
    QVERIFY(QFileInfo::exists(folder + "/a_clean.zip.bad"));
    {
        const Result r5 = runWith(*m_program, {"--incremental", "--report", report, folder});
        E2E_VERIFY_ENDED(r5);
    }
    objects = readReport(report);
    QCOMPARE(objects.size(), 3);
    for (const QJsonObject& o : objects)
        QCOMPARE(o["data"].toString(), QStringLiteral("cache"));
}

void E2eIncremental::twoRunsAtOnceOnDifferentFolders()
{
    // Unattended runs of different folders go at once (each locks only its folder) and share one cache file.
    const QStringList folders{m_root->path() + "/one", m_root->path() + "/two"};
    for (const QString& folder : folders) {
        QVERIFY(QDir().mkpath(folder));
        for (int i = 0; i < 40; ++i)
            QVERIFY(testzip::writeZip(folder + QStringLiteral("/a%1.zip").arg(i),
                                      {testzip::file("t.txt", testzip::text(4000 + i, i))}));
    }
    for (int round = 0; round < 2; ++round) {
        QProcess a;
        QProcess b;
        const QString reportA = m_root->path() + "/a.jsonl";
        const QString reportB = m_root->path() + "/b.jsonl";
        prepare(a, *m_program, QString());
        prepare(b, *m_program, QString());
        a.setArguments({"--incremental", "--jobs", "1", "--report", reportA, folders[0]});
        b.setArguments({"--incremental", "--jobs", "1", "--report", reportB, folders[1]});
        a.start();
        b.start();
        const Result ra = collect(a, 300000);
        const Result rb = collect(b, 300000);
        E2E_VERIFY_ENDED(ra);
        E2E_VERIFY_ENDED(rb);
        QVERIFY2(!ra.err.contains("verdict cache"), ra.err.constData());
        QVERIFY2(!rb.err.contains("verdict cache"), rb.err.constData());
        const QString expected = round == 0 ? "read" : "cache";
        for (const QString& report : {reportA, reportB}) {
            const auto objects = readReport(report);
            QCOMPARE(objects.size(), 40);
            for (const QJsonObject& o : objects)
                QCOMPARE(o["data"].toString(), expected);
        }
    }
}

void E2eIncremental::aStoppedRunDoesNotHoldUpAnother_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("--incremental") << "--incremental";
    QTest::newRow("--full") << "--full";
}

void E2eIncremental::aStoppedRunDoesNotHoldUpAnother()
{
    QFETCH(QString, mode);
    // A run stopped (SIGSTOP, a suspended terminal) at any point of its work holds no lock for long: a run
    // of another folder beside it goes about as fast as alone and keeps its rows.
    const QString big = m_root->path() + "/big";
    const QString small = m_root->path() + "/small";
    const int bigCount = kSanitized ? 150 : 400;
    constexpr int kSmallCount = 40;
    QVERIFY(QDir().mkpath(big));
    QVERIFY(QDir().mkpath(small));
    for (int i = 0; i < bigCount; ++i)
        QVERIFY(testzip::writeZip(big + QStringLiteral("/b%1.zip").arg(i, 4, 10, QLatin1Char('0')),
                                  {testzip::file("t.txt", testzip::text(30000 + i, i))}));
    for (int i = 0; i < kSmallCount; ++i)
        QVERIFY(testzip::writeZip(small + QStringLiteral("/s%1.zip").arg(i),
                                  {testzip::file("t.txt", testzip::text(30000 + i, i))}));
    const auto runSmall = [&](const Program& program, qint64* ms) {
        QElapsedTimer clock;
        clock.start();
        const Result r = runWith(program, {mode, "--jobs", "1", small});
        *ms = clock.elapsed();
        return r;
    };
    // The small folder alone, with a cache of its own.
    const Program alone(m_root->path() + "/alone");
    QVERIFY(alone.ok());
    qint64 aloneMs = 0;
    const Result first = runSmall(alone, &aloneMs);
    E2E_VERIFY_ENDED(first);

    const QString cacheFile = m_program->folder() + "/verdicts.sqlite";
    QProcess stopped;
    prepare(stopped, *m_program, QString());
    stopped.setArguments({mode, "--jobs", "1", big});
    stopped.start();
    QVERIFY(stopped.waitForStarted());
    // A failed check must not leave it stopped.
    const auto resume = qScopeGuard([&] {
        if (stopped.state() == QProcess::NotRunning || stopped.processId() <= 0)
            return;
        ::kill(pid_t(stopped.processId()), SIGCONT);
        stopped.kill();
        stopped.waitForFinished();
    });
    // Stopped inside its work: some rows written, more to come.
    QElapsedTimer waited;
    waited.start();
    while (rowsOf(cacheFile, big) < 5 && waited.elapsed() < 120000 && stopped.state() == QProcess::Running)
        QThread::msleep(2);
    QCOMPARE(::kill(pid_t(stopped.processId()), SIGSTOP), 0);
    QCOMPARE(stopped.state(), QProcess::Running);
    const int before = rowsOf(cacheFile, big);
    QVERIFY2(before >= 5 && before < bigCount, qPrintable(QString::number(before)));

    qint64 besideMs = 0;
    const Result beside = runSmall(*m_program, &besideMs);
    E2E_VERIFY_ENDED(beside);
    QVERIFY2(!beside.err.contains("verdict cache") && !beside.err.contains("locked"), beside.err.constData());
    QCOMPARE(rowsOf(cacheFile, small), kSmallCount);
    QVERIFY2(besideMs < aloneMs + 2000,
             qPrintable(QStringLiteral("alone %1 ms, beside a stopped run %2 ms").arg(aloneMs).arg(besideMs)));

    // Let go, the stopped run ends with its rows too.
    QCOMPARE(::kill(pid_t(stopped.processId()), SIGCONT), 0);
    const Result resumed = collect(stopped, 600000);
    E2E_VERIFY_ENDED(resumed);
    QVERIFY2(!resumed.err.contains("verdict cache"), resumed.err.constData());
    QCOMPARE(rowsOf(cacheFile, big), bigCount);
    QCOMPARE(rowsOf(cacheFile, small), kSmallCount);
}

void E2eIncremental::everyFolderOfATreeUsesTheCache()
{
    // With -r each folder is a run of its own; each opens the cache and keeps its rows there.
    const QString root = m_root->path() + "/tree";
    const QStringList folders{root, root + "/x", root + "/x/y"};
    for (const QString& folder : folders)
        QVERIFY(makeFolder(folder));
    const QString report = m_root->path() + "/r.jsonl";
    for (const QString expected : {"read", "cache"}) {
        const Result r = runWith(*m_program, {"--incremental", "-r", "--report", report, root});
        E2E_VERIFY_ENDED(r);
        QVERIFY2(r.out.contains("total:"), r.out.constData());
        QFile f(report);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QMap<QString, int> perFolder;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (line.isEmpty() || o.contains("summary"))
                continue;
            QCOMPARE(o["data"].toString(), expected);
            ++perFolder[o["folder"].toString()];
        }
        QCOMPARE(perFolder.keys(), folders);
        for (int n : perFolder)
            QCOMPARE(n, 4);
    }
}

void E2eIncremental::jobsChangeNothingARunDecides_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("plain run") << QStringList{};
    QTest::newRow("incremental, first run") << QStringList{"--incremental"};
    QTest::newRow("dry run") << QStringList{"--dry-run"};
}

void E2eIncremental::jobsChangeNothingARunDecides()
{
    QFETCH(QStringList, options);
    using testzip::file;
    // Two copies of one mixed folder: damaged archives between sound ones, double zips, purges, sizes that
    // make workers finish out of order.
    QStringList folders;
    for (const char* copy : {"/one", "/four"}) {
        const QString folder = m_root->path() + copy;
        QVERIFY(QDir().mkpath(folder));
        for (int i = 0; i < 24; ++i) {
            const QString path = folder + QStringLiteral("/a%1.zip").arg(i, 2, 10, QLatin1Char('0'));
            if (i % 6 == 2)
                QVERIFY(testzip::writeDataDamaged(path));
            else if (i % 6 == 4)
                QVERIFY(testzip::writeZip(path, {file("file_id.diz", kDiz), file("x.txt", testzip::text(900, i)),
                                                 file("FILE_ID.DIZ", kDiz)}));
            else
                QVERIFY(testzip::writeZip(
                    path, {file("thumbs.db", "junk"), file("big.txt", testzip::text(i % 3 == 0 ? 400000 : 3000, i))}));
        }
        folders << folder;
    }
    QStringList reports;
    QList<Result> results;
    for (int k = 0; k < 2; ++k) {
        reports << m_root->path() + QStringLiteral("/r%1.jsonl").arg(k);
        const QStringList args =
            options + QStringList{"--jobs", k == 0 ? "1" : "4", "--report", reports[k], folders[k]};
        results << runWith(*m_program, args);
        const Result& r = results.last();
        QVERIFY2(!r.sanitizerReport(), r.err.constData());
        QVERIFY2(r.finished && r.exitCode == 3, r.err.constData()); // the folders hold a damaged archive
    }
    QStringList one = decisions(reports[0]);
    QStringList four = decisions(reports[1]);
    QVERIFY(!one.isEmpty());
    // The objects differ only in the folder named.
    one.replaceInStrings("/one", "/x");
    four.replaceInStrings("/four", "/x");
    QCOMPARE(four, one);
    QCOMPARE(results[1].out, results[0].out.replace("/one", "/four"));
    QCOMPARE(tree(folders[1]), tree(folders[0]));
}

void E2eIncremental::wrongOptionsAreRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("said");
    QTest::newRow("no workers") << QStringList{"--jobs", "0", "zips"} << "--jobs takes a whole number from 1 to 256";
    QTest::newRow("days not a number") << QStringList{"--retest-after=soon", "zips"} << "--retest-after takes";
    QTest::newRow("no days") << QStringList{"--incremental", "zips", "--retest-after"} << "missing value";
    QTest::newRow("incremental without folder") << QStringList{"--incremental"} << "need a FOLDER";
}

void E2eIncremental::wrongOptionsAreRefused()
{
    QFETCH(QStringList, args);
    QFETCH(QString, said);
    const QString folder = m_root->path() + "/zips";
    QVERIFY(makeFolder(folder));
    const QByteArray before = hashOf(folder + "/c_purge.zip");
    for (QString& a : args)
        if (a == "zips")
            a = folder;
    const Result r = runWith(*m_program, args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(said.toUtf8()), r.err.constData());
    QCOMPARE(hashOf(folder + "/c_purge.zip"), before);
    QVERIFY(!QFileInfo::exists(m_program->folder() + "/verdicts.sqlite"));
}

QTEST_GUILESS_MAIN(E2eIncremental)
#include "test_e2e_incremental.moc"
