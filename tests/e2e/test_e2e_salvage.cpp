// A signal during salvage ends the run as an abort does anywhere else: status 1, no temporary file left, no
// salvaged copy, the damaged files untouched, the report saying the run was aborted.

#include "E2e.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>

using namespace e2e;

namespace {

// A quarantined archive moved in text mode, big enough that its salvage takes a while: every LF has a CR.
QByteArray textModeArchive(int entries)
{
    QList<testzip::Entry> list;
    for (int i = 0; i < entries; ++i)
        list << testzip::file("part" + QByteArray::number(i) + ".txt", testzip::text(1 << 20, i), false);
    QByteArray out;
    for (char c : testzip::build(list)) {
        if (c == '\n')
            out.append('\r');
        out.append(c);
    }
    return out;
}

} // namespace

class E2eSalvage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        m_program = std::make_unique<Program>(m_root.path());
        QVERIFY(m_program->ok());
    }
    void signalDuringSalvageIsAnAbort_data();
    void signalDuringSalvageIsAnAbort();

private:
    QTemporaryDir m_root;
    std::unique_ptr<Program> m_program;
};

void E2eSalvage::signalDuringSalvageIsAnAbort_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void E2eSalvage::signalDuringSalvageIsAnAbort()
{
    QFETCH(int, signal);
    const QString zips = m_root.filePath(QStringLiteral("zips%1").arg(signal));
    QVERIFY(QDir().mkpath(zips));
    const QByteArray big = textModeArchive(kSanitized ? 24 : 64);
    QVERIFY(testzip::write(zips + "/a.zip.bad", big));
    QVERIFY(testzip::write(zips + "/b.zip.bad", big.left(5000)));
    const QString report = m_root.filePath(QStringLiteral("r%1.jsonl").arg(signal));
    QProcess p;
    prepare(p, *m_program, zips);
    p.setArguments({"--salvage", "--report", report, zips});
    p.start();
    QVERIFY(p.waitForStarted());
    // The text-mode copy of a.zip.bad is being made: salvage is at work.
    QTRY_VERIFY_WITH_TIMEOUT(!temporaries(zips).isEmpty(), 120000);
    ::kill(pid_t(p.processId()), signal);
    const Result r = collect(p, 120000);
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(temporaries(zips).isEmpty(), qPrintable(temporaries(zips).join(u' ')));
    // No salvaged copy: not of the archive in work, and the one after it was never started.
    QCOMPARE(QDir(zips).entryList(QDir::Files | QDir::Hidden), (QStringList{"a.zip.bad", "b.zip.bad"}));
    QCOMPARE(testzip::readAll(zips + "/a.zip.bad"), big);
    QFile f(report);
    QVERIFY(f.open(QIODevice::ReadOnly));
    bool salvageAborted = false;
    bool runAborted = false;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        salvageAborted = salvageAborted || o["salvage"].toObject()["status"].toString() == QStringLiteral("aborted");
        runAborted = runAborted || o["aborted"].toBool();
    }
    QVERIFY(salvageAborted);
    QVERIFY(runAborted);
}

QTEST_GUILESS_MAIN(E2eSalvage)
#include "test_e2e_salvage.moc"
