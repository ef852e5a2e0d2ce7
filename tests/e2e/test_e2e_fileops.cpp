// The program in folders it shares with uploads, other users and their files, run as root as cron runs it:
// older quarantined files, uploads landing during a rewrite, owners, modes and attributes of rewritten
// archives, the verdict cache on file systems whose times prove nothing, and names made to fool a terminal.

#include "e2e/E2e.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace e2e;

namespace {

QByteArray junkArchive(int seed)
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("keep.txt", testzip::text(800, seed))});
}

QByteArray damagedArchive(int seed)
{
    QByteArray bytes = junkArchive(seed);
    bytes[40] = char(bytes[40] ^ 0x55); // inside the first entry's data: its CRC no longer matches
    return bytes;
}

struct stat statOf(const QString& path)
{
    struct stat st = {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

// A big archive whose sync the slow disk holds back: the entry to purge comes first.
bool writeBig(const QString& path, qint64 size)
{
    StreamZip zip(path);
    zip.add("thumbs.db", QByteArray(3000, 't'));
    zip.addRandom("data.bin", size, 11);
    return zip.finish();
}

} // namespace

class E2eFileOps : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void olderQuarantine_data();
    void olderQuarantine();
    void uploadDuringSync();
    void ownerModeAttributes_data();
    void ownerModeAttributes();
    void linksAndTwins_data();
    void linksAndTwins();
    void cacheOnCoarseTimes();
    void escapedNames();

private:
    Result runWith(const QStringList& args, const QProcessEnvironment& env = environment());
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
    QString m_zips;
};

void E2eFileOps::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_program = std::make_unique<Program>(m_root->path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
    m_zips = m_root->filePath("zips");
    QVERIFY(QDir().mkpath(m_zips));
}

Result E2eFileOps::runWith(const QStringList& args, const QProcessEnvironment& env)
{
    QProcess p;
    prepare(p, *m_program, m_zips);
    p.setArguments(args);
    p.setProcessEnvironment(env);
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, 300000);
}

void E2eFileOps::olderQuarantine_data()
{
    QTest::addColumn<QString>("older"); // what is at x.zip.bad before the run: "differs", "identical", "folder"
    QTest::addColumn<bool>("salvage");
    QTest::newRow("an older .bad that differs is kept") << "differs" << false;
    QTest::newRow("an identical .bad is replaced") << "identical" << false;
    QTest::newRow("a folder in the way: not cleaned") << "folder" << false;
    QTest::newRow("an older .bad kept aside is salvaged too") << "differs" << true;
}

void E2eFileOps::olderQuarantine()
{
    QFETCH(QString, older);
    QFETCH(bool, salvage);
    const QString archive = m_zips + "/x.zip";
    const QByteArray damaged = damagedArchive(1);
    QVERIFY(testzip::write(archive, damaged));
    const QByteArray earlier = damagedArchive(2);
    if (older == "folder")
        QVERIFY(QDir().mkdir(archive + ".bad"));
    else
        QVERIFY(testzip::write(archive + ".bad", older == "identical" ? damaged : earlier));
    const Result r = runWith(salvage ? QStringList{"--salvage", m_zips} : QStringList{m_zips});
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.status, QProcess::NormalExit);
    if (older == "folder") {
        // Nothing renamed, nothing counted as renamed, and said.
        QCOMPARE(testzip::readAll(archive), damaged);
        QVERIFY(QFileInfo(archive + ".bad").isDir());
        QVERIFY2(r.err.contains("not cleaned: " + QFile::encodeName(archive)) && r.err.contains("folder"),
                 r.err.constData());
        QVERIFY2(r.out.contains(" 0 bad zip(s) found"), r.out.constData());
        return;
    }
    QVERIFY2(r.out.contains(" 1 bad zip(s) found"), r.out.constData());
    QVERIFY(!QFileInfo::exists(archive));
    QCOMPARE(testzip::readAll(archive + ".bad"), damaged);
    QCOMPARE(QFileInfo::exists(archive + ".bad.1"), older == "differs");
    if (older == "differs") {
        QCOMPARE(testzip::readAll(archive + ".bad.1"), earlier);
        QVERIFY2(r.err.contains("kept the older " + QFile::encodeName(archive) + ".bad as x.zip.bad.1"),
                 r.err.constData());
    }
    if (salvage) {
        // Both damaged archives get their own salvaged copy.
        QVERIFY2(QFileInfo::exists(m_zips + "/x.salvaged.zip"), r.err.constData());
        QVERIFY2(QFileInfo::exists(m_zips + "/x.zip.bad.1.salvaged.zip"), r.err.constData());
        QCOMPARE(testzip::names(m_zips + "/x.zip.bad.1.salvaged.zip"), QStringList{"keep.txt"});
    }
}

void E2eFileOps::uploadDuringSync()
{
    // The archive's rewrite is held in its sync; meanwhile an upload takes its name. The upload must stay
    // whole, with its new entry: it is judged and purged on its own.
    const QString archive = m_zips + "/a.zip";
    QVERIFY(writeBig(archive, kSanitized ? 4 << 20 : 16 << 20));
    const QByteArray upload =
        testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("new.txt", "the upload's own entry")});
    QProcess p;
    prepare(p, *m_program, m_zips);
    const QString mark = m_root->filePath("syncing");
    QProcessEnvironment env = environment();
    env.insert("LD_PRELOAD", SLOWDISK_LIBRARY);
    env.insert("SLOWDISK_MARK", mark);
    env.insert("SLOWDISK_COPY_MS", "0");
    env.insert("SLOWDISK_SYNC_MS", "2000");
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    p.setProcessEnvironment(env);
    p.start();
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(mark), 120000);
    QVERIFY(testzip::write(m_zips + "/.upload.part", upload));
    QVERIFY(::rename(QFile::encodeName(m_zips + "/.upload.part").constData(), QFile::encodeName(archive).constData()) ==
            0);
    const Result r = collect(p, 120000);
    E2E_VERIFY_ENDED(r);
    QCOMPARE(testzip::names(archive), QStringList{"new.txt"});
    QCOMPARE(testzip::content(archive, "new.txt"), QByteArray("the upload's own entry"));
    QCOMPARE(temporaries(m_zips), QStringList());
}

void E2eFileOps::ownerModeAttributes_data()
{
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QByteArray>("xattr"); // name=value, or empty
    QTest::addColumn<bool>("junk");        // false: a clean archive the run does not rewrite
    QTest::newRow("nobody's 0640 archive stays nobody's") << 65534u << 0640u << QByteArray() << true;
    QTest::newRow("a 0444 archive stays 0444 after its purge") << 0u << 0444u << QByteArray() << true;
    QTest::newRow("a clean 0444 archive is not widened") << 0u << 0444u << QByteArray() << false;
    QTest::newRow("an extended attribute is kept") << 0u << 0644u << QByteArray("user.origin=ftp") << true;
    // An ACL granting user nobody read access: version 2, then USER_OBJ rw, USER nobody r, GROUP_OBJ r, MASK r,
    // OTHER none.
    QByteArray acl = QByteArray::fromHex("02000000"
                                         "01000600ffffffff"
                                         "02000400feff0000"
                                         "04000400ffffffff"
                                         "10000400ffffffff"
                                         "20000000ffffffff");
    QTest::newRow("an ACL is kept") << 0u << 0640u << QByteArray("system.posix_acl_access=") + acl << true;
}

void E2eFileOps::ownerModeAttributes()
{
    QFETCH(uint, owner);
    QFETCH(uint, mode);
    QFETCH(QByteArray, xattr);
    QFETCH(bool, junk);
    if (owner != ::geteuid() && ::geteuid() != 0)
        QSKIP("needs root to give an archive to another user");
    const QString archive = m_zips + "/a.zip";
    const QByteArray native = QFile::encodeName(archive);
    QVERIFY(testzip::write(archive, junk ? junkArchive(1) : testzip::build({testzip::file("keep.txt", "k")})));
    QVERIFY(::chown(native.constData(), owner, owner) == 0);
    const QByteArray name = xattr.left(qMax<qsizetype>(xattr.indexOf('='), 0));
    const QByteArray value = xattr.mid(name.size() + 1);
    if (!name.isEmpty() && ::setxattr(native.constData(), name.constData(), value.constData(), value.size(), 0) != 0)
        QSKIP("this file system does not keep that extended attribute");
    QVERIFY(::chmod(native.constData(), mode) == 0);
    const struct stat before = statOf(archive);
    const Result r = runWith({m_zips});
    E2E_VERIFY_ENDED(r);
    QCOMPARE(testzip::names(archive), QStringList{"keep.txt"});
    const struct stat after = statOf(archive);
    QCOMPARE(after.st_ino != before.st_ino, junk);
    QCOMPARE(uint(after.st_uid), owner);
    QCOMPARE(uint(after.st_gid), owner);
    QCOMPARE(uint(after.st_mode & 07777), mode);
    if (!name.isEmpty()) {
        QByteArray kept(256, '\0');
        const ssize_t n = ::getxattr(native.constData(), name.constData(), kept.data(), size_t(kept.size()));
        QCOMPARE(kept.left(qMax<ssize_t>(n, 0)), value);
    }
}

void E2eFileOps::linksAndTwins_data()
{
    QTest::addColumn<QString>("kind"); // "hard link", "link out", "damaged link out"
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("an archive with a hard-linked twin is not rewritten") << "hard link" << QByteArray("hard links");
    QTest::newRow("a link out of the folder is tested, not rewritten") << "link out" << QByteArray("another folder");
    QTest::newRow("a damaged link out of the folder is renamed itself") << "damaged link out" << QByteArray();
}

void E2eFileOps::linksAndTwins()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, said);
    const QString elsewhere = m_root->filePath("elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
    const QString archive = m_zips + "/a.zip";
    const QString file = kind == "hard link" ? archive : elsewhere + "/a.zip";
    const QByteArray bytes = kind == "damaged link out" ? damagedArchive(1) : junkArchive(1);
    QVERIFY(testzip::write(file, bytes));
    if (kind == "hard link")
        QVERIFY(::link(QFile::encodeName(archive).constData(),
                       QFile::encodeName(elsewhere + "/twin.zip").constData()) == 0);
    else
        QVERIFY(QFile::link(file, archive));
    const Result r = runWith({m_zips});
    E2E_VERIFY_ENDED_WITH(r, kind == "damaged link out" ? 3 : 0); // 3: the run found damage
    QCOMPARE(testzip::readAll(file), bytes);
    QCOMPARE(temporaries(elsewhere), QStringList());
    if (kind == "damaged link out") {
        QVERIFY(QFileInfo(archive + ".bad").isSymLink());
        QCOMPARE(QFileInfo(archive + ".bad").symLinkTarget(), file);
        QCOMPARE(QDir(elsewhere).entryList(QDir::Files), QStringList{"a.zip"});
        return;
    }
    QVERIFY2(r.err.contains("not purged: " + QFile::encodeName(archive)) && r.err.contains(said), r.err.constData());
}

void E2eFileOps::cacheOnCoarseTimes()
{
    // FAT cannot be mounted here: a stand-in makes the folder report itself as vfat.
    QVERIFY(testzip::write(m_zips + "/a.zip", testzip::build({testzip::file("keep.txt", "k")})));
    QProcessEnvironment env = environment();
    env.insert("LD_PRELOAD", FAKEFS_LIBRARY);
    env.insert("FAKEFS_ROOT", m_zips);
    env.insert("FAKEFS_TYPE", "4d44");
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    const QString report = m_root->filePath("r.jsonl");
    for (int run = 0; run < 2; ++run) {
        const Result r = runWith({"--incremental", "--report", report, m_zips}, env);
        E2E_VERIFY_ENDED(r);
        QCOMPARE(r.err.count("whose times do not show every change"), 1);
        QFile f(report);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject first = QJsonDocument::fromJson(f.readLine()).object();
        QCOMPARE(first["data"].toString(), QStringLiteral("read"));
    }
}

void E2eFileOps::escapedNames()
{
    // A damaged archive whose name would retitle the terminal and clear it.
    const QString name = QString::fromUtf8("a\x1b]0;owned\x07\x1b[2J.zip");
    QVERIFY(testzip::write(m_zips + "/" + name, damagedArchive(1)));
    QVERIFY(testzip::write(m_zips + "/b\x1b[31m.zip", junkArchive(2)));
    const Result r = runWith({"--dry-run", m_zips});
    QVERIFY2(!r.sanitizerReport(), r.err.constData());
    QCOMPARE(r.exitCode, 3); // a dry run that finds damage says so by its status
    QVERIFY2(!r.out.contains('\x1b') && !r.out.contains('\x07'), r.out.toHex().constData());
    QVERIFY2(!r.err.contains('\x1b') && !r.err.contains('\x07'), r.err.toHex().constData());
    QVERIFY2(r.out.contains("a\\x1b]0;owned\\x07\\x1b[2J.zip"), r.out.constData());
    QVERIFY2(r.out.contains("b\\x1b[31m.zip: would purge thumbs.db"), r.out.constData());
}

QTEST_GUILESS_MAIN(E2eFileOps)
#include "test_e2e_fileops.moc"
