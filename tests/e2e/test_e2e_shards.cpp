// --shard K/N: N runs over one tree clean every folder once, and together do what one run does; a shard
// killed outright and run again ends as if it had not been; a shard value that makes no sense is refused.

#include "app/FolderShard.h"
#include "e2e/ShardTree.h"

#include <QElapsedTimer>
#include <QSet>
#include <QThread>
#include <csignal>

using namespace e2e;

namespace {

Result runArgs(const Program& program, const QStringList& args)
{
    QProcess p;
    prepare(p, program, QString());
    p.setArguments(args);
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, 600000);
}

} // namespace

class E2eShards : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void placesFallToTheDocumentedShard_data();
    void placesFallToTheDocumentedShard();
    void shardsTogetherAreOneRun_data();
    void shardsTogetherAreOneRun();
    void killedShardRunAgain();
    void badShardValuesAreRefused_data();
    void badShardValuesAreRefused();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
};

void E2eShards::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_program = std::make_unique<Program>(m_root->path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
}

void E2eShards::placesFallToTheDocumentedShard_data()
{
    // Expected values from Python's hashlib: int.from_bytes(sha256(place).digest()[:8], "big") % n. They must
    // never change, or every machine's shards would move on upgrade.
    QTest::addColumn<QByteArray>("root");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("shard");
    QTest::newRow("the named folder is \".\", of 4") << QByteArray("/srv/zips") << QByteArray("/srv/zips") << 4 << 2;
    QTest::newRow("the named folder, a trailing slash")
        << QByteArray("/srv/zips/") << QByteArray("/srv/zips/") << 3 << 0;
    QTest::newRow("one level, of 4") << QByteArray("/srv/zips") << QByteArray("/srv/zips/d00") << 4 << 2;
    QTest::newRow("two levels, of 3") << QByteArray("zips") << QByteArray("zips/d00/s1") << 3 << 2;
    QTest::newRow("two levels, of 1000000") << QByteArray("./zips") << QByteArray("./zips/d39/s3") << 1000000 << 857611;
    QTest::newRow("a name that is not UTF-8, of 7") << QByteArray("z") << QByteArray("z/caf\xe9") << 7 << 5;
    QTest::newRow("UTF-8 names, of 3") << QByteArray("z/") << QByteArray("z/Z\xc3\xbcrich/\xc3\xbc") << 3 << 1;
    QTest::newRow("one shard") << QByteArray("z") << QByteArray("z/x") << 1 << 0;
}

void E2eShards::placesFallToTheDocumentedShard()
{
    QFETCH(QByteArray, root);
    QFETCH(QByteArray, folder);
    QFETCH(int, count);
    QFETCH(int, shard);
    QCOMPARE(shardOf(placeBelow(root, folder), count), shard);
}

void E2eShards::shardsTogetherAreOneRun_data()
{
    QTest::addColumn<int>("shards");
    QTest::newRow("1 shard") << 1;
    QTest::newRow("3 shards") << 3;
    QTest::newRow("4 shards") << 4;
}

void E2eShards::shardsTogetherAreOneRun()
{
    QFETCH(int, shards);
    const QString whole = m_root->filePath("whole");
    const QString split = m_root->filePath("split");
    int damaged = 0;
    QVERIFY(makeShardTree(whole, &damaged));
    QVERIFY(makeShardTree(split));

    const QString wholeReport = m_root->filePath("whole.jsonl");
    const Result one = runArgs(*m_program, {"-r", "--report", wholeReport, whole});
    QVERIFY2(!one.sanitizerReport(), one.err.constData());
    QCOMPARE(one.exitCode, 3);
    const ShardReport expected = readShardReport(wholeReport);
    QCOMPARE(expected.archives.size(), 200);
    QStringList expectedFacts;
    for (const QJsonObject& o : expected.archives)
        expectedFacts << archiveFact(o, whole);
    expectedFacts.sort();

    QStringList facts;
    QSet<QString> folders;
    qint64 processed = 0, damagedSum = 0, purged = 0;
    int damageLines = 0;
    for (int k = 0; k < shards; ++k) {
        const QString report = m_root->filePath(QStringLiteral("shard-%1.jsonl").arg(k));
        const QString shard = QStringLiteral("%1/%2").arg(k).arg(shards);
        const Result r = runArgs(*m_program, {"-r", "--shard", shard, "--report", report, split});
        QVERIFY2(!r.sanitizerReport(), r.err.constData());
        QVERIFY2(r.exitCode == 0 || r.exitCode == 3, r.err.constData());
        const ShardReport got = readShardReport(report);
        QCOMPARE(got.summary.value("shard").toString(), shard);
        QCOMPARE(got.summary.value("shard_count").toInt(), shards);
        QCOMPARE(got.summary.value("folders_total").toInt(), 200);
        const int mine = int(got.summary.value("folders").toArray().size());
        QVERIFY2(r.out.contains(QStringLiteral("shard %1: %2 of 200 folder(s)\n").arg(shard).arg(mine).toUtf8()),
                 r.out.constData());
        for (const QJsonValue& folder : got.summary.value("folders").toArray()) {
            const QString relative = QDir(split).relativeFilePath(folder.toString());
            QVERIFY2(!folders.contains(relative), qPrintable(relative + " ran twice"));
            folders.insert(relative);
        }
        for (const QJsonObject& o : got.archives)
            facts << archiveFact(o, split);
        processed += got.summary.value("processed").toInteger();
        damagedSum += got.summary.value("damaged").toInteger();
        purged += got.summary.value("purged").toInteger();
        damageLines += int(r.err.count("tamsorel: damaged: "));
        QCOMPARE(r.exitCode, got.summary.value("damaged").toInt() > 0 ? 3 : 0);
    }
    facts.sort();
    QCOMPARE(folders.size(), 200);
    QCOMPARE(facts, expectedFacts);
    QCOMPARE(processed, expected.summary.value("processed").toInteger());
    QCOMPARE(damagedSum, qint64(damaged));
    QCOMPARE(damageLines, damaged);
    QCOMPARE(purged, expected.summary.value("purged").toInteger());
    QCOMPARE(treeHashes(split), treeHashes(whole));
}

void E2eShards::killedShardRunAgain()
{
    const QString whole = m_root->filePath("whole");
    const QString split = m_root->filePath("split");
    QVERIFY(makeShardTree(whole));
    QVERIFY(makeShardTree(split));
    // A big archive with an entry to purge in a folder of shard 0 of 2, in both trees: its rewrite takes a
    // while, and the kill comes in the middle of it.
    const qint64 size = kSanitized ? 64 << 20 : 256 << 20;
    QString bigFolder;
    for (int d = 0; d < 39 && bigFolder.isEmpty(); ++d) {
        const QString place = QStringLiteral("d%1").arg(d, 2, 10, QLatin1Char('0'));
        if (shardOf(place.toUtf8(), 2) == 0)
            bigFolder = place;
    }
    QVERIFY(!bigFolder.isEmpty());
    for (const QString& root : {whole, split}) {
        StreamZip zip(root + u'/' + bigFolder + QStringLiteral("/big.zip"));
        zip.add("thumbs.db", QByteArray(3000, 't'));
        zip.addRandom("data.bin", size, 5);
        QVERIFY(zip.finish());
    }
    const QByteArray bigBefore = hashOf(split + u'/' + bigFolder + QStringLiteral("/big.zip"));
    QCOMPARE(runArgs(*m_program, {"-r", whole}).exitCode, 3);

    QProcess p;
    prepare(p, *m_program, QString());
    p.setArguments({"-r", "--shard", "0/2", split});
    p.start();
    QVERIFY(p.waitForStarted());
    QElapsedTimer wait;
    wait.start();
    const QString bigPath = split + u'/' + bigFolder;
    while (temporaries(bigPath).isEmpty() && p.state() == QProcess::Running && wait.elapsed() < 120000)
        QThread::usleep(200);
    const bool inRewrite = !temporaries(bigPath).isEmpty();
    ::kill(pid_t(p.processId()), SIGKILL);
    p.waitForFinished();
    QVERIFY2(inRewrite, "the shard ended before the rewrite of the big archive");
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);
    QCOMPARE(hashOf(bigPath + QStringLiteral("/big.zip")), bigBefore); // whole, as it was

    for (const QString& shard : {QStringLiteral("0/2"), QStringLiteral("1/2")}) {
        const Result r = runArgs(*m_program, {"-r", "--shard", shard, split});
        QVERIFY2(!r.sanitizerReport(), r.err.constData());
        QVERIFY2(r.exitCode == 3 || r.exitCode == 0, r.err.constData());
    }
    QVERIFY(temporaries(bigPath).isEmpty());
    QCOMPARE(treeHashes(split), treeHashes(whole));
}

void E2eShards::badShardValuesAreRefused_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("K not below N") << "3/2";
    QTest::newRow("K equal to N") << "2/2";
    QTest::newRow("no shards") << "0/0";
    QTest::newRow("not a number") << "x/4";
    QTest::newRow("negative") << "-1/2";
    QTest::newRow("no N") << "1/";
    QTest::newRow("no K") << "/2";
    QTest::newRow("three parts") << "1/2/3";
    QTest::newRow("blank") << " 1/2";
    QTest::newRow("empty") << "";
    QTest::newRow("too many shards") << "0/1000001";
    QTest::newRow("beyond an int") << "0/99999999999";
}

void E2eShards::badShardValuesAreRefused()
{
    QFETCH(QString, value);
    const QString zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(zips));
    QVERIFY(testzip::write(zips + "/a.zip", shardTreeArchive(1)));
    const QByteArray before = hashOf(zips + "/a.zip");
    const Result r = runArgs(*m_program, {"-r", "--shard", value, zips});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith("tamsorel: --shard takes K/N, N shards from 1 to 1000000 and K from 0 to N-1, not \"" +
                              value.toUtf8() + "\"\n"),
             r.err.constData());
    QVERIFY(r.out.isEmpty());
    QCOMPARE(hashOf(zips + "/a.zip"), before);
}

QTEST_GUILESS_MAIN(E2eShards)
#include "test_e2e_shards.moc"
