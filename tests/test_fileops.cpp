// File operations in folders shared with other users and uploads: names shown on a terminal, file system
// kinds, renames that never replace, rewrites that keep or refuse, locks and the verdict cache's own file.

#include "app/RunLock.h"
#include "app/UnattendedRun.h"
#include "testsupport/TestArchives.h"
#include "zip/DiskName.h"
#include "zip/FileOps.h"
#include "zip/FileSystemKind.h"
#include "zip/ShownText.h"
#include "zip/VerdictCache.h"
#include "zip/ZipComponent.h"
#include "zip/ZipJob.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

QByteArray junkArchive()
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("keep.txt", testzip::text(900, 3))});
}

qint16 purge(const QString& path, const std::function<void()>& hook = {})
{
    ZipComponent zip;
    zip.ArchivePath = path;
    zip.EntryMask = QStringLiteral("thumbs.db");
    if (hook)
        zip.setProgressHook(hook);
    return zip.DeleteEntries();
}

mode_t modeOf(const QString& path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs body in a child process as the user nobody; its answer is the child's exit status.
int asNobody(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

class TestFileOps : public QObject
{
    Q_OBJECT
private slots:
    void escapes_data();
    void escapes();
    void fileSystemKinds_data();
    void fileSystemKinds();
    void renameNeverReplaces_data();
    void renameNeverReplaces();
    void newFileNeverReplaces_data();
    void newFileNeverReplaces();
    void rewriteKeepsOrRefuses_data();
    void rewriteKeepsOrRefuses();
    void asAnotherUser_data();
    void asAnotherUser();
    void lockWaits_data();
    void lockWaits();
    void lockIsOfTheExactFolder_data();
    void lockIsOfTheExactFolder();
    void cacheFile_data();
    void cacheFile();
    void carriedNames_data();
    void carriedNames();
};

void TestFileOps::escapes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name"); // escapedName of the bytes
    QTest::addColumn<QString>("line"); // escapedControls of the decoded text
    QTest::newRow("title escape") << QByteArray("a\x1b]0;owned\x07.zip") << "a\\x1b]0;owned\\x07.zip"
                                  << "a\\x1b]0;owned\\x07.zip";
    QTest::newRow("clear screen") << QByteArray("\x1b[2J.zip") << "\\x1b[2J.zip"
                                  << "\\x1b[2J.zip";
    QTest::newRow("DEL") << QByteArray("a\x7f.zip") << "a\\x7f.zip"
                         << "a\\x7f.zip";
    QTest::newRow("C1 CSI as UTF-8") << QByteArray("a\xc2\x9b"
                                                   "2J.zip")
                                     << "a\\xc2\\x9b2J.zip"
                                     << "a\\xc2\\x9b2J.zip";
    QTest::newRow("new line and tab") << QByteArray("a\nb\tc.zip") << "a\\x0ab\\x09c.zip"
                                      << "a\\x0ab\\x09c.zip";
    QTest::newRow("UTF-8 kept") << QByteArray("caf\xc3\xa9.zip") << QString::fromUtf8("caf\xc3\xa9.zip")
                                << QString::fromUtf8("caf\xc3\xa9.zip");
    QTest::newRow("backslash in a raw name") << QByteArray("a\\b.zip") << "a\\x5cb.zip"
                                             << "a\\b.zip";
}

void TestFileOps::escapes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(QString, line);
    QCOMPARE(escapedName(bytes), name);
    QCOMPARE(shown::escapedControls(QString::fromUtf8(bytes)), line);
}

void TestFileOps::fileSystemKinds_data()
{
    QTest::addColumn<quint64>("type");
    QTest::addColumn<QByteArray>("mount");
    QTest::addColumn<int>("kind");
    const int ordinary = int(FileSystemKind::Ordinary);
    const int coarse = int(FileSystemKind::CoarseTimes);
    const int network = int(FileSystemKind::Network);
    QTest::newRow("vfat") << quint64(0x4d44) << QByteArray("vfat") << coarse;
    QTest::newRow("exfat") << quint64(0x2011bab0) << QByteArray("exfat") << coarse;
    QTest::newRow("exfat by FUSE") << quint64(0x65735546) << QByteArray("fuse.exfat") << coarse;
    QTest::newRow("vfat by FUSE") << quint64(0x65735546) << QByteArray("fuse.fusefat") << coarse;
    QTest::newRow("NFS") << quint64(0x6969) << QByteArray("nfs4") << network;
    QTest::newRow("CIFS") << quint64(0xff534d42) << QByteArray("cifs") << network;
    QTest::newRow("SMB2") << quint64(0xfe534d42) << QByteArray("smb3") << network;
    QTest::newRow("sshfs") << quint64(0x65735546) << QByteArray("fuse.sshfs") << network;
    QTest::newRow("ext4") << quint64(0xef53) << QByteArray("ext4") << ordinary;
    QTest::newRow("tmpfs") << quint64(0x01021994) << QByteArray("tmpfs") << ordinary;
    QTest::newRow("NTFS by FUSE") << quint64(0x65735546) << QByteArray("fuseblk") << ordinary;
}

void TestFileOps::fileSystemKinds()
{
    QFETCH(quint64, type);
    QFETCH(QByteArray, mount);
    QFETCH(int, kind);
    QCOMPARE(int(fileSystemKind(type, mount)), kind);
}

void TestFileOps::renameNeverReplaces_data()
{
    QTest::addColumn<QString>("inTheWay"); // "", "file", "folder", "link"
    QTest::addColumn<bool>("renamed");
    QTest::newRow("free name") << "" << true;
    QTest::newRow("a file in the way") << "file" << false;
    QTest::newRow("a folder in the way") << "folder" << false;
    QTest::newRow("a dangling link in the way") << "link" << false;
}

void TestFileOps::renameNeverReplaces()
{
    QFETCH(QString, inTheWay);
    QFETCH(bool, renamed);
    QTemporaryDir dir;
    const QString from = dir.filePath("x.zip");
    const QString to = dir.filePath("x.zip.bad");
    QVERIFY(testzip::write(from, "new"));
    if (inTheWay == "file")
        QVERIFY(testzip::write(to, "older"));
    else if (inTheWay == "folder")
        QVERIFY(QDir().mkdir(to));
    else if (inTheWay == "link")
        QVERIFY(QFile::link(dir.filePath("nowhere"), to));
    QString why;
    QCOMPARE(fileops::renameNoReplace(from, to, &why), renamed);
    QCOMPARE(why.isEmpty(), renamed);
    QCOMPARE(QFileInfo::exists(from), !renamed);
    if (inTheWay == "file")
        QCOMPARE(testzip::readAll(to), QByteArray("older"));
    if (inTheWay == "link")
        QVERIFY(QFileInfo(to).isSymLink());
    if (renamed)
        QCOMPARE(testzip::readAll(to), QByteArray("new"));
}

void TestFileOps::newFileNeverReplaces_data()
{
    QTest::addColumn<bool>("planted");
    QTest::addColumn<uint>("mode");
    QTest::newRow("free name, a private archive's mode") << false << 0600u;
    QTest::newRow("free name, a group archive's mode") << false << 0640u;
    QTest::newRow("a file planted at the name") << true << 0644u;
}

void TestFileOps::newFileNeverReplaces()
{
    QFETCH(bool, planted);
    QFETCH(uint, mode);
    QTemporaryDir dir;
    const QString target = dir.filePath("x.salvaged.zip");
    zipjob::TempFile temp(dir.path(), "x.salvaged.zip");
    QVERIFY(temp.isOpen());
    QVERIFY(temp.write("copy", 4));
    if (planted)
        QVERIFY(testzip::write(target, "planted"));
    const auto named = temp.nameNew(target, mode);
    QCOMPARE(named == zipjob::TempFile::Named::Exists, planted);
    QCOMPARE(testzip::readAll(target), planted ? QByteArray("planted") : QByteArray("copy"));
    if (!planted)
        QCOMPARE(uint(modeOf(target)), mode);
    temp.discard();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestFileOps::rewriteKeepsOrRefuses_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("code");
    QTest::newRow("read-only archive stays read-only") << "0444" << int(ZipSuccess);
    QTest::newRow("hard link: not rewritten") << "hardlink" << int(ZipHardLinked);
    QTest::newRow("link out of the folder: not rewritten") << "outside" << int(ZipLinkOutside);
    QTest::newRow("link within the folder: its file rewritten") << "inside" << int(ZipSuccess);
    QTest::newRow("upload swapped in during the rewrite") << "upload" << int(ZipArchiveChanged);
    QTest::newRow("extended attribute kept") << "xattr" << int(ZipSuccess);
    QTest::newRow("no ACL from the folder's default") << "inherited" << int(ZipSuccess);
}

void TestFileOps::rewriteKeepsOrRefuses()
{
    QFETCH(QString, setup);
    QFETCH(int, code);
    QTemporaryDir root;
    const QString folder = root.filePath("zips");
    const QString other = root.filePath("other");
    QVERIFY(QDir().mkpath(folder) && QDir().mkpath(other));
    const QString archive = folder + "/x.zip";
    QString file = archive; // the file the name stands for
    if (setup == "outside" || setup == "inside") {
        file = (setup == "outside" ? other : folder) + "/target.zip";
        QVERIFY(QFile::link(file, archive));
    }
    QVERIFY(testzip::write(file, junkArchive()));
    const QByteArray before = testzip::readAll(file);
    if (setup == "0444")
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0444) == 0);
    if (setup == "hardlink")
        QVERIFY(::link(QFile::encodeName(file).constData(), QFile::encodeName(other + "/twin.zip").constData()) == 0);
    if (setup == "xattr" && ::setxattr(QFile::encodeName(file).constData(), "user.origin", "upload", 6, 0) != 0)
        QSKIP("this file system keeps no user extended attributes");
    // A default ACL on the folder (user nobody may read), which the new file would inherit.
    const QByteArray acl = QByteArray::fromHex("02000000"
                                               "01000600ffffffff02000400feff000004000400ffffffff"
                                               "10000400ffffffff20000000ffffffff");
    if (setup == "inherited" && ::setxattr(QFile::encodeName(folder).constData(), "system.posix_acl_default",
                                           acl.constData(), size_t(acl.size()), 0) != 0)
        QSKIP("this file system keeps no ACLs");
    const QByteArray upload =
        testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("new.txt", "the upload")});
    bool swapped = false;
    const qint16 rc = purge(archive, [&] {
        // Once the new file is being written, an upload takes the archive's name.
        if (setup != "upload" || swapped || QDir(folder).entryList({".*.tmp"}, QDir::Files | QDir::Hidden).isEmpty())
            return;
        swapped = testzip::write(folder + "/upload.part", upload) &&
                  ::rename(QFile::encodeName(folder + "/upload.part").constData(),
                           QFile::encodeName(archive).constData()) == 0;
    });
    QCOMPARE(int(rc), code);
    QCOMPARE(QDir(folder).entryList({".*.tmp"}, QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(QDir(other).entryList({".*.tmp"}, QDir::Files | QDir::Hidden), QStringList());
    if (setup == "upload") {
        QVERIFY(swapped);
        QCOMPARE(testzip::readAll(archive), upload);
        return;
    }
    const bool rewritten = code == ZipSuccess;
    const QStringList names = rewritten ? QStringList{"keep.txt"} : QStringList{"thumbs.db", "keep.txt"};
    QCOMPARE(testzip::names(file), names);
    if (!rewritten)
        QCOMPARE(testzip::readAll(file), before);
    if (setup == "0444")
        QCOMPARE(uint(modeOf(file)), 0444u);
    if (setup == "hardlink")
        QCOMPARE(testzip::readAll(other + "/twin.zip"), before);
    if (setup == "outside" || setup == "inside")
        QVERIFY(QFileInfo(archive).isSymLink());
    if (setup == "inherited") {
        char value[64];
        QCOMPARE(::getxattr(QFile::encodeName(file).constData(), "system.posix_acl_access", value, sizeof value),
                 ssize_t(-1));
    }
    if (setup == "xattr") {
        char value[16] = {};
        QCOMPARE(::getxattr(QFile::encodeName(file).constData(), "user.origin", value, sizeof value), ssize_t(6));
        QCOMPARE(QByteArray(value), QByteArray("upload"));
    }
}

void TestFileOps::asAnotherUser_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("root's 0666 archive in an open folder: not taken by the user") << "archive";
    QTest::newRow("a lock held by another user on the folder") << "lock";
}

void TestFileOps::asAnotherUser()
{
    QFETCH(QString, what);
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    QTemporaryDir root;
    QVERIFY(::chmod(QFile::encodeName(root.path()).constData(), 0755) == 0);
    const QString folder = root.filePath("zips");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 01777) == 0);
    const QString archive = folder + "/x.zip";
    QVERIFY(testzip::write(archive, junkArchive()));
    QVERIFY(::chmod(QFile::encodeName(archive).constData(), 0666) == 0);
    const QByteArray before = testzip::readAll(archive);
    if (what == "archive") {
        // The user can write the folder and the file, but cannot give the new file root's ownership.
        QCOMPARE(asNobody([&] { return int(purge(archive)); }), int(ZipOwnerNotKept));
        QCOMPARE(testzip::readAll(archive), before);
        struct stat st = {};
        QVERIFY(::stat(QFile::encodeName(archive).constData(), &st) == 0);
        QCOMPARE(st.st_uid, uid_t(0));
        QCOMPARE(QDir(folder).entryList({".*.tmp"}, QDir::Files | QDir::Hidden), QStringList());
        return;
    }
    // Another user flocks the folder itself, as anyone who can read it can; this user's run still locks it.
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(99);
        const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        ::sleep(30);
        ::_exit(0);
    }
    char got = 0;
    QCOMPARE(::read(ready[0], &got, 1), ssize_t(1));
    QCOMPARE(got, 'y');
    {
        const RunLock lock(folder, root.filePath("locks"));
        QCOMPARE(int(lock.state()), int(RunLock::State::Held));
        QCOMPARE(uint(modeOf(root.filePath("locks"))), 0700u);
    }
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

void TestFileOps::lockWaits_data()
{
    QTest::addColumn<int>("waitSeconds");
    QTest::addColumn<int>("releaseAfterMs"); // -1: the other run holds it throughout
    QTest::addColumn<int>("state");
    QTest::newRow("held, no wait: refused") << 0 << -1 << int(RunLock::State::Busy);
    QTest::newRow("held past the wait: refused") << 1 << -1 << int(RunLock::State::Busy);
    QTest::newRow("let go within the wait: taken") << 10 << 300 << int(RunLock::State::Held);
}

void TestFileOps::lockWaits()
{
    QFETCH(int, waitSeconds);
    QFETCH(int, releaseAfterMs);
    QFETCH(int, state);
    QTemporaryDir root;
    const QString locks = root.filePath("locks");
    auto first = std::make_unique<RunLock>(root.path(), locks);
    QCOMPARE(int(first->state()), int(RunLock::State::Held));
    std::thread release;
    if (releaseAfterMs >= 0)
        release = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(releaseAfterMs));
            first.reset();
        });
    const RunLock second(root.path(), locks, waitSeconds);
    if (release.joinable())
        release.join();
    QCOMPARE(int(second.state()), state);
}

void TestFileOps::lockIsOfTheExactFolder_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("shared");
    QTest::newRow("one Latin-1 folder twice") << QByteArray("caf\xe9") << QByteArray("caf\xe9") << true;
    QTest::newRow("two Latin-1 folders") << QByteArray("caf\xe9") << QByteArray("caf\xe8") << false;
    QTest::newRow("a Latin-1 folder and its name as Qt shows it")
        << QByteArray("caf\xe9") << QByteArray("caf?") << false;
    QTest::newRow("code page 437 and invalid UTF-8") << QByteArray("M\x81SIK") << QByteArray("\xff\xfe") << false;
    QTest::newRow("one UTF-8 folder twice") << QByteArray("caf\xc3\xa9") << QByteArray("caf\xc3\xa9") << true;
}

void TestFileOps::lockIsOfTheExactFolder()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, shared);
    QTemporaryDir root;
    const QByteArray base = QFile::encodeName(root.path());
    for (const QByteArray& name : {first, second, QByteArray("caf?")})
        ::mkdir((base + '/' + name).constData(), 0755);
    // QTemporaryDir cannot remove names that are not UTF-8.
    const auto removeRaw = qScopeGuard([&] {
        for (const QByteArray& name : {first, second})
            ::rmdir((base + '/' + name).constData());
    });
    const QString locks = root.filePath("locks");
    const RunLock one(diskname::fromDisk(base + '/' + first), locks);
    QCOMPARE(int(one.state()), int(RunLock::State::Held));
    const RunLock two(diskname::fromDisk(base + '/' + second), locks);
    QCOMPARE(int(two.state()), int(shared ? RunLock::State::Busy : RunLock::State::Held));
    // Lock files are named by the folder's device and inode, as every earlier version named them.
    struct stat st = {};
    QVERIFY(::stat((base + '/' + first).constData(), &st) == 0);
    const QStringList files = QDir(locks).entryList(QDir::Files);
    QCOMPARE(files.size(), shared ? 1 : 2);
    QVERIFY(files.contains(QStringLiteral("%1-%2.lock").arg(quint64(st.st_dev)).arg(quint64(st.st_ino))));
}

void TestFileOps::cacheFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("warning");
    QTest::newRow("a new cache is private") << "" << true << "";
    QTest::newRow("a link at its name") << "link" << false << "is a link";
    QTest::newRow("another user's cache") << "other" << false << "belongs to another user";
}

void TestFileOps::cacheFile()
{
    QFETCH(QString, setup);
    QFETCH(bool, usable);
    QFETCH(QString, warning);
    if (setup == "other" && ::geteuid() != 0)
        QSKIP("needs root to give a file to another user");
    QTemporaryDir root;
    const QString folder = root.filePath("cache");
    const QString path = folder + "/verdicts.sqlite";
    const QString victim = root.filePath("victim");
    QVERIFY(testzip::write(victim, "not a cache"));
    if (!setup.isEmpty())
        QVERIFY(QDir().mkpath(folder));
    if (setup == "link")
        QVERIFY(QFile::link(victim, path));
    if (setup == "other") {
        QVERIFY(testzip::write(path, QByteArray()));
        QVERIFY(::chown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0);
    }
    QStringList warnings;
    {
        VerdictCache cache(path, [&](const QString& line) { warnings << line; });
        QCOMPARE(cache.usable(), usable);
    }
    QCOMPARE(testzip::readAll(victim), QByteArray("not a cache"));
    if (warning.isEmpty()) {
        QCOMPARE(warnings, QStringList());
        QCOMPARE(uint(modeOf(path)), 0600u);
        QCOMPARE(uint(modeOf(folder)), 0700u);
    } else {
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings[0].contains(warning), qPrintable(warnings[0]));
    }
}

QTEST_GUILESS_MAIN(TestFileOps)
#include "test_fileops.moc"

void TestFileOps::carriedNames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("utf8");
    QTest::addColumn<QString>("shownAs");
    QTest::newRow("ASCII") << QByteArray("plain.zip") << true << "plain.zip";
    QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9.zip") << true << QString::fromUtf8("caf\xc3\xa9.zip");
    QTest::newRow("outside the BMP") << QByteArray("\xf0\x9f\x8e\xb5.zip") << true
                                     << QString::fromUtf8("\xf0\x9f\x8e\xb5.zip");
    QTest::newRow("Latin-1") << QByteArray("CAF\xc9.ZIP") << false << "CAF\\xc9.ZIP";
    QTest::newRow("code page 437") << QByteArray("M\x81SIK.ZIP") << false << "M\\x81SIK.ZIP";
    QTest::newRow("Latin-1 before UTF-8")
        << QByteArray("\xc4\xc3\xa9.zip") << false << QString::fromUtf8("\\xc4\xc3\xa9.zip");
    QTest::newRow("cut-off sequence") << QByteArray("a\xe2\x82.zip") << false << "a\\xe2\\x82.zip";
    QTest::newRow("encoded surrogate") << QByteArray("a\xed\xb2\x80.zip") << false << "a\\xed\\xb2\\x80.zip";
    QTest::newRow("overlong slash") << QByteArray("a\xc0\xaf.zip") << false << "a\\xc0\\xaf.zip";
    QTest::newRow("past U+10FFFF") << QByteArray("a\xf5\x80\x80\x80") << false << "a\\xf5\\x80\\x80\\x80";
}

// Each name the disk gives is carried exactly: found, opened and listed as the bytes it is, never as the
// '?' Qt would make of it.
void TestFileOps::carriedNames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, utf8);
    QFETCH(QString, shownAs);
    const QString carried = diskname::fromDisk(bytes);
    QCOMPARE(diskname::toDisk(carried), bytes);
    QCOMPARE(diskname::isUtf8(carried), utf8);
    QCOMPARE(shownPath(carried), shownAs);
    QTemporaryDir dir;
    const QByteArray onDisk = QFile::encodeName(dir.path()) + '/' + bytes;
    QFile raw;
    const int fd = ::open(onDisk.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0 && raw.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) && raw.write("abc") == 3);
    raw.close();
    const QString path = diskname::fromDisk(onDisk);
    QVERIFY(diskname::isFile(path) && !diskname::isFolder(path) && diskname::sizeOf(path) == 3);
    QCOMPARE(diskname::entries(dir.path()), QStringList{carried});
    // A regular expression cannot look at a carried byte; the mask still matches around it. Bytes have no case.
    QCOMPARE(fileops::ordinaryFiles(dir.path(), "*.zip"),
             bytes.toLower().endsWith(".zip") ? QStringList{carried} : QStringList{});
    QCOMPARE(diskname::toDisk(diskname::lowered(carried)), bytes.toLower());
    QFile in;
    QVERIFY(diskname::openFile(in, path, QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), QByteArray("abc"));
    QVERIFY(fileops::renameNoReplace(path, path + QStringLiteral(".bad")));
    QVERIFY(::unlink((onDisk + ".bad").constData()) == 0); // QTemporaryDir cannot name it
}
