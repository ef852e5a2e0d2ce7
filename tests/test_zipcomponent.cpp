// ZipComponent against real archive files: damage verdicts, names and masks, safe rewrites, extraction.

#include "testsupport/ReadOnlyMount.h"
#include "testsupport/TestArchives.h"
#include "zip/TestMemory.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <unistd.h>
#include <zip.h>

using testzip::Entry;

namespace {

QStringList listed(ZipComponent& zip, qint16* rc)
{
    QStringList names;
    auto c = QObject::connect(&zip, &ZipComponent::Listing, [&](const QString& n) { names.append(n); });
    *rc = zip.ListContents();
    QObject::disconnect(c);
    return names;
}

QList<Entry> sampleEntries()
{
    return {testzip::file("readme.txt", testzip::text(3000, 1)),
            testzip::file("stored.bin", testzip::text(2000, 2), false),
            testzip::file("file_id.diz", "A fine description\r\n")};
}

QByteArray flipped(QByteArray b, qint64 at)
{
    b[at] = char(b[at] ^ 0x10);
    return b;
}

void put32At(QByteArray& b, qint64 at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xff);
}

// The code of a listing made while other threads have borrowed all the room for in-memory tests, so every
// deflated entry streams through zlib instead.
int listedWithoutRoom(ZipComponent& zip)
{
    const testmemory::Lease all = testmemory::borrow(testmemory::kBudget, std::chrono::milliseconds(0));
    if (!all || testmemory::borrow(1, std::chrono::milliseconds(0)))
        return -1;
    return zip.ListContents();
}

// Temporary files of a rewrite are hidden and end in ".tmp"; none may stay behind.
QStringList leftovers(const QString& folder)
{
    return QDir(folder).entryList({"*.tmp"}, QDir::Files | QDir::Hidden);
}

} // namespace

class TestZipComponent : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void listingReportsDamage_data();
    void listingReportsDamage();
    void missingArchiveIsNeverDamage_data();
    void missingArchiveIsNeverDamage();
    void goodArchiveListsAndTests();
    void namesAreDecoded_data();
    void namesAreDecoded();
    void masksIgnoreCase_data();
    void masksIgnoreCase();
    void zip64ArchiveListsAndRewrites();
    void encryptedEntryIsListedNotDamage();
    void doubleZipListsEveryCopyAndDeleteRemovesAll();
    void addReplacesEveryCopy();
    void deletionKeepsCommentTimesExtrasAndPermissions();
    void noMatchLeavesFileUntouched();
    void lastDeletionLeavesEmptyArchive();
    void damagedArchiveIsNotRewritten();
    void readOnlyArchiveStaysReadOnly();
    void readOnlyFolderCannotBeWritten();
    void fullDiskLeavesNoPartialFile();
    void extractionStaysInsideFolder_data();
    void extractionStaysInsideFolder();
    void extractionOfBadDataLeavesNoFile_data();
    void extractionOfBadDataLeavesNoFile();
    void extractionRefusesHugeEntry();
    void abortDuringRewriteKeepsOriginal();
    void abortSetBeforeCallIsIgnored();
    void discardRemovesTemporaryFile();
    void statusRisesToHundred();
    void addMissingFile();

private:
    QString path(const QString& name) const { return m_dir->filePath(name); }
    QString folder() const { return m_dir->path(); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestZipComponent::listingReportsDamage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("inData"); // only the data test can find it
    testzip::Layout l;
    const QByteArray good = testzip::build(sampleEntries(), "comment", &l);

    QTest::newRow("truncated inside the end record") << good.left(good.size() - 12) << 110 << false;
    QTest::newRow("truncated inside the central directory") << good.left(l.centralDirectoryOffset + 20) << 110 << false;
    QTest::newRow("truncated inside entry data") << good.left(l.dataOffsets[1] + 100) << 110 << false;
    QTest::newRow("truncated to its first bytes") << good.left(10) << 110 << false;
    QTest::newRow("text file") << QByteArray("This is not an archive at all.\r\n").repeated(20) << 110 << false;
    QTest::newRow("zero bytes") << QByteArray() << 110 << false;
    {
        QByteArray b = good;
        put32At(b, l.endRecordOffset + 16, quint32(good.size() + 1000));
        QTest::newRow("central directory offset past the end") << b << 110 << false;
    }
    {
        QByteArray b = good;
        put32At(b, l.centralDirectoryOffset + 42, quint32(good.size() + 50)); // first entry's local offset
        QTest::newRow("local header offset past the end") << b << 110 << false;
    }
    QTest::newRow("flipped bit in stored data") << flipped(good, l.dataOffsets[1] + 500) << 200 << true;
    {
        QByteArray b = good;
        put32At(b, l.centralDirectoryOffset + 16, 0x12345678); // CRC of the deflated entry, both headers
        put32At(b, l.localHeaderOffsets[0] + 14, 0x12345678);
        QTest::newRow("wrong CRC of a deflated entry") << b << 200 << true;
    }
    {
        QByteArray b = good;
        put32At(b, l.centralDirectoryOffset + 24, 2999); // uncompressed size one byte short, both headers
        put32At(b, l.localHeaderOffsets[0] + 22, 2999);
        QTest::newRow("wrong size of a deflated entry") << b << 200 << true;
    }
    {
        QByteArray b = good;
        put32At(b, l.centralDirectoryOffset + 24, 3001); // one byte more than the data holds
        put32At(b, l.localHeaderOffsets[0] + 22, 3001);
        QTest::newRow("deflated entry shorter than its size") << b << 200 << true;
    }
    {
        QByteArray b = good;
        b[l.dataOffsets[0]] = char(0xff); // block type 3 does not exist
        QTest::newRow("undecodable deflate data") << b << 410 << true;
    }
    {
        QList<Entry> e = sampleEntries();
        e[2].localName = "file_id.dix";
        QTest::newRow("local name differs from central name") << testzip::build(e) << 410 << false;
    }
    QTest::newRow("broken local header signature") << flipped(good, l.localHeaderOffsets[2] + 1) << 410 << false;
}

void TestZipComponent::listingReportsDamage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    QFETCH(bool, inData);
    QVERIFY(testzip::write(path("a.zip"), bytes));
    ZipComponent zip;
    zip.ArchivePath = path("a.zip");
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), expected);
    QVERIFY(ZipComponent::isDamage(qint16(expected)));
    // Streamed for want of room in memory, the data gets the same verdict.
    if (inData)
        QCOMPARE(listedWithoutRoom(zip), expected);
    // A deletion checks the structure and every local header, not the data, and damage stops it.
    if (!inData) {
        zip.EntryMask = "readme.txt";
        QCOMPARE(int(zip.DeleteEntries()), expected);
        QCOMPARE(testzip::readAll(path("a.zip")), bytes);
    }
}

void TestZipComponent::missingArchiveIsNeverDamage_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing file") << "missing";
    QTest::newRow("folder named like an archive") << "folder";
    QTest::newRow("dangling symbolic link") << "link";
}

void TestZipComponent::missingArchiveIsNeverDamage()
{
    QFETCH(QString, kind);
    const QString p = path("gone.zip");
    if (kind == "folder")
        QVERIFY(QDir().mkdir(p));
    if (kind == "link")
        QVERIFY(QFile::link(path("nowhere.zip"), p));
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "*.*";
    zip.ExtractFolder = path("out");
    QCOMPARE(int(zip.ListContents()), int(ZipArchiveNotFound));
    QCOMPARE(int(zip.DeleteEntries()), int(ZipArchiveNotFound));
    QCOMPARE(int(zip.ExtractEntries(0)), int(ZipArchiveNotFound));
    QVERIFY(testzip::write(path("add.txt"), "x"));
    zip.EntryMask = path("add.txt");
    QCOMPARE(int(zip.AddEntries(0)), int(ZipArchiveNotFound));
}

void TestZipComponent::goodArchiveListsAndTests()
{
    // A large deflated entry goes the streaming way, the others the in-memory way.
    QList<Entry> entries = sampleEntries();
    entries.append(testzip::file("big.txt", testzip::text(int(ZipComponent::kFastTestLimit) + 4096, 7)));
    QVERIFY(testzip::writeZip(path("a.zip"), entries));
    ZipComponent zip;
    zip.ArchivePath = path("a.zip");
    zip.EntryMask = "*.*";
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc), (QStringList{"readme.txt", "stored.bin", "file_id.diz", "big.txt"}));
    QCOMPARE(int(rc), 0);
    QCOMPARE(listedWithoutRoom(zip), 0); // sound when streamed for want of room too

    // A wrong CRC in the streamed entry is found too.
    testzip::Layout l;
    QByteArray b = testzip::build(entries, {}, &l);
    put32At(b, l.centralDirectoryOffset + 3 * 46 + 10 + 10 + 11 + 16, 0xdeadbeef);
    put32At(b, l.localHeaderOffsets[3] + 14, 0xdeadbeef);
    QVERIFY(testzip::write(path("b.zip"), b));
    zip.ArchivePath = path("b.zip");
    QCOMPARE(int(zip.ListContents()), int(ZipDataDamaged));
}

void TestZipComponent::namesAreDecoded_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("utf8Flag");
    QTest::addColumn<QString>("expected");
    QTest::newRow("CP437 without flag") << QByteArray("\x81"
                                                      "ber \x9c"
                                                      "1.txt")
                                        << false << QStringLiteral("über £1.txt");
    QTest::newRow("CP437 box drawing") << QByteArray("\xc9\xcd\xbb.diz") << false << QStringLiteral("╔═╗.diz");
    QTest::newRow("UTF-8 with flag") << QByteArray("\xc3\xa9t\xc3\xa9.txt") << true << QStringLiteral("été.txt");
    QTest::newRow("folder entry") << QByteArray("docs/") << false << QString("docs/");
}

void TestZipComponent::namesAreDecoded()
{
    QFETCH(QByteArray, raw);
    QFETCH(bool, utf8Flag);
    QFETCH(QString, expected);
    Entry e = testzip::file(raw, raw.endsWith('/') ? QByteArray() : QByteArray("data"));
    e.utf8Flag = utf8Flag;
    QVERIFY(testzip::writeZip(path("n.zip"), {e}));
    ZipComponent zip;
    zip.ArchivePath = path("n.zip");
    zip.EntryMask = "*.*";
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc), QStringList{expected});
    QCOMPARE(int(rc), 0);
    // The decoded name is also what a mask matches.
    zip.EntryMask = expected.toUpper();
    QCOMPARE(int(zip.DeleteEntries()), 0);
    QCOMPARE(testzip::names(path("n.zip")).size(), 0);
}

void TestZipComponent::masksIgnoreCase_data()
{
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QStringList>("expected");
    const QStringList all{"README.TXT", "file_id.diz", "FILE_ID.DIZ", "noext", "sub/File_Id.Diz", "a.b.c"};
    QTest::newRow("star dot star takes dotless names too") << "*.*" << all;
    QTest::newRow("star") << "*" << all;
    QTest::newRow("exact name, other case") << "File_ID.diz" << QStringList{"file_id.diz", "FILE_ID.DIZ"};
    QTest::newRow("extension mask") << "*.TxT" << QStringList{"README.TXT"};
    QTest::newRow("star crosses folders") << "*.diz" << QStringList{"file_id.diz", "FILE_ID.DIZ", "sub/File_Id.Diz"};
    QTest::newRow("question mark") << "?OEXT" << QStringList{"noext"};
    QTest::newRow("name dot star takes the dotless name") << "noext.*" << QStringList{"noext"};
    QTest::newRow("question mark needs a character") << "a.b.c?" << QStringList{};
    QTest::newRow("no match") << "missing.txt" << QStringList{};
}

void TestZipComponent::masksIgnoreCase()
{
    QFETCH(QString, mask);
    QFETCH(QStringList, expected);
    QList<Entry> entries;
    for (const char* n : {"README.TXT", "file_id.diz", "FILE_ID.DIZ", "noext", "sub/File_Id.Diz", "a.b.c"})
        entries.append(testzip::file(n, QByteArray("content of ") + n));
    QVERIFY(testzip::writeZip(path("m.zip"), entries));
    ZipComponent zip;
    zip.ArchivePath = path("m.zip");
    zip.EntryMask = mask;
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc), expected);
    QCOMPARE(int(rc), 0);

    QCOMPARE(int(zip.DeleteEntries()), 0);
    QStringList left = testzip::names(path("m.zip"));
    for (const QString& n : expected)
        QVERIFY(!left.contains(n));
    QCOMPARE(left.size(), entries.size() - expected.size());
}

void TestZipComponent::zip64ArchiveListsAndRewrites()
{
    QVERIFY(testzip::write(path("z.zip"), testzip::buildZip64(sampleEntries(), "z64")));
    bool ok = false;
    QCOMPARE(testzip::names(path("z.zip"), &ok).size(), 3); // libzip agrees the file is sound
    QVERIFY(ok);
    ZipComponent zip;
    zip.ArchivePath = path("z.zip");
    zip.EntryMask = "*.*";
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc).size(), 3);
    QCOMPARE(int(rc), 0);
    zip.EntryMask = "stored.bin";
    QCOMPARE(int(zip.DeleteEntries()), 0);
    QCOMPARE(testzip::names(path("z.zip")), (QStringList{"readme.txt", "file_id.diz"}));
    QCOMPARE(testzip::content(path("z.zip"), "readme.txt"), testzip::text(3000, 1));
    QCOMPARE(testzip::comment(path("z.zip")), QByteArray("z64"));
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), 0);
}

void TestZipComponent::encryptedEntryIsListedNotDamage()
{
    int err = 0;
    zip_t* za = zip_open(QFile::encodeName(path("e.zip")).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    QVERIFY(za);
    const QByteArray secret = testzip::text(5000, 3);
    const QByteArray plain = "plain";
    zip_source_t* s1 = zip_source_buffer(za, secret.constData(), zip_uint64_t(secret.size()), 0);
    const zip_int64_t i1 = zip_file_add(za, "secret.txt", s1, 0);
    QVERIFY(i1 >= 0);
    QCOMPARE(zip_file_set_encryption(za, zip_uint64_t(i1), ZIP_EM_AES_256, "password"), 0);
    zip_source_t* s2 = zip_source_buffer(za, plain.constData(), zip_uint64_t(plain.size()), 0);
    QVERIFY(zip_file_add(za, "plain.txt", s2, 0) >= 0);
    QCOMPARE(zip_close(za), 0);

    ZipComponent zip;
    zip.ArchivePath = path("e.zip");
    zip.EntryMask = "*.*";
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc), (QStringList{"secret.txt", "plain.txt"}));
    QCOMPARE(int(rc), 0);
    // It cannot be extracted without the password; that is no damage either.
    zip.EntryMask = "secret.txt";
    zip.ExtractFolder = path("out");
    const qint16 ex = zip.ExtractEntries(0);
    QVERIFY(ex != 0 && !ZipComponent::isDamage(ex));
    QVERIFY(!QFile::exists(path("out/secret.txt")));
}

void TestZipComponent::doubleZipListsEveryCopyAndDeleteRemovesAll()
{
    QList<Entry> entries{testzip::file("file_id.diz", "one"), testzip::file("game.exe", testzip::text(4000, 4)),
                         testzip::file("FILE_ID.DIZ", "two"), testzip::file("file_id.diz", "three", false)};
    QVERIFY(testzip::writeZip(path("d.zip"), entries));
    ZipComponent zip;
    zip.ArchivePath = path("d.zip");
    zip.EntryMask = "*.*";
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc), (QStringList{"file_id.diz", "game.exe", "FILE_ID.DIZ", "file_id.diz"}));
    QCOMPARE(int(rc), 0);
    zip.EntryMask = "file_id.diz";
    QCOMPARE(int(zip.DeleteEntries()), 0);
    QCOMPARE(testzip::names(path("d.zip")), QStringList{"game.exe"});
    QCOMPARE(testzip::content(path("d.zip"), "game.exe"), testzip::text(4000, 4));
}

void TestZipComponent::addReplacesEveryCopy()
{
    QList<Entry> entries{testzip::file("file_id.diz", "one"), testzip::file("game.exe", testzip::text(4000, 4)),
                         testzip::file("File_Id.Diz", "two")};
    QVERIFY(testzip::writeZip(path("d.zip"), entries));
    QVERIFY(QDir().mkdir(path("work")));
    const QByteArray description = testzip::text(900, 9);
    QVERIFY(testzip::write(path("work/file_id.diz"), description));
    ZipComponent zip;
    zip.ArchivePath = path("d.zip");
    zip.EntryMask = path("work/file_id.diz");
    QCOMPARE(int(zip.AddEntries(0)), 0);
    QCOMPARE(testzip::names(path("d.zip")), (QStringList{"game.exe", "file_id.diz"}));
    QCOMPARE(testzip::content(path("d.zip"), "file_id.diz"), description);
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), 0);
}

void TestZipComponent::deletionKeepsCommentTimesExtrasAndPermissions()
{
    const QString p = path("k.zip");
    int err = 0;
    zip_t* za = zip_open(QFile::encodeName(p).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    QVERIFY(za);
    const QByteArray a = testzip::text(10000, 5), b = testzip::text(10000, 6), c = testzip::text(100, 7);
    const char* names[] = {"a.txt", "b.txt", "c.txt"};
    const QByteArray* data[] = {&a, &b, &c};
    for (int i = 0; i < 3; ++i) {
        zip_source_t* s = zip_source_buffer(za, data[i]->constData(), zip_uint64_t(data[i]->size()), 0);
        const zip_int64_t idx = zip_file_add(za, names[i], s, 0);
        QVERIFY(idx >= 0);
        QCOMPARE(zip_file_set_mtime(za, zip_uint64_t(idx), time_t(1000000000 + i * 86400), 0), 0);
    }
    const zip_uint8_t extra[] = {1, 2, 3, 4, 5};
    QCOMPARE(zip_file_extra_field_set(za, 2, 0xcafe, ZIP_EXTRA_FIELD_NEW, extra, 5, ZIP_FL_CENTRAL | ZIP_FL_LOCAL), 0);
    QCOMPARE(zip_set_archive_comment(za, "kept comment", 12), 0);
    QCOMPARE(zip_close(za), 0);
    QVERIFY(QFile::setPermissions(p, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));

    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "B.TXT";
    QCOMPARE(int(zip.DeleteEntries()), 0);

    QCOMPARE(testzip::names(p), (QStringList{"a.txt", "c.txt"}));
    QCOMPARE(testzip::comment(p), QByteArray("kept comment"));
    // Owner, group and others only: the "user" bits describe whoever runs the test.
    QCOMPARE(QFile::permissions(p) & 0x7077,
             QFileDevice::Permissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    QCOMPARE(testzip::content(p, "c.txt"), c);
    za = zip_open(QFile::encodeName(p).constData(), ZIP_RDONLY, &err);
    QVERIFY(za);
    zip_stat_t st;
    QCOMPARE(zip_stat_index(za, 1, 0, &st), 0);
    QCOMPARE(qint64(st.mtime), qint64(1000000000 + 2 * 86400));
    zip_uint16_t len = 0;
    const zip_uint8_t* got = zip_file_extra_field_get_by_id(za, 1, 0xcafe, 0, &len, ZIP_FL_CENTRAL);
    QVERIFY(got);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(got), len), QByteArray("\1\2\3\4\5"));
    zip_discard(za);
    QVERIFY(leftovers(folder()).isEmpty());
}

void TestZipComponent::noMatchLeavesFileUntouched()
{
    const QString p = path("u.zip");
    QVERIFY(testzip::writeZip(p, sampleEntries(), "c"));
    const QByteArray before = testzip::readAll(p);
    {
        QFile f(p);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)), QFileDevice::FileModificationTime));
    }
    const QDateTime mtime = QFileInfo(p).lastModified();
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "nothing.here";
    QCOMPARE(int(zip.DeleteEntries()), 0);
    QCOMPARE(testzip::readAll(p), before);
    QCOMPARE(QFileInfo(p).lastModified(), mtime);
}

void TestZipComponent::lastDeletionLeavesEmptyArchive()
{
    const QString p = path("e.zip");
    QVERIFY(testzip::writeZip(p, sampleEntries(), "still here"));
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.DeleteEntries()), 0);
    QVERIFY(QFile::exists(p));
    QCOMPARE(QFileInfo(p).size(), qint64(22 + 10));
    bool ok = false;
    QCOMPARE(testzip::names(p, &ok), QStringList{});
    QVERIFY(ok);
    QCOMPARE(testzip::comment(p), QByteArray("still here"));
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc), QStringList{});
    QCOMPARE(int(rc), 0);
}

void TestZipComponent::damagedArchiveIsNotRewritten()
{
    QList<Entry> e = sampleEntries();
    e[0].localName = "other.txt";
    const QByteArray bytes = testzip::build(e);
    QVERIFY(testzip::write(path("x.zip"), bytes));
    ZipComponent zip;
    zip.ArchivePath = path("x.zip");
    zip.EntryMask = "stored.bin";
    QCOMPARE(int(zip.DeleteEntries()), int(ZipHeaderDamaged));
    QVERIFY(testzip::write(path("add.txt"), "x"));
    zip.EntryMask = path("add.txt");
    QCOMPARE(int(zip.AddEntries(0)), int(ZipHeaderDamaged));
    QCOMPARE(testzip::readAll(path("x.zip")), bytes);
}

void TestZipComponent::readOnlyArchiveStaysReadOnly()
{
    // The new file is written through its own descriptor and given the archive's mode: a read-only archive
    // needs no widening and is read-only again after its rewrite.
    const QString p = path("r.zip");
    QVERIFY(testzip::writeZip(p, sampleEntries()));
    const auto readOnly = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QVERIFY(QFile::setPermissions(p, readOnly));
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "readme.txt";
    QCOMPARE(int(zip.DeleteEntries()), int(ZipSuccess));
    QVERIFY(!testzip::names(p).contains("readme.txt"));
    QVERIFY(testzip::write(path("add.txt"), "x"));
    zip.EntryMask = path("add.txt");
    QCOMPARE(int(zip.AddEntries(0)), int(ZipSuccess));
    QVERIFY(testzip::names(p).contains("add.txt"));
    QCOMPARE(QFile::permissions(p) &
                 (readOnly | QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther),
             readOnly);
    zip.EntryMask = "*.*";
    QCOMPARE(int(zip.ListContents()), 0);
}

void TestZipComponent::readOnlyFolderCannotBeWritten()
{
    // Root ignores permission bits, so as root the folder is a file system mounted read-only.
    ReadOnlyMount mount(path("ro"));
    if (::geteuid() == 0 && !mount.available())
        QSKIP("running as root without the right to mount: a read-only folder cannot be made");
    const QString p = path("ro/r.zip");
    QVERIFY(testzip::writeZip(p, sampleEntries()));
    const QByteArray before = testzip::readAll(p);
    if (mount.available())
        QVERIFY(mount.makeReadOnly());
    else
        QVERIFY(QFile::setPermissions(path("ro"), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "readme.txt";
    const qint16 deleted = zip.DeleteEntries();
    zip.EntryMask = "*.*";
    zip.ExtractFolder = path("ro");
    const qint16 extracted = zip.ExtractEntries(0);
    QFile::setPermissions(path("ro"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(int(deleted), int(ZipCannotWrite));
    QCOMPARE(int(extracted), int(ZipCannotWrite));
    QCOMPARE(testzip::readAll(p), before);
}

void TestZipComponent::fullDiskLeavesNoPartialFile()
{
    ReadOnlyMount disk(path("small")); // a 16 MB file system
    if (!disk.available())
        QSKIP("needs root with the right to mount a small file system");
    const QString p = path("small/full.zip");
    const QByteArray big = testzip::text(10 << 20, 5);
    QVERIFY(testzip::writeZip(p, {testzip::file("big.txt", big, false), testzip::file("small.txt", "small")}));
    const QByteArray before = testzip::readAll(p);
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "small.txt"; // the rewrite needs another 10 MB
    QCOMPARE(int(zip.DeleteEntries()), int(ZipCannotWrite));
    QCOMPARE(testzip::readAll(p), before);
    QVERIFY(leftovers(path("small")).isEmpty());

    QVERIFY(QDir().mkdir(path("small/temp")));
    zip.EntryMask = "big.txt";
    zip.ExtractFolder = path("small/temp");
    QCOMPARE(int(zip.ExtractEntries(0)), int(ZipCannotWrite));
    QCOMPARE(QDir(path("small/temp")).entryList(QDir::Files | QDir::Hidden), QStringList{});
}

void TestZipComponent::extractionStaysInsideFolder_data()
{
    QTest::addColumn<QByteArray>("entryName");
    QTest::addColumn<QString>("written");
    QTest::newRow("parent folder") << QByteArray("../x.txt") << "x.txt";
    QTest::newRow("deeper parents") << QByteArray("a/../../../Y.TXT") << "y.txt";
    QTest::newRow("absolute path") << QByteArray("/abs.txt") << "abs.txt";
    QTest::newRow("drive letter and backslash") << QByteArray("c:\\x.txt") << "x.txt";
    QTest::newRow("drive letter without separator") << QByteArray("D:File.Txt") << "file.txt";
    QTest::newRow("folder part, mixed case") << QByteArray("Sub/Dir/File_ID.DIZ") << "file_id.diz";
}

void TestZipComponent::extractionStaysInsideFolder()
{
    QFETCH(QByteArray, entryName);
    QFETCH(QString, written);
    QVERIFY(QDir().mkpath(path("prog/temp")));
    const QByteArray content = testzip::text(700, 8);
    QVERIFY(testzip::writeZip(path("t.zip"), {testzip::file(entryName, content)}));
    QVERIFY(testzip::write(path("prog/temp/") + written, "old content to be replaced"));
    const QStringList before = QDir(folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);

    ZipComponent zip;
    zip.ArchivePath = path("t.zip");
    zip.EntryMask = "*.*";
    zip.ExtractFolder = path("prog/temp");
    QCOMPARE(int(zip.ExtractEntries(0)), 0);
    QCOMPARE(QDir(path("prog/temp")).entryList(QDir::Files | QDir::Hidden), QStringList{written});
    QCOMPARE(testzip::readAll(path("prog/temp/") + written), content);
    QCOMPARE(QDir(folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
    QVERIFY(QDir(path("prog")).entryList(QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(!QFile::exists("/abs.txt") || written != "abs.txt" || QFileInfo("/abs.txt").size() != 700);
}

void TestZipComponent::extractionOfBadDataLeavesNoFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    testzip::Layout l;
    const QList<Entry> e{testzip::file("good.txt", "good"), testzip::file("file_id.diz", testzip::text(5000, 2))};
    const QByteArray good = testzip::build(e, {}, &l);
    {
        QByteArray b = good;
        put32At(b, l.centralDirectoryOffset + 46 + 8 + 16, 0x01020304);
        put32At(b, l.localHeaderOffsets[1] + 14, 0x01020304);
        QTest::newRow("CRC mismatch") << b << 200;
    }
    {
        // The directory promises fewer bytes than the data inflates to: no more than promised is written.
        QByteArray b = good;
        put32At(b, l.centralDirectoryOffset + 46 + 8 + 24, 100);
        put32At(b, l.localHeaderOffsets[1] + 22, 100);
        QTest::newRow("more data than its size") << b << 200;
    }
}

void TestZipComponent::extractionOfBadDataLeavesNoFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    QVERIFY(testzip::write(path("c.zip"), bytes));
    QVERIFY(QDir().mkdir(path("temp")));
    ZipComponent zip;
    zip.ArchivePath = path("c.zip");
    zip.EntryMask = "file_id.diz";
    zip.ExtractFolder = path("temp");
    QCOMPARE(int(zip.ExtractEntries(0)), expected);
    QCOMPARE(QDir(path("temp")).entryList(QDir::Files | QDir::Hidden), QStringList{});
}

void TestZipComponent::extractionRefusesHugeEntry()
{
    // A zip64 entry that declares more than the extraction limit is refused before anything is written.
    testzip::Layout l;
    QByteArray b = testzip::buildZip64({testzip::file("bomb.bin", testzip::text(1000, 1))}, {}, &l);
    const qint64 extra = l.centralDirectoryOffset + 46 + 8 + 4;
    put32At(b, extra, 0);
    put32At(b, extra + 4, 1); // uncompressed size 4 GiB, in both headers' zip64 fields
    put32At(b, l.localHeaderOffsets[0] + 30 + 8 + 4, 0);
    put32At(b, l.localHeaderOffsets[0] + 30 + 8 + 8, 1);
    QVERIFY(testzip::write(path("h.zip"), b));
    ZipComponent zip;
    zip.ArchivePath = path("h.zip");
    zip.EntryMask = "*.*";
    zip.ExtractFolder = path("temp");
    const qint16 rc = zip.ExtractEntries(0);
    QCOMPARE(int(rc), int(ZipOtherError));
    QVERIFY(QDir(path("temp")).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TestZipComponent::abortDuringRewriteKeepsOriginal()
{
    // Stored data, large enough that the copy passes several progress points.
    const QString p = path("big.zip");
    QVERIFY(testzip::writeZip(p, {testzip::file("a.bin", testzip::text(20 << 20, 1), false),
                                  testzip::file("b.txt", "drop me"),
                                  testzip::file("c.bin", testzip::text(20 << 20, 2), false)}));
    const QByteArray before = testzip::readAll(p);
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "b.txt";
    int hookCalls = 0;
    zip.setProgressHook([&] {
        if (++hookCalls == 2)
            zip.Abort = true; // as the event pump would, when the user presses Abort
    });
    QCOMPARE(int(zip.DeleteEntries()), int(ZipAborted));
    QVERIFY(zip.Abort); // stays set until someone clears it
    QCOMPARE(testzip::readAll(p), before);
    QVERIFY(leftovers(folder()).isEmpty());
}

void TestZipComponent::abortSetBeforeCallIsIgnored()
{
    const QString p = path("a.zip");
    QVERIFY(testzip::writeZip(p, sampleEntries()));
    ZipComponent zip;
    zip.Abort = true;
    zip.ArchivePath = p;
    zip.EntryMask = "*.*";
    qint16 rc = -1;
    QCOMPARE(listed(zip, &rc).size(), 3);
    QCOMPARE(int(rc), 0);
    zip.EntryMask = "stored.bin";
    QCOMPARE(int(zip.DeleteEntries()), 0);
    QCOMPARE(testzip::names(p).size(), 2);
}

void TestZipComponent::discardRemovesTemporaryFile()
{
    const QString p = path("big.zip");
    QVERIFY(testzip::writeZip(
        p, {testzip::file("a.bin", testzip::text(20 << 20, 1), false), testzip::file("b.txt", "drop me")}));
    const QByteArray before = testzip::readAll(p);
    ZipComponent zip;
    zip.ArchivePath = p;
    zip.EntryMask = "b.txt";
    QStringList seen;
    zip.setProgressHook([&] {
        if (!seen.isEmpty())
            return;
        seen = leftovers(folder());
        ZipComponent::discardPendingWrites(); // the process is about to end
    });
    const qint16 rc = zip.DeleteEntries();
    QCOMPARE(seen.size(), 1);
    QVERIFY(leftovers(folder()).isEmpty());
    QVERIFY(rc != 0 && !ZipComponent::isDamage(rc));
    QCOMPARE(testzip::readAll(p), before);
}

void TestZipComponent::statusRisesToHundred()
{
    QList<Entry> entries;
    for (int i = 0; i < 400; ++i)
        entries.append(testzip::file(QByteArray("f") + QByteArray::number(i), testzip::text(20000, i)));
    QVERIFY(testzip::writeZip(path("s.zip"), entries));
    ZipComponent zip;
    zip.ArchivePath = path("s.zip");
    zip.EntryMask = "*.*";
    QList<int> reports;
    connect(&zip, &ZipComponent::Status, [&](qint16 pct) { reports.append(pct); });
    QCOMPARE(int(zip.ListContents()), 0);
    QVERIFY(reports.size() >= 2);
    QVERIFY(reports.size() <= 101);
    QCOMPARE(reports.last(), 100);
    for (int i = 1; i < reports.size(); ++i)
        QVERIFY(reports[i] > reports[i - 1]);
}

void TestZipComponent::addMissingFile()
{
    QVERIFY(testzip::writeZip(path("a.zip"), sampleEntries()));
    const QByteArray before = testzip::readAll(path("a.zip"));
    ZipComponent zip;
    zip.ArchivePath = path("a.zip");
    zip.EntryMask = path("temp/file_id.diz");
    QCOMPARE(int(zip.AddEntries(0)), int(ZipAddFileMissing));
    QCOMPARE(testzip::readAll(path("a.zip")), before);
}

QTEST_GUILESS_MAIN(TestZipComponent)
#include "test_zipcomponent.moc"
