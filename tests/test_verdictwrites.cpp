// The verdict cache's writes: a row only for the file the run tells of (the one tested, or the one its
// rewrite produced), none handed out under --full, a held lock that skips a row without turning the cache
// off, failures that are not corruption, and the upkeep at the end of a process's run.

#include "testsupport/TestArchives.h"
#include "zip/ArchiveCleaner.h"
#include "zip/VerdictCache.h"

#include <QDir>
#include <QFile>
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

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
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

QStringList warnings;

VerdictCache openCache(const QString& path, bool trust = true)
{
    return VerdictCache(
        path, [](const QString& line) { warnings << line; }, trust);
}

} // namespace

class TestVerdictWrites : public QObject
{
    Q_OBJECT
private slots:
    void init() { warnings.clear(); }
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

void TestVerdictWrites::rewriteTellsTheFileItProduced_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("purge") << "purge";
    QTest::newRow("repair of a double zip") << "repair";
    QTest::newRow("purge behind a prefix, bytes behind the end record") << "prefix";
    QTest::newRow("purge of the last entry") << "empty";
}

void TestVerdictWrites::rewriteTellsTheFileItProduced()
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

void TestVerdictWrites::rowIsWrittenOnlyForTheFileItIsAbout_data()
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

void TestVerdictWrites::rowIsWrittenOnlyForTheFileItIsAbout()
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

void TestVerdictWrites::fullRunIsHandedNoRowYetWritesThem()
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

void TestVerdictWrites::heldLockSkipsARowNotTheCache_data()
{
    QTest::addColumn<bool>("sound");
    QTest::newRow("a row to write is skipped") << true;
    QTest::newRow("a row to remove is removed at the folder's end") << false;
}

void TestVerdictWrites::heldLockSkipsARowNotTheCache()
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

void TestVerdictWrites::failedWriteLeavesTheFileInPlace_data()
{
    QTest::addColumn<QString>("fault");
    // SQLite's own "database or disk is full", from a page limit on the connection.
    QTest::newRow("disk full") << "full";
    // A file size limit makes the WAL's next write fail with EFBIG: SQLite reports an I/O error.
    QTest::newRow("I/O error") << "ioerr";
}

void TestVerdictWrites::failedWriteLeavesTheFileInPlace()
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

void TestVerdictWrites::goneFoldersArePrunedAtTheEndOfARun_data()
{
    QTest::addColumn<QString>("fate");
    QTest::addColumn<bool>("pruned");
    QTest::newRow("folder still there") << "kept" << false;
    QTest::newRow("folder removed") << "removed" << true;
    QTest::newRow("folder replaced by a file") << "file" << true;
}

void TestVerdictWrites::goneFoldersArePrunedAtTheEndOfARun()
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

void TestVerdictWrites::setAsideFilesGoAfterAFewRuns()
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

QTEST_GUILESS_MAIN(TestVerdictWrites)
#include "test_verdictwrites.moc"
