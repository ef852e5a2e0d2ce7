// Faults from the outside while the program cleans a folder unattended: a full disk, a folder turning
// read-only, archives vanishing or turning into folders, the purge list deleted, link loops, an archive the
// user may not read. Every archive stays intact or ends cleaned, nothing else changes, and the run ends
// normally.

#include "e2e/E2e.h"
#include "testsupport/ReadOnlyMount.h"

#include <QElapsedTimer>
#include <QThread>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

// A junk entry first, then the entry that stays.
QByteArray junkArchive(int seed)
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("keep.txt", testzip::text(2000, seed))});
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::usleep(300);
    }
    return true;
}

} // namespace

class E2eFaults : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void fullDiskKeepsEveryArchive();
    void folderTurnsReadOnlyMidRun();
    void archiveGoneBetweenListingAndPurge_data();
    void archiveGoneBetweenListingAndPurge();
    void purgeListDeletedDuringRun();
    void symbolicLinkLoops();
    void archiveWithoutReadPermission();
    void staleTemporariesGoLookAlikesStay();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
    QString m_zips;
};

void E2eFaults::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_program = std::make_unique<Program>(m_root->path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
    m_zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(m_zips));
}

void E2eFaults::fullDiskKeepsEveryArchive()
{
    // Files may grow to 1 MiB: the rewrites of the 4 MiB archives fail, those of the small ones succeed.
    for (const char* big : {"a.zip", "c.zip"}) {
        StreamZip zip(m_zips + u'/' + QLatin1String(big));
        zip.add("thumbs.db", "junk");
        zip.addRandom("data.bin", 4 << 20, 3);
        QVERIFY(zip.finish());
    }
    QVERIFY(testzip::write(m_zips + "/b.zip", junkArchive(1)));
    QVERIFY(testzip::write(m_zips + "/d.zip", junkArchive(2)));
    const QByteArray bigHash = hashOf(m_zips + "/a.zip");

    const Result r = run(*m_program, m_zips, [] {
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead of ending the process
        const rlimit limit{1 << 20, 1 << 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    E2E_VERIFY_ENDED(r);
    QVERIFY2(r.out.contains(" 4 zip(s) processed, 0 bad"), r.out.constData());
    QCOMPARE(hashOf(m_zips + "/a.zip"), bigHash);
    QCOMPARE(hashOf(m_zips + "/c.zip"), bigHash);
    QCOMPARE(testzip::names(m_zips + "/b.zip"), QStringList{"keep.txt"});
    QCOMPARE(testzip::names(m_zips + "/d.zip"), QStringList{"keep.txt"});
    QCOMPARE(tree(m_zips), (QStringList{"a.zip", "b.zip", "c.zip", "d.zip"}));
}

void E2eFaults::folderTurnsReadOnlyMidRun()
{
    ReadOnlyMount mount(m_root->filePath("mnt"));
    if (!mount.available())
        QSKIP("cannot mount a tmpfs here (needs root): no honest read-only folder");
    const QByteArray original = junkArchive(5);
    const int count = kSanitized ? 400 : 1500;
    for (int i = 0; i < count; ++i)
        QVERIFY(testzip::write(mount.path() + QStringLiteral("/a%1.zip").arg(i, 5, 10, QLatin1Char('0')), original));
    QVERIFY(testzip::write(m_zips + "/ref.zip", original));
    E2E_VERIFY_ENDED(run(*m_program, m_zips));
    const QByteArray cleaned = hashOf(m_zips + "/ref.zip");

    QProcess p;
    prepare(p, *m_program, mount.path());
    p.start();
    QVERIFY(p.waitForStarted());
    // Once the first archive is cleaned, the file system turns read-only (retried while a file is open for
    // writing, which a remount refuses).
    const QString first = mount.path() + "/a00000.zip";
    QVERIFY(waitFor([&] { return hashOf(first) == cleaned || p.state() != QProcess::Running; }, 120000));
    QVERIFY(waitFor([&] { return mount.makeReadOnly() || p.state() != QProcess::Running; }, 60000));
    const Result r = collect(p, 600000);
    mount.makeWritable();
    E2E_VERIFY_ENDED(r);
    QVERIFY2(r.out.contains(QStringLiteral(" %1 zip(s) processed, 0 bad").arg(count).toLatin1()), r.out.constData());
    int kept = 0, done = 0;
    const QStringList files = tree(mount.path());
    QCOMPARE(files.size(), count); // no temporary file, no renamed archive
    const QByteArray originalHash = QCryptographicHash::hash(original, QCryptographicHash::Sha256).toHex();
    for (const QString& name : files) {
        const QByteArray h = hashOf(mount.path() + u'/' + name);
        if (h == cleaned)
            ++done;
        else if (h == originalHash)
            ++kept;
    }
    qInfo("read-only after the first archive: %d cleaned, %d left as they were", done, kept);
    QCOMPARE(done + kept, count);
    QVERIFY2(kept > 0, "the run ended before the folder turned read-only; the fault was not tried");
}

void E2eFaults::archiveGoneBetweenListingAndPurge_data()
{
    QTest::addColumn<bool>("replaceByFolder");
    QTest::newRow("deleted") << false;
    QTest::newRow("replaced by a folder") << true;
}

void E2eFaults::archiveGoneBetweenListingAndPurge()
{
    QFETCH(bool, replaceByFolder);
    // The listing tests 2 GiB of zeros: time enough to act while it holds the archive open.
    const QString a = m_zips + "/a.zip";
    StreamZip zip(a);
    zip.add("thumbs.db", "junk");
    zip.addDeflatedZeros("zeros.bin", 128);
    QVERIFY(zip.finish());
    QVERIFY(testzip::write(m_zips + "/b.zip", junkArchive(1)));
    // The window shows the first archive before the run starts; a small one takes that place, so the
    // big archive is opened by the run's own listing, after the purge list is loaded.
    QVERIFY(testzip::write(m_zips + "/0.zip", junkArchive(2)));

    QProcess p;
    prepare(p, *m_program, m_zips);
    p.start();
    QVERIFY(p.waitForStarted());
    QVERIFY2(waitFor([&] { return holdsOpen(p.processId(), a); }, 60000), "the program never opened the archive");
    QVERIFY(QFile::remove(a));
    if (replaceByFolder)
        QVERIFY(QDir().mkdir(a));
    const Result r = collect(p, 600000);
    E2E_VERIFY_ENDED(r);
    QVERIFY2(r.out.contains(" 0 bad zip(s)"), r.out.constData());
    QCOMPARE(testzip::names(m_zips + "/b.zip"), QStringList{"keep.txt"});
    if (replaceByFolder) {
        QVERIFY(QFileInfo(a).isDir());
        QCOMPARE(tree(m_zips), (QStringList{"0.zip", "a.zip", "b.zip"}));
    } else {
        QCOMPARE(tree(m_zips), (QStringList{"0.zip", "b.zip"}));
    }
    QCOMPARE(testzip::names(m_zips + "/0.zip"), QStringList{"keep.txt"});
}

void E2eFaults::purgeListDeletedDuringRun()
{
    const QString a = m_zips + "/a.zip";
    StreamZip zip(a);
    zip.add("thumbs.db", "junk");
    zip.addDeflatedZeros("zeros.bin", 128);
    QVERIFY(zip.finish());
    QVERIFY(testzip::write(m_zips + "/b.zip", junkArchive(1)));
    // The window shows the first archive before the run starts; a small one takes that place, so the
    // big archive is opened by the run's own listing, after the purge list is loaded.
    QVERIFY(testzip::write(m_zips + "/0.zip", junkArchive(2)));

    QProcess p;
    prepare(p, *m_program, m_zips);
    p.start();
    QVERIFY(p.waitForStarted());
    QVERIFY(waitFor([&] { return holdsOpen(p.processId(), a); }, 60000));
    QVERIFY(QFile::remove(m_program->purgePath()));
    const Result r = collect(p, 600000);
    E2E_VERIFY_ENDED(r);
    // The run goes on with the list it loaded, and never makes a new one.
    QCOMPARE(testzip::names(a), QStringList{"zeros.bin"});
    QCOMPARE(testzip::names(m_zips + "/b.zip"), QStringList{"keep.txt"});
    QVERIFY(!QFileInfo::exists(m_program->purgePath()));
    QCOMPARE(tree(m_zips), (QStringList{"0.zip", "a.zip", "b.zip"}));
}

void E2eFaults::symbolicLinkLoops()
{
    QVERIFY(QFile::link("self.zip", m_zips + "/self.zip"));
    QVERIFY(QFile::link("y.zip", m_zips + "/x.zip"));
    QVERIFY(QFile::link("x.zip", m_zips + "/y.zip"));
    QVERIFY(QFile::link(".", m_zips + "/sub"));
    QVERIFY(QFile::link("sub/sub/sub/real.zip", m_zips + "/deep.zip"));
    QVERIFY(testzip::write(m_zips + "/real.zip", junkArchive(4)));
    const QStringList before = tree(m_zips);

    const Result r = run(*m_program, m_zips, {}, 120000);
    E2E_VERIFY_ENDED(r);
    QCOMPARE(testzip::names(m_zips + "/real.zip"), QStringList{"keep.txt"});
    QCOMPARE(tree(m_zips), before);
    QCOMPARE(QFileInfo(m_zips + "/self.zip").symLinkTarget(), m_zips + "/self.zip");
    QCOMPARE(QFileInfo(m_zips + "/x.zip").symLinkTarget(), m_zips + "/y.zip");
    QCOMPARE(QFileInfo(m_zips + "/y.zip").symLinkTarget(), m_zips + "/x.zip");
    QVERIFY(QFileInfo(m_zips + "/deep.zip").isSymLink());
}

void E2eFaults::archiveWithoutReadPermission()
{
    // Root reads every file whatever its mode; the program runs as "nobody" so the missing right is real.
    if (geteuid() != 0)
        QSKIP("needs root to run the program as another user");
    const uid_t nobody = 65534;
    const gid_t nogroup = 65534;
    QVERIFY(QFile::setPermissions(m_root->path(), QFileDevice::Permissions(0x7755)));
    QDirIterator it(m_root->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QVERIFY(::chown(QFile::encodeName(m_root->path()).constData(), nobody, nogroup) == 0);
    while (it.hasNext())
        QVERIFY(::chown(QFile::encodeName(it.next()).constData(), nobody, nogroup) == 0);
    const QString secret = m_zips + "/secret.zip";
    QVERIFY(testzip::write(secret, junkArchive(6)));
    QVERIFY(testzip::write(m_zips + "/open.zip", junkArchive(7)));
    QVERIFY(::chown(QFile::encodeName(m_zips + "/open.zip").constData(), nobody, nogroup) == 0);
    QVERIFY(::chmod(QFile::encodeName(secret).constData(), 0) == 0);
    const QByteArray secretHash = hashOf(secret);

    const Result r = run(*m_program, m_zips, [] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
    });
    if (r.exitCode == 99)
        QSKIP("cannot switch to the user nobody here");
    E2E_VERIFY_ENDED(r);
    QVERIFY2(r.out.contains(" 2 zip(s) processed, 0 bad"), r.out.constData());
    QCOMPARE(hashOf(secret), secretHash);
    struct stat st
    {
    };
    QVERIFY(::stat(QFile::encodeName(secret).constData(), &st) == 0);
    QCOMPARE(int(st.st_mode & 07777), 0);
    QCOMPARE(int(st.st_uid), 0);
    QCOMPARE(testzip::names(m_zips + "/open.zip"), QStringList{"keep.txt"});
    QCOMPARE(tree(m_zips), (QStringList{"open.zip", "secret.zip"}));
}

void E2eFaults::staleTemporariesGoLookAlikesStay()
{
    // What a killed rewrite leaves goes; files that only resemble it stay.
    const QString other = m_root->filePath("other");
    QVERIFY(QDir().mkpath(other));
    QVERIFY(testzip::write(m_zips + "/a.zip", junkArchive(1)));
    QVERIFY(testzip::write(other + "/t.zip", junkArchive(2)));
    QVERIFY(QFile::link(other + "/t.zip", m_zips + "/l.zip"));
    // Beside a link's target in another folder nothing is removed: the run writes nothing outside its folder.
    const QStringList stale{m_zips + "/.a.zip.0123abcd.tmp", m_zips + "/.gone.zip.fedcba98.tmp"};
    const QStringList alike{m_zips + "/.a.zip.0123ABCD.tmp",     m_zips + "/.a.zip.tmp",
                            m_zips + "/.notes.txt.0123abcd.tmp", m_zips + "/a.zip.0123abcd.tmp",
                            m_zips + "/.a.zip.0123abcd.tmp.bak", other + "/.u.zip.89abcdef.tmp",
                            other + "/.t.zip.89abcdef.tmp"};
    for (const QString& path : stale + alike)
        QVERIFY(testzip::write(path, "partial"));
    QVERIFY(QFile::link(m_zips + "/a.zip", m_zips + "/.b.zip.00000000.tmp")); // a link is never ours

    const Result r = run(*m_program, m_zips);
    E2E_VERIFY_ENDED(r);
    for (const QString& path : stale)
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    for (const QString& path : alike)
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    QVERIFY(QFileInfo(m_zips + "/.b.zip.00000000.tmp").isSymLink());
    QCOMPARE(testzip::names(m_zips + "/a.zip"), QStringList{"keep.txt"});
    QCOMPARE(testzip::names(other + "/t.zip"), (QStringList{"thumbs.db", "keep.txt"}));
}

QTEST_GUILESS_MAIN(E2eFaults)
#include "test_e2e_faults.moc"
