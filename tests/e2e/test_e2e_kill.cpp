// The program killed (SIGKILL) at random moments while it rewrites a large archive: the archive is always
// either the original, byte for byte, or the complete cleaned archive, and the next run leaves no
// temporary file beside it.

#include "e2e/E2e.h"

#include <QElapsedTimer>
#include <QThread>

using namespace e2e;

class E2eKill : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void killedRewriteLosesNothing();

private:
    QTemporaryDir m_root;
    QString m_original;
    QByteArray m_originalHash;
    QByteArray m_cleanedHash;
    qint64 m_runMs = 0;
};

void E2eKill::initTestCase()
{
    QVERIFY(m_root.isValid());
    Program program(m_root.path());
    QVERIFY(program.ok());
    QVERIFY(program.setPurge("thumbs.db\n"));
    // The entry to purge comes first, so the rewrite copies nearly the whole archive.
    // The copy runs in the kernel, as fast under the sanitizers: the size is the same in both builds.
    const qint64 bigSize = 128 << 20;
    QDir().mkpath(m_root.filePath("src"));
    m_original = m_root.filePath("src/big.zip");
    StreamZip zip(m_original);
    zip.add("thumbs.db", QByteArray(3000, 't'));
    zip.addRandom("data.bin", bigSize, 7);
    zip.add("readme.txt", "read me\r\n");
    QVERIFY(zip.finish());
    m_originalHash = hashOf(m_original);

    // The reference: the same archive cleaned by an undisturbed run.
    QDir().mkpath(m_root.filePath("ref"));
    const QString ref = m_root.filePath("ref/big.zip");
    QVERIFY(QFile::copy(m_original, ref));
    QElapsedTimer clock;
    clock.start();
    const Result r = run(program, m_root.filePath("ref"));
    m_runMs = clock.elapsed();
    E2E_VERIFY_ENDED(r);
    QCOMPARE(testzip::names(ref), (QStringList{"data.bin", "readme.txt"}));
    m_cleanedHash = hashOf(ref);
    QVERIFY(m_cleanedHash != m_originalHash);
    qInfo("undisturbed run on a %lld MB archive: %lld ms", bigSize >> 20, m_runMs);
}

void E2eKill::killedRewriteLosesNothing()
{
    Program program(m_root.path() + "/killrun");
    QVERIFY(program.ok());
    QVERIFY(program.setPurge("thumbs.db\n"));
    const QString work = m_root.filePath("work");
    const QString archive = work + "/big.zip";
    QDir().mkpath(work);
    QRandomGenerator rng(20240601);
    int original = 0, cleaned = 0, tempLeft = 0, duringRewrite = 0;

    for (int round = 0; round < 20; ++round) {
        QFile::remove(archive);
        QVERIFY(QFile::copy(m_original, archive));
        QVERIFY(temporaries(work).isEmpty());

        QProcess p;
        prepare(p, program, work);
        p.start();
        QVERIFY(p.waitForStarted());
        if (round % 2 == 0) {
            // Even rounds: a moment inside the rewrite, once its temporary file exists.
            QElapsedTimer wait;
            wait.start();
            while (temporaries(work).isEmpty() && p.state() == QProcess::Running && wait.elapsed() < 60000)
                QThread::usleep(200);
            // The copy of the big entry takes tens of milliseconds; the kill lands within them or just after.
            QThread::usleep(rng.bounded(40000u));
        } else {
            // Odd rounds: any moment of the whole run.
            QThread::msleep(rng.bounded(quint32(std::max<qint64>(1, m_runMs))));
        }
        const bool tempBeforeKill = !temporaries(work).isEmpty();
        p.kill();
        QVERIFY(p.waitForFinished(30000));
        if (tempBeforeKill && p.exitStatus() == QProcess::CrashExit)
            ++duringRewrite;

        const QByteArray after = hashOf(archive);
        QVERIFY2(
            after == m_originalHash || after == m_cleanedHash,
            qPrintable(QStringLiteral("round %1: the archive is neither the original nor the cleaned one").arg(round)));
        (after == m_originalHash ? original : cleaned)++;
        if (!temporaries(work).isEmpty())
            ++tempLeft;

        // The next run finishes the work and removes what the killed one left.
        const Result r = run(program, work);
        E2E_VERIFY_ENDED(r);
        QVERIFY2(temporaries(work).isEmpty(), qPrintable(temporaries(work).join(u' ')));
        QCOMPARE(hashOf(archive), m_cleanedHash);
        QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"big.zip"});
    }
    qInfo("20 kills: %d left the original, %d the cleaned archive; %d hit the rewrite, %d left a temporary file",
          original, cleaned, duringRewrite, tempLeft);
    // The test means nothing unless a good share of the kills land inside the rewrite.
    QVERIFY2(duringRewrite >= 5, qPrintable(QString::number(duringRewrite)));
}

QTEST_GUILESS_MAIN(E2eKill)
#include "test_e2e_kill.moc"
