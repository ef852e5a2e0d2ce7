// The verdict cache: the one rule for when a cached verdict stands, listings that skip the data only when it
// does, the rolling re-test, files that are set aside. Rows through whole runs: tests/e2e/test_e2e_incremental.

#include "testsupport/TestArchives.h"
#include "zip/ArchiveCleaner.h"
#include "zip/VerdictCache.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <sqlite3.h>

namespace {

constexpr qint64 kDay = qint64(86400) * 1000000000;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

VerdictRow sampleRow()
{
    VerdictRow r;
    r.folder = "/data/zips";
    r.name = "a.zip";
    r.device = 2049;
    r.inode = 77;
    r.size = 1234;
    r.modifiedNs = 1700000000123456789;
    r.changedNs = 1700000000223456789;
    r.directoryHash = QByteArray(32, 'h');
    r.verdict = QStringLiteral("clean");
    r.testedNs = 1000 * kDay;
    r.version = QStringLiteral(TAMSOREL_VERSION);
    return r;
}

// An archive of a few deflated entries whose data a flipped byte damages without touching the directory.
QByteArray archiveBytes(testzip::Layout* layout = nullptr)
{
    return testzip::build(
        {testzip::file("a.txt", testzip::text(4000, 1)), testzip::file("b.txt", testzip::text(3000, 2))}, {}, layout);
}

std::shared_ptr<FolderVerdicts> verdictsFor(const QString& folder, const QList<VerdictRow>& rows)
{
    auto f = std::make_shared<FolderVerdicts>();
    f->folder = FolderVerdicts::folderKey(folder);
    f->policy = {nowNs(), 30};
    for (const VerdictRow& r : rows)
        f->rows.insert(r.name, r);
    return f;
}

// The row a full listing of path makes, as the cache would have stored it.
VerdictRow testedRow(const QString& path, qint16* result = nullptr)
{
    ZipComponent zip;
    ArchiveCleaner cleaner(zip, path);
    const auto empty = verdictsFor(QFileInfo(path).absolutePath(), {});
    const ArchiveListing l = cleaner.list(empty.get());
    if (result)
        *result = l.result;
    return empty->observed(l.path, l.stamp, l.directoryHash, l.testedNs);
}

QStringList warnings;

VerdictCache openCache(const QString& path, bool trust = true)
{
    return VerdictCache(
        path, [](const QString& line) { warnings << line; }, trust);
}

} // namespace

class TestVerdictCache : public QObject
{
    Q_OBJECT
private slots:
    void init() { warnings.clear(); }
    void cachedVerdictStandsOnlyForTheSameFileTestedRecently_data();
    void cachedVerdictStandsOnlyForTheSameFileTestedRecently();
    void standingVerdictSkipsTheDataOtherwiseItIsRead_data();
    void standingVerdictSkipsTheDataOtherwiseItIsRead();
    void rollingRetestTakesTheOldestShare_data();
    void rollingRetestTakesTheOldestShare();
    void unusableCacheFileIsSetAsideAndMadeAnew_data();
    void unusableCacheFileIsSetAsideAndMadeAnew();
};

void TestVerdictCache::cachedVerdictStandsOnlyForTheSameFileTestedRecently_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("stands");
    QTest::newRow("identical, tested a day ago") << "none" << true;
    QTest::newRow("other device") << "device" << false;
    QTest::newRow("other inode (replaced)") << "inode" << false;
    QTest::newRow("other size") << "size" << false;
    QTest::newRow("other modification time") << "mtime" << false;
    QTest::newRow("other change time (edited, mtime put back)") << "ctime" << false;
    QTest::newRow("other central directory") << "hash" << false;
    QTest::newRow("no directory hash") << "nohash" << false;
    QTest::newRow("other program version") << "version" << false;
    QTest::newRow("verdict not clean") << "verdict" << false;
    QTest::newRow("tested just within the period") << "age29" << true;
    QTest::newRow("tested within the last half day of the period") << "age29.6" << false;
    QTest::newRow("tested longer ago than the period") << "age31" << false;
    QTest::newRow("test dated in the future") << "future" << false;
    QTest::newRow("picked by the rolling re-test") << "due" << false;
}

void TestVerdictCache::cachedVerdictStandsOnlyForTheSameFileTestedRecently()
{
    QFETCH(QString, change);
    QFETCH(bool, stands);
    const VerdictRow cached = sampleRow();
    VerdictRow seen = cached;
    CachePolicy policy{cached.testedNs + kDay, 30};
    bool due = false;
    if (change == "device")
        seen.device += 1;
    else if (change == "inode")
        seen.inode += 1;
    else if (change == "size")
        seen.size += 1;
    else if (change == "mtime")
        seen.modifiedNs += 1;
    else if (change == "ctime")
        seen.changedNs += 1;
    else if (change == "hash")
        seen.directoryHash[5] = 'x';
    else if (change == "version")
        seen.version = QStringLiteral("v0.1");
    else if (change == "age29")
        policy.nowNs = cached.testedNs + 29 * kDay;
    else if (change == "age29.6")
        policy.nowNs = cached.testedNs + 29 * kDay + kDay * 6 / 10;
    else if (change == "age31")
        policy.nowNs = cached.testedNs + 31 * kDay;
    else if (change == "future")
        policy.nowNs = cached.testedNs - 1;
    else if (change == "due")
        due = true;
    VerdictRow stored = cached;
    if (change == "nohash") {
        stored.directoryHash.clear();
        seen.directoryHash.clear();
    } else if (change == "verdict") {
        stored.verdict = QStringLiteral("damaged");
    }
    QCOMPARE(verdictMayStand(stored, seen, policy, due), stands);
}

void TestVerdictCache::standingVerdictSkipsTheDataOtherwiseItIsRead_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("fromCache");
    QTest::addColumn<int>("result");
    // A flipped data byte under an unchanged directory and a row that matches the file: only a listing that
    // reads the data finds it, so the result tells whether the data was read.
    QTest::newRow("row matches: data not read") << "match" << true << int(ZipSuccess);
    QTest::newRow("rolling re-test: data read") << "due" << false << int(ZipDataDamaged);
    QTest::newRow("row of another size: data read") << "size" << false << int(ZipDataDamaged);
    QTest::newRow("row of another directory: data read") << "hash" << false << int(ZipDataDamaged);
    QTest::newRow("no row: data read") << "none" << false << int(ZipDataDamaged);
}

void TestVerdictCache::standingVerdictSkipsTheDataOtherwiseItIsRead()
{
    QFETCH(QString, situation);
    QFETCH(bool, fromCache);
    QFETCH(int, result);
    QTemporaryDir dir;
    const QString path = dir.filePath("a.zip");
    testzip::Layout layout;
    QByteArray bytes = archiveBytes(&layout);
    QVERIFY(testzip::write(path, bytes));
    qint16 first = -1;
    const VerdictRow clean = testedRow(path, &first);
    QCOMPARE(first, qint16(ZipSuccess));
    QCOMPARE(clean.directoryHash.size(), 32);

    // Bit rot: one byte of the first entry's data, the directory untouched.
    bytes[int(layout.dataOffsets[0]) + 40] = char(bytes[int(layout.dataOffsets[0]) + 40] ^ 0x10);
    QVERIFY(testzip::write(path, bytes));
    // The row as the cache would hold it had the rot happened below the file system: the file's identity as it
    // now stands, the directory (unchanged) as tested.
    VerdictRow row = testedRow(path);
    {
        ZipComponent zip;
        QCOMPARE(ArchiveCleaner(zip, path).listDirectory().directoryHash, clean.directoryHash);
    }
    row.directoryHash = clean.directoryHash;
    row.testedNs = nowNs() - kDay;
    if (situation == "size")
        row.size += 1;
    else if (situation == "hash")
        row.directoryHash[0] = char(row.directoryHash[0] ^ 1);
    const auto verdicts = verdictsFor(dir.path(), situation == "none" ? QList<VerdictRow>{} : QList<VerdictRow>{row});
    if (situation == "due")
        verdicts->retest.insert(row.name);

    ZipComponent zip;
    QStringList listed;
    QObject::connect(&zip, &ZipComponent::Listing, &zip, [&](const QString& n) { listed << n; });
    const ArchiveListing l = ArchiveCleaner(zip, path).list(verdicts.get());
    QCOMPARE(l.fromCache, fromCache);
    QCOMPARE(int(l.result), result);
    QCOMPARE(l.names, QStringList({"a.txt", "b.txt"}));
    if (fromCache)
        QCOMPARE(l.testedNs, row.testedNs);
    else
        QVERIFY(l.testedNs > row.testedNs);
}

void TestVerdictCache::rollingRetestTakesTheOldestShare_data()
{
    QTest::addColumn<int>("archives");
    QTest::addColumn<int>("days");
    QTest::addColumn<double>("sinceLastRunDays");
    QTest::addColumn<double>("creditBefore");
    QTest::addColumn<int>("share");
    QTest::addColumn<double>("creditAfter");
    QTest::newRow("daily run, 100 archives, 30 days") << 100 << 30 << 1.0 << 0.0 << 3 << 1.0 / 3;
    QTest::newRow("daily run, carried fraction") << 100 << 30 << 1.0 << 0.7 << 4 << 0.7 + 1.0 / 3 - 1;
    QTest::newRow("weekly run") << 100 << 30 << 7.0 << 0.0 << 23 << 100.0 * 7 / 30 - 23;
    QTest::newRow("a run right after another") << 100 << 30 << 0.0 << 0.2 << 0 << 0.2;
    QTest::newRow("daily run, period of one day") << 7 << 1 << 1.0 << 0.0 << 7 << 0.0;
    QTest::newRow("not run for months: the folder once") << 50 << 30 << 120.0 << 0.5 << 50 << 0.0;
}

void TestVerdictCache::rollingRetestTakesTheOldestShare()
{
    QFETCH(int, archives);
    QFETCH(int, days);
    QFETCH(double, sinceLastRunDays);
    QFETCH(double, creditBefore);
    QFETCH(int, share);
    QFETCH(double, creditAfter);
    double credit = creditBefore;
    QCOMPARE(FolderVerdicts::retestShare(archives, days, qint64(sinceLastRunDays * double(kDay)), &credit), share);
    QVERIFY(qAbs(credit - creditAfter) < 1e-6);

    // Rows tested one after the other (nK tested K-th, newest last) and one row of an archive no longer in the
    // folder, older than all, which must not take a place of the share. The last run was sinceLastRunDays ago.
    QTemporaryDir dir;
    const QString folder = dir.path();
    const QString cacheFile = dir.filePath("verdicts.sqlite");
    const qint64 runAt = nowNs() - qint64(sinceLastRunDays * double(kDay));
    QStringList names;
    {
        VerdictCache cache = openCache(cacheFile);
        const auto f = cache.beginFolder(folder, {}, {runAt, days});
        for (int k = -1; k < archives; ++k) {
            const QString name = QStringLiteral("n%1.zip").arg(k + 1, 4, 10, QLatin1Char('0'));
            const QString path = folder + u'/' + name;
            QVERIFY(testzip::writeZip(path, {testzip::file("x.txt", "x")}));
            ZipComponent zip;
            ArchiveListing l = ArchiveCleaner(zip, path).list(f.get());
            l.testedNs = runAt - qint64(archives - k) * 1000000;
            cache.archiveEnded(path, {true, l.stamp, l.directoryHash, l.testedNs});
            if (k >= 0)
                names << name;
        }
        cache.endFolder(true);
    }
    VerdictCache cache = openCache(cacheFile);
    const auto f = cache.beginFolder(folder, names, {runAt + qint64(sinceLastRunDays * double(kDay)), days});
    QCOMPARE(f->rows.size(), archives + 1);
    // The first run of the folder had nothing before it: no credit to carry.
    double fresh = 0;
    const int expected = FolderVerdicts::retestShare(archives, days, qint64(sinceLastRunDays * double(kDay)), &fresh);
    QCOMPARE(f->retest.size(), expected);
    for (int k = 0; k < expected; ++k)
        QVERIFY2(f->retest.contains(QFile::encodeName(names[k])), qPrintable(names[k]));
    // A complete run drops the row of the archive that is gone.
    cache.endFolder(true);
    QVERIFY(!cache.find(FolderVerdicts::folderKey(folder), "n0000.zip"));
    QVERIFY(cache.find(FolderVerdicts::folderKey(folder), "n0001.zip"));
}

void TestVerdictCache::unusableCacheFileIsSetAsideAndMadeAnew_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("not a database") << "garbage";
    QTest::newRow("a page of rows overwritten") << "rows";
    QTest::newRow("another program's database") << "foreign";
    QTest::newRow("another schema version") << "version";
}

void TestVerdictCache::unusableCacheFileIsSetAsideAndMadeAnew()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString cacheFile = dir.filePath("verdicts.sqlite");
    const QString archive = dir.filePath("a.zip");
    QVERIFY(testzip::writeZip(archive, {testzip::file("x.txt", testzip::text(500))}));
    {
        VerdictCache cache = openCache(cacheFile);
        const auto f = cache.beginFolder(dir.path(), {"a.zip"}, {nowNs(), 30});
        ZipComponent zip;
        const ArchiveListing l = ArchiveCleaner(zip, archive).list(f.get());
        cache.archiveEnded(archive, {true, l.stamp, l.directoryHash, l.testedNs});
        cache.endFolder(true);
        QVERIFY(cache.find(FolderVerdicts::folderKey(dir.path()), "a.zip"));
    }
    // As at the end of a process's run: the rows go from the WAL into the file itself.
    VerdictCache::endRun(cacheFile);
    QVERIFY(warnings.isEmpty());
    QByteArray bytes = testzip::readAll(cacheFile);
    QVERIFY(bytes.size() >= 4096);
    if (kind == "garbage") {
        bytes = QByteArray(8192, 'z');
    } else if (kind == "rows") {
        // Every page after the first (the schema) is noise: the header and the schema still read.
        for (int i = 4096; i < bytes.size(); ++i)
            bytes[i] = char(i * 7);
    }
    if (kind == "garbage" || kind == "rows") {
        QVERIFY(testzip::write(cacheFile, bytes));
    } else {
        // The same file stamped with another program's identity, or a schema this version does not know.
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(cacheFile).constData(), &db), SQLITE_OK);
        const char* pragma = kind == "foreign" ? "PRAGMA application_id=12345" : "PRAGMA user_version=99";
        QCOMPARE(sqlite3_exec(db, pragma, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    warnings.clear();
    {
        // Found on opening, or (a page of rows) when the folder's rows are read: either way set aside.
        VerdictCache first = openCache(cacheFile);
        if (first.usable()) {
            const auto f = first.beginFolder(dir.path(), {"a.zip"}, {nowNs(), 30});
            QVERIFY(f->rows.isEmpty());
        }
    }
    QVERIFY(!warnings.isEmpty());
    QVERIFY2(warnings.last().contains("set aside"), qPrintable(warnings.join(u'\n')));
    // The file set aside, with its journal files when it had any.
    const QStringList aside = QDir(dir.path()).entryList({"verdicts.sqlite.set-aside-*"}, QDir::Files);
    QCOMPARE(aside.filter(QRegularExpression("-(wal|shm)$")).size() + 1, aside.size());
    // Nothing of the old file is trusted; the new one takes rows.
    VerdictCache cache = openCache(cacheFile);
    QVERIFY(cache.usable());
    QVERIFY(!cache.find(FolderVerdicts::folderKey(dir.path()), "a.zip"));
    const auto f = cache.beginFolder(dir.path(), {"a.zip"}, {nowNs(), 30});
    QVERIFY(f->rows.isEmpty());
    ZipComponent zip;
    const ArchiveListing l = ArchiveCleaner(zip, archive).list(f.get());
    cache.archiveEnded(archive, {true, l.stamp, l.directoryHash, l.testedNs});
    cache.endFolder(true);
    QVERIFY(cache.find(FolderVerdicts::folderKey(dir.path()), "a.zip"));
}

QTEST_GUILESS_MAIN(TestVerdictCache)
#include "test_verdictcache.moc"
