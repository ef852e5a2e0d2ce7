// The verdict cache: the one rule for when a cached verdict stands, listings that skip the data only when it
// does, the rolling re-test, files that are set aside. Rows through whole runs: tests/e2e/test_e2e_incremental.

#include "testsupport/TestArchives.h"
#include "zip/ArchiveCleaner.h"
#include "zip/VerdictCache.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

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
    void rewriteTellsTheFileItProduced_data();
    void rewriteTellsTheFileItProduced();
    void rowIsWrittenOnlyForTheFileItIsAbout_data();
    void rowIsWrittenOnlyForTheFileItIsAbout();
    void fullRunIsHandedNoRowYetWritesThem();
    void heldLockSkipsARowNotTheCache_data();
    void heldLockSkipsARowNotTheCache();
    void failedWriteLeavesTheFileInPlace_data();
    void failedWriteLeavesTheFileInPlace();
    void goneFoldersArePrunedAtTheEndOfARun_data();
    void goneFoldersArePrunedAtTheEndOfARun();
    void setAsideFilesGoAfterAFewRuns();
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

namespace {

// What a listing of path tells the cache: its stamp, hash and test time, sound when it listed clean.
ToldOutcome toldBy(const ArchiveListing& l)
{
    return {l.result == ZipSuccess, l.stamp, l.directoryHash, l.testedNs};
}

ArchiveListing listed(const QString& path, const FolderVerdicts* verdicts = nullptr)
{
    ZipComponent zip;
    ArchiveCleaner cleaner(zip, path);
    if (verdicts)
        return cleaner.list(verdicts);
    const auto none = verdictsFor(QFileInfo(path).absolutePath(), {});
    return cleaner.list(none.get());
}

// One run of a folder through the cache: every archive of names listed and told as its listing says.
void runFolder(const QString& cacheFile, const QString& folder, const QStringList& names)
{
    VerdictCache cache = openCache(cacheFile);
    const auto f = cache.beginFolder(folder, names, {nowNs(), 30});
    for (const QString& n : names) {
        const QString path = folder + u'/' + n;
        cache.archiveEnded(path, toldBy(listed(path, f.get())));
    }
    cache.endFolder(true);
}

} // namespace

void TestVerdictCache::rewriteTellsTheFileItProduced_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("purge") << "purge";
    QTest::newRow("repair of a double zip") << "repair";
    QTest::newRow("purge behind a prefix, bytes behind the end record") << "prefix";
    QTest::newRow("purge of the last entry") << "empty";
}

void TestVerdictCache::rewriteTellsTheFileItProduced()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString path = dir.filePath("a.zip");
    using testzip::file;
    QByteArray bytes;
    if (kind == "repair")
        bytes = testzip::build({file("file_id.diz", "  Description\r\n"), file("a.txt", testzip::text(3000, 1)),
                                file("FILE_ID.DIZ", "  Description\r\n")});
    else if (kind == "empty")
        bytes = testzip::build({file("junk.txt", "junk")});
    else
        bytes = testzip::build({file("a.txt", testzip::text(3000, 1)), file("junk.txt", "junk")});
    if (kind == "prefix")
        bytes = QByteArray(700, 'P') + bytes + QByteArray("trailing bytes of no archive");
    QVERIFY(testzip::write(path, bytes));
    const ArchiveListing before = listed(path);
    QCOMPARE(before.result, qint16(ZipSuccess));

    QString repairFile;
    if (kind == "repair") {
        repairFile = dir.filePath("work/file_id.diz");
        QVERIFY(QDir().mkpath(dir.filePath("work")));
        QVERIFY(testzip::write(repairFile, "  Description\r\n"));
    }
    const CleanPlan plan = ArchiveCleaner::plan(kind == "repair" ? QStringList{} : QStringList{"junk.txt"},
                                                before.names, repairFile, [](const QString& line) { return line; });
    QVERIFY(plan.changes());
    ZipComponent zip;
    qint16 addBack = -1;
    ArchiveStamp produced;
    QByteArray producedHash;
    QCOMPARE(ArchiveCleaner(zip, path).rewrite(plan, &addBack, &before.stamp, &produced, &producedHash),
             qint16(ZipSuccess));
    QCOMPARE(addBack, qint16(ZipSuccess));

    // The file now under the name, to the nanosecond of its change time, and the hash the next incremental
    // run's directory-only listing makes of it.
    QVERIFY(produced.valid());
    QVERIFY(produced != before.stamp);
    QCOMPARE(produced, ArchiveStamp::of(path));
    ZipComponent again;
    const ArchiveListing quick = ArchiveCleaner(again, path).listDirectory();
    QCOMPARE(quick.result, qint16(ZipSuccess));
    QCOMPARE(producedHash.size(), 32);
    QCOMPARE(producedHash, quick.directoryHash);
    QVERIFY(producedHash != before.directoryHash);

    // A rewrite of a file other than the one judged puts nothing in place and tells of no file: the archive
    // as it was is back under the name, and the rewrite is asked for the file it replaced.
    QVERIFY(testzip::write(path, bytes));
    const ArchiveStamp stale = produced;
    QVERIFY(stale != ArchiveStamp::of(path));
    produced = {};
    producedHash = "untouched";
    qint16 ignored = 0;
    QCOMPARE(ArchiveCleaner(zip, path).rewrite(plan, &ignored, &stale, &produced, &producedHash),
             qint16(ZipArchiveChanged));
    QVERIFY(!produced.valid());
    QVERIFY(producedHash.isEmpty());
}

void TestVerdictCache::rowIsWrittenOnlyForTheFileItIsAbout_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("rowStays");
    QTest::newRow("the tested file, sound") << "same" << true;
    QTest::newRow("the tested file, not sound") << "unsound" << false;
    QTest::newRow("appended to by someone else after its test") << "appended" << false;
    QTest::newRow("edited in place, times put back, after its test") << "edited" << false;
    QTest::newRow("replaced by another file after its test") << "replaced" << false;
    QTest::newRow("rewritten by the run, told the produced file") << "rewritten" << true;
    QTest::newRow("rewritten by the run, told the tested file") << "rewrittenStale" << false;
    QTest::newRow("rewritten, then changed by someone else") << "rewrittenThenChanged" << false;
    QTest::newRow("no directory hash") << "nohash" << false;
}

void TestVerdictCache::rowIsWrittenOnlyForTheFileItIsAbout()
{
    QFETCH(QString, situation);
    QFETCH(bool, rowStays);
    QTemporaryDir dir;
    const QString cacheFile = dir.filePath("cache/verdicts.sqlite");
    const QString folder = dir.filePath("zips");
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + "/a.zip";
    QVERIFY(testzip::writeZip(path, {testzip::file("a.txt", testzip::text(3000, 1)), testzip::file("junk.txt", "j")}));
    // A first run leaves a row, so that every case that must not write one has one to remove.
    runFolder(cacheFile, folder, {"a.zip"});
    const QByteArray key = FolderVerdicts::folderKey(folder);
    {
        VerdictCache cache = openCache(cacheFile);
        QVERIFY(cache.find(key, "a.zip"));
    }

    VerdictCache cache = openCache(cacheFile);
    const auto f = cache.beginFolder(folder, {"a.zip"}, {nowNs(), 30});
    // The rolling re-test reads it in full: the listing is a fresh test either way.
    const ArchiveListing l = listed(path);
    QCOMPARE(l.result, qint16(ZipSuccess));
    ToldOutcome told = toldBy(l);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    if (situation == "unsound") {
        told.sound = false;
    } else if (situation == "appended") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        QVERIFY(file.write("x") == 1);
    } else if (situation == "edited") {
        // Same size, same modification time: only the change time tells (a clock tick later).
        QThread::msleep(20);
        QByteArray bytes = testzip::readAll(path);
        bytes[bytes.size() - 30] = char(bytes[bytes.size() - 30] ^ 1);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.write(bytes) == bytes.size());
        file.close();
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    } else if (situation == "replaced") {
        QVERIFY(testzip::writeZip(folder + "/other.tmp", {testzip::file("a.txt", testzip::text(3000, 1))}));
        QVERIFY(::rename(QFile::encodeName(folder + "/other.tmp").constData(), QFile::encodeName(path).constData()) ==
                0);
    } else if (situation.startsWith("rewritten")) {
        ZipComponent zip;
        zip.ArchivePath = path;
        ArchiveStamp produced;
        QByteArray producedHash;
        QCOMPARE(zip.RewriteEntries({"junk.txt"}, {}, &l.stamp, &produced, &producedHash), qint16(ZipSuccess));
        if (situation != "rewrittenStale")
            told = {true, produced, producedHash, l.testedNs};
        if (situation == "rewrittenThenChanged") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.write("x") == 1);
        }
    } else if (situation == "nohash") {
        told.directoryHash.clear();
    }
    cache.archiveEnded(path, told);
    cache.endFolder(true);
    const std::optional<VerdictRow> row = cache.find(key, "a.zip");
    QCOMPARE(bool(row), rowStays);
    if (!row)
        return;
    // The row is the file now under the name, as the next incremental run's directory listing sees it.
    ZipComponent zip;
    const ArchiveListing now = ArchiveCleaner(zip, path).listDirectory();
    QCOMPARE(*row, f->observed(path, now.stamp, now.directoryHash, l.testedNs));
    const auto next = cache.beginFolder(folder, {"a.zip"}, {nowNs(), 30});
    QVERIFY(listed(path, next.get()).fromCache);
    cache.endFolder(true);
}

void TestVerdictCache::fullRunIsHandedNoRowYetWritesThem()
{
    QTemporaryDir dir;
    const QString cacheFile = dir.filePath("verdicts.sqlite");
    const QStringList names{"a.zip", "b.zip"};
    for (const QString& n : names)
        QVERIFY(testzip::writeZip(dir.filePath(n), {testzip::file("x.txt", testzip::text(2000))}));
    runFolder(cacheFile, dir.path(), names);
    qint64 firstTest = 0;
    {
        VerdictCache cache = openCache(cacheFile);
        const auto f = cache.beginFolder(dir.path(), names, {nowNs(), 30});
        QCOMPARE(f->rows.size(), 2);
        QVERIFY(listed(dir.filePath("a.zip"), f.get()).fromCache);
        firstTest = f->rows.value("a.zip").testedNs;
        cache.endFolder(true);
    }
    VerdictCache full = openCache(cacheFile, false);
    const auto f = full.beginFolder(dir.path(), names, {nowNs(), 30});
    QVERIFY(f->rows.isEmpty());
    QVERIFY(f->retest.isEmpty());
    const ArchiveListing l = listed(dir.filePath("a.zip"), f.get());
    QVERIFY(!l.fromCache);
    full.archiveEnded(dir.filePath("a.zip"), toldBy(l));
    full.endFolder(true);
    const std::optional<VerdictRow> row = full.find(FolderVerdicts::folderKey(dir.path()), "a.zip");
    QVERIFY(row);
    QVERIFY(row->testedNs > firstTest);
}

void TestVerdictCache::heldLockSkipsARowNotTheCache_data()
{
    QTest::addColumn<bool>("sound");
    QTest::newRow("a row to write is skipped") << true;
    QTest::newRow("a row to remove is removed at the folder's end") << false;
}

void TestVerdictCache::heldLockSkipsARowNotTheCache()
{
    QFETCH(bool, sound);
    QTemporaryDir dir;
    const QString cacheFile = dir.filePath("verdicts.sqlite");
    const QStringList names{"a.zip", "b.zip"};
    for (const QString& n : names)
        QVERIFY(testzip::writeZip(dir.filePath(n), {testzip::file("x.txt", testzip::text(2000))}));
    // The rows as a first run leaves them: a removal has a row to remove.
    if (!sound)
        runFolder(cacheFile, dir.path(), names);
    const QByteArray key = FolderVerdicts::folderKey(dir.path());
    const auto tell = [&](VerdictCache& cache, const QString& name) {
        ToldOutcome told = toldBy(listed(dir.filePath(name)));
        told.sound = sound;
        cache.archiveEnded(dir.filePath(name), told);
    };

    VerdictCache cache = openCache(cacheFile);
    // Another run holds the write lock (stopped inside its transaction) while this one ends an archive.
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(cacheFile).constData(), &other), SQLITE_OK);
    cache.beginFolder(dir.path(), names, {nowNs(), 30});
    QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    tell(cache, "a.zip");
    if (sound) {
        // The folder ends under the lock: the row is skipped, the cache stays in use.
        cache.endFolder(true);
        QVERIFY(cache.usable());
        QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        cache.beginFolder(dir.path(), names, {nowNs(), 30});
    } else {
        QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    sqlite3_close(other);
    // The lock is free again: the next archive's row goes in.
    tell(cache, "b.zip");
    cache.endFolder(true);
    QVERIFY(cache.usable());
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(u'\n')));
    QCOMPARE(bool(cache.find(key, "b.zip")), sound);
    // A row skipped under the lock is only missing (that archive is read next time); a row that had to go
    // is gone once the lock is free, so it cannot let the archive pass untested.
    QVERIFY(!cache.find(key, "a.zip"));
}

void TestVerdictCache::failedWriteLeavesTheFileInPlace_data()
{
    QTest::addColumn<QString>("fault");
    // SQLite's own "database or disk is full", from a page limit on the connection.
    QTest::newRow("disk full") << "full";
    // A file size limit makes the WAL's next write fail with EFBIG: SQLite reports an I/O error.
    QTest::newRow("I/O error") << "ioerr";
}

void TestVerdictCache::failedWriteLeavesTheFileInPlace()
{
    QFETCH(QString, fault);
    QTemporaryDir dir;
    const QString cacheFile = dir.filePath("verdicts.sqlite");
    QVERIFY(testzip::writeZip(dir.filePath("a.zip"), {testzip::file("x.txt", testzip::text(2000))}));
    QVERIFY(testzip::writeZip(dir.filePath("b.zip"), {testzip::file("y.txt", testzip::text(2000, 2))}));
    runFolder(cacheFile, dir.path(), {"a.zip"});
    VerdictCache::endRun(cacheFile);
    const QByteArray key = FolderVerdicts::folderKey(dir.path());
    const QByteArray before = testzip::readAll(cacheFile);
    QVERIFY(!before.isEmpty());
    QVERIFY(!QFileInfo::exists(cacheFile + "-wal"));

    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto undo = [&] {
        VerdictCache::limitPagesForTests(0);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, SIG_DFL);
    };
    auto restore = qScopeGuard(undo);
    if (fault == "full")
        VerdictCache::limitPagesForTests(int(before.size() / 4096));
    {
        VerdictCache cache = openCache(cacheFile);
        QVERIFY(cache.usable());
        const auto f = cache.beginFolder(dir.path(), {"a.zip", "b.zip"}, {nowNs(), 30});
        QCOMPARE(f->rows.size(), 1);
        if (fault == "ioerr") {
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit small = saved;
            small.rlim_cur = 4096;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        // A row large enough to need pages the file does not have.
        ToldOutcome told = toldBy(listed(dir.filePath("b.zip")));
        told.directoryHash = told.directoryHash.repeated(2000);
        cache.archiveEnded(dir.filePath("b.zip"), told);
        cache.archiveEnded(dir.filePath("b.zip"), told);
        cache.endFolder(true);
        QVERIFY(cache.usable());
    }
    undo();
    restore.dismiss();
    // One line, that says the run goes on; nothing set aside, the file and its row as they were.
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains("goes on without writing"), qPrintable(warnings[0]));
    QVERIFY(QDir(dir.path()).entryList({"verdicts.sqlite.set-aside-*"}, QDir::Files).isEmpty());
    QCOMPARE(testzip::readAll(cacheFile), before);
    VerdictCache cache = openCache(cacheFile);
    QVERIFY(cache.usable());
    QVERIFY(cache.find(key, "a.zip"));
    QVERIFY(!cache.find(key, "b.zip"));
}

void TestVerdictCache::goneFoldersArePrunedAtTheEndOfARun_data()
{
    QTest::addColumn<QString>("fate");
    QTest::addColumn<bool>("pruned");
    QTest::newRow("folder still there") << "kept" << false;
    QTest::newRow("folder removed") << "removed" << true;
    QTest::newRow("folder replaced by a file") << "file" << true;
}

void TestVerdictCache::goneFoldersArePrunedAtTheEndOfARun()
{
    QFETCH(QString, fate);
    QFETCH(bool, pruned);
    QTemporaryDir dir;
    const QString cacheFile = dir.filePath("cache/verdicts.sqlite");
    const QString stays = dir.filePath("stays");
    const QString other = dir.filePath("other");
    for (const QString& folder : {stays, other}) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(testzip::writeZip(folder + "/a.zip", {testzip::file("x.txt", testzip::text(2000))}));
        QVERIFY(testzip::writeZip(folder + "/b.zip", {testzip::file("x.txt", testzip::text(1000))}));
        runFolder(cacheFile, folder, {"a.zip", "b.zip"});
    }
    // A complete run of a folder drops the rows of its archives that are gone.
    QVERIFY(QFile::remove(stays + "/b.zip"));
    runFolder(cacheFile, stays, {"a.zip"});
    const QByteArray otherKey = FolderVerdicts::folderKey(other);
    if (fate != "kept")
        QVERIFY(QDir(other).removeRecursively());
    if (fate == "file")
        QVERIFY(testzip::write(other, "not a folder"));
    VerdictCache::endRun(cacheFile);
    VerdictCache cache = openCache(cacheFile);
    QVERIFY(cache.find(FolderVerdicts::folderKey(stays), "a.zip"));
    QVERIFY(!cache.find(FolderVerdicts::folderKey(stays), "b.zip"));
    QCOMPARE(!cache.find(otherKey, "a.zip"), pruned);
    QCOMPARE(!cache.find(otherKey, "b.zip"), pruned);
    QVERIFY(warnings.isEmpty());
}

void TestVerdictCache::setAsideFilesGoAfterAFewRuns()
{
    QTemporaryDir dir;
    const QString cacheFile = dir.filePath("verdicts.sqlite");
    runFolder(cacheFile, dir.path(), {});
    // Three files set aside by earlier runs (names end in when), one with its WAL; an unrelated file beside.
    const QStringList aside{"verdicts.sqlite.set-aside-20260101T000000000",
                            "verdicts.sqlite.set-aside-20260102T000000000",
                            "verdicts.sqlite.set-aside-20260103T000000000"};
    for (const QString& n : aside)
        QVERIFY(testzip::write(dir.filePath(n), "old"));
    QVERIFY(testzip::write(dir.filePath(aside[0] + "-wal"), "old"));
    QVERIFY(testzip::write(dir.filePath("verdicts.sqlite.notes"), "mine"));
    const auto present = [&] { return QDir(dir.path()).entryList({"verdicts.sqlite.*"}, QDir::Files, QDir::Name); };

    // The first run's end keeps the newest two only.
    VerdictCache::endRun(cacheFile);
    QCOMPARE(present(), QStringList({"verdicts.sqlite.notes", aside[1], aside[2]}));
    // They stay for a few runs, then go; the cache and other files stay.
    for (int run = 2; run <= VerdictCache::kSetAsideRuns; ++run) {
        VerdictCache::endRun(cacheFile);
        QCOMPARE(present().size(), 3);
    }
    VerdictCache::endRun(cacheFile);
    QCOMPARE(present(), QStringList({"verdicts.sqlite.notes"}));
    QVERIFY(QFileInfo::exists(cacheFile));
    QVERIFY(warnings.isEmpty());
}

QTEST_GUILESS_MAIN(TestVerdictCache)
#include "test_verdictcache.moc"
