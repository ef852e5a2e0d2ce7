// Hostile and unlucky archives through ZipComponent and ArchiveCleaner: huge declared sizes, streams cut
// short or decoding on after their input, rewrites that must stay private, and archives replaced while
// they are cleaned.

#include "testsupport/TestArchives.h"
#include "zip/ArchiveCleaner.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

void put64At(QByteArray& b, qint64 at, quint64 v)
{
    for (int i = 0; i < 8; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xff);
}

// A one-entry zip64 archive whose declared (uncompressed) size is size in both headers.
QByteArray withDeclaredSize(const QByteArray& name, const QByteArray& data, int method, const QByteArray& packed,
                            quint64 size)
{
    testzip::Layout layout;
    QByteArray b = testzip::buildZip64({testzip::packedFile(name, data, method, packed)}, {}, &layout);
    put64At(b, layout.localHeaderOffsets[0] + 30 + name.size() + 4, size);
    put64At(b, layout.centralDirectoryOffset + 46 + name.size() + 4, size);
    return b;
}

int modeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Replaces path by bytes under a new inode, as a download or a copy over it does.
bool replaceFile(const QString& path, const QByteArray& bytes)
{
    const QString other = path + ".new";
    return testzip::write(other, bytes) && ::rename(QFile::encodeName(other), QFile::encodeName(path)) == 0;
}

// Writes bytes over path in place and sets its modification time back: only the change time tells.
bool rewriteInPlaceKeepingTime(const QString& path, const QByteArray& bytes)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || f.write(bytes) != bytes.size())
        return false;
    f.close();
    const timespec times[2] = {st.st_atim, st.st_mtim};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT
private slots:
    // Sizes a file cannot hold: damage, with no crash and nothing written; no cast makes them small.
    void hugeDeclaredSizesAreDamage_data()
    {
        QTest::addColumn<QByteArray>("archive");
        const QByteArray text = testzip::text(5000, 2);
        const QByteArray packed = testzip::rawDeflate(text);
        QTest::newRow("deflate, zip64 size 2^63 + 16")
            << withDeclaredSize("a.txt", text, 8, packed, (quint64(1) << 63) + 16);
        QTest::newRow("deflate, zip64 size 2^64 - 1") << withDeclaredSize("a.txt", text, 8, packed, ~quint64(0));
        QTest::newRow("stored, zip64 size 2^63 + 16")
            << withDeclaredSize("a.txt", text, 0, text, (quint64(1) << 63) + 16);
        const QByteArray literals = testzip::text(300000, 4);
        const QByteArray cut = testzip::rawDeflate(literals).left(20000);
        QTest::newRow("deflate64 cut off, zip64 size 2^40")
            << withDeclaredSize("a.txt", literals, 9, cut, quint64(1) << 40);
        QTest::newRow("deflate cut off, zip64 size 2^40")
            << withDeclaredSize("a.txt", literals, 8, cut, quint64(1) << 40);
    }
    void hugeDeclaredSizesAreDamage()
    {
        QFETCH(QByteArray, archive);
        QTemporaryDir dir;
        const QString path = dir.filePath("huge.zip");
        QVERIFY(testzip::write(path, archive));
        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "*.*";
        const qint16 listed = zip.ListContents();
        QVERIFY2(ZipComponent::isDamage(listed), QByteArray::number(listed));
        // Extraction is refused before a byte is written: the limit holds for every size.
        zip.ExtractFolder = dir.filePath("out");
        QVERIFY(zip.ExtractEntries(0) != ZipSuccess);
        QVERIFY(!QFile::exists(dir.filePath("out/a.txt")));
        QVERIFY(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(testzip::readAll(path) == archive);
    }

    // A deflated entry cut short is 410 whether it is tested in memory or streamed.
    void cutOffDeflateHasOneCode_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1 MiB, in memory") << (1 << 20);
        QTest::newRow("17 MiB, streamed") << (17 << 20);
    }
    void cutOffDeflateHasOneCode()
    {
        QFETCH(int, size);
        const QByteArray data = testzip::text(size, 5);
        const QByteArray packed = testzip::rawDeflate(data);
        QTemporaryDir dir;
        const QString path = dir.filePath("cut.zip");
        QVERIFY(testzip::writeZip(path, {testzip::packedFile("a.txt", data, 8, packed.left(packed.size() / 2))}));
        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "*.*";
        QCOMPARE(zip.ListContents(), qint16(ZipHeaderDamaged));
    }

    // Output growing long after the last input byte still reaches progress points: Abort ends the test.
    void abortEndsLongDecode_data()
    {
        QTest::addColumn<int>("method");
        QTest::newRow("deflate64, own decoder") << 9;
        QTest::newRow("deflate, streamed through zlib") << 8;
    }
    void abortEndsLongDecode()
    {
        QFETCH(int, method);
        const bool d64 = method == 9;
        const QByteArray packed = testzip::repeatedMatches(d64, d64 ? 256 : 65536); // 16 MiB of 'a'
        QTemporaryDir dir;
        const QString path = dir.filePath("long.zip");
        QVERIFY(testzip::write(path, withDeclaredSize("a.txt", "a", method, packed, quint64(1) << 40)));
        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "*.*";
        int hooks = 0;
        zip.setProgressHook([&] {
            ++hooks;
            zip.Abort = true;
        });
        QCOMPARE(zip.ListContents(), qint16(ZipAborted));
        QVERIFY(hooks > 0);
    }

    // The temporary file of a rewrite is never readable by others, whatever the archive's mode; the
    // archive keeps its mode.
    void rewriteStaysPrivate_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("0600 archive") << 0600;
        QTest::newRow("0640 archive") << 0640;
        QTest::newRow("0644 archive") << 0644;
    }
    void rewriteStaysPrivate()
    {
        QFETCH(int, mode);
        QTemporaryDir dir;
        const QString path = dir.filePath("a.zip");
        QVERIFY(testzip::writeZip(
            path, {testzip::file("keep.txt", testzip::text(200000, 1)), testzip::file("ads.txt", "buy now\r\n")}));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        ZipComponent zip;
        zip.ArchivePath = path;
        zip.EntryMask = "ads.txt";
        int seen = 0;
        int widest = 0;
        zip.setProgressHook([&] {
            for (const QString& name : QDir(dir.path()).entryList({".a.zip.*.tmp"}, QDir::Files | QDir::Hidden)) {
                ++seen;
                widest |= modeOf(dir.filePath(name));
            }
        });
        QCOMPARE(zip.DeleteEntries(), qint16(ZipSuccess));
        QVERIFY2(seen > 0, "the hook never saw the temporary file");
        QCOMPARE(widest & 077, 0);
        QCOMPARE(modeOf(path), mode);
        QCOMPARE(testzip::names(path), QStringList{"keep.txt"});
    }

    // The file listed and tested is the only one a rewrite may change: one replaced before the rewrite or
    // during it is left as it is, and the result says to judge it anew.
    void replacedArchiveIsLeftToBeJudgedAnew_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("replaced by another file before the rewrite") << "replaced";
        QTest::newRow("rewritten in place, same size, time set back") << "in place";
        QTest::newRow("replaced while the rewrite copies") << "during";
    }
    void replacedArchiveIsLeftToBeJudgedAnew()
    {
        QFETCH(QString, when);
        QTemporaryDir dir;
        const QString path = dir.filePath("a.zip");
        testzip::Layout layout;
        const QByteArray original = testzip::build({testzip::file("keep.txt", testzip::text(200000, 1), false),
                                                    testzip::file("ads.txt", "buy now\r\n", false)},
                                                   {}, &layout);
        // The same size, but its first entry no longer matches its CRC: never to be purged untested.
        QByteArray other = original;
        other[layout.dataOffsets[0] + 7] = char(other[layout.dataOffsets[0] + 7] ^ 1);
        QVERIFY(testzip::write(path, original));

        ZipComponent zip;
        ArchiveCleaner cleaner(zip, path);
        ArchiveListing listing = cleaner.list();
        QCOMPARE(listing.result, qint16(ZipSuccess));
        QVERIFY(listing.stamp.valid());
        const CleanPlan plan =
            ArchiveCleaner::plan({"ads.txt"}, listing.names, {}, [](const QString& line) { return line; });
        QCOMPARE(plan.masks, QStringList{"ads.txt"});

        if (when == "replaced")
            QVERIFY(replaceFile(path, other));
        else if (when == "in place")
            QVERIFY(rewriteInPlaceKeepingTime(path, other));
        bool replaced = false;
        zip.setProgressHook([&] {
            if (when == "during" && !replaced)
                replaced = replaceFile(path, other);
        });
        qint16 addBack = ZipSuccess;
        QCOMPARE(cleaner.rewrite(plan, &addBack, &listing.stamp), qint16(ZipArchiveChanged));
        QVERIFY(testzip::readAll(path) == other);
        QVERIFY(QDir(dir.path()).entryList({".a.zip.*.tmp"}, QDir::Files | QDir::Hidden).isEmpty());
        // Judged anew, the file in place is what it is: damaged.
        zip.setProgressHook({});
        QCOMPARE(cleaner.list().result, qint16(ZipDataDamaged));
    }
};

QTEST_GUILESS_MAIN(TestHostile)
#include "test_hostile.moc"
