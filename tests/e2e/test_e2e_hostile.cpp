// Hostile archives and lists met by an unattended run: traversal names, an entry that inflates to 10 GiB,
// 100,000 entries, control characters and newlines in names, a purge list of a million lines. Nothing is
// written outside the program and archive folders, the disk does not fill, the run ends normally.

#include "e2e/E2e.h"

#include <string>
#include <sys/resource.h>

using namespace e2e;

class E2eHostile : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void traversalNamesInDoubleZipRepair();
    void entryInflatingToTenGigabytes();
    void hundredThousandEntries();
    void controlCharactersAndNewlinesInNames();
    void millionLinePurgeList();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Program> m_program;
    QString m_zips;
};

void E2eHostile::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    // Deep enough that a climbing name would land inside the root, where the test sees it.
    m_program = std::make_unique<Program>(m_root->filePath("a/b/c"));
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
    m_zips = m_root->filePath("d/e/zips");
    QVERIFY(QDir().mkpath(m_zips));
}

void E2eHostile::traversalNamesInDoubleZipRepair()
{
    const QString archive = m_zips + "/dz.zip";
    QVERIFY(testzip::writeZip(
        archive,
        {testzip::file("file_id.diz", "the description\r\n"), testzip::file("../../../../file_id.diz", "up\r\n"),
         testzip::file("..\\..\\..\\..\\file_id.diz", "up\r\n"), testzip::file("/etc/file_id.diz", "root\r\n"),
         testzip::file("c:/file_id.diz", "drive\r\n"), testzip::file("file_id.diz", "the description\r\n")}));
    const QStringList before = tree(m_root->path());
    const Result r = run(*m_program, m_zips);
    E2E_VERIFY_ENDED(r);
    QVERIFY2(r.out.contains(" 1 double zip(s) found and fixed"), r.out.constData());
    QCOMPARE(testzip::count(archive, "file_id.diz"), 1);
    QCOMPARE(testzip::content(archive, "file_id.diz"), QByteArray("the description\r\n"));
    QCOMPARE(testzip::names(archive).size(), 5); // the climbing names stay entries, never files
    // The only new files are inside the program's temp folder.
    QStringList added = tree(m_root->path());
    for (const QString& name : before)
        added.removeOne(name);
    for (const QString& name : std::as_const(added))
        QVERIFY2(name.startsWith("a/b/c/prog/temp"), qPrintable(name));
    QVERIFY(!QFileInfo::exists("/etc/file_id.diz"));
}

void E2eHostile::entryInflatingToTenGigabytes()
{
    // 640 blocks of 16 MiB: 10 GiB of zeros in about 10 MB (3 GiB under the sanitizers, still past the
    // 2 GiB extraction limit, as the program tests it at about 200 MB/s), stored twice as the description, so the run
    // both tests it and tries the double-zip repair, which must refuse to extract it.
    const QString archive = m_zips + "/bomb.zip";
    StreamZip zip(archive);
    zip.addDeflatedZeros("file_id.diz", kSanitized ? 192 : 640);
    zip.add("file_id.diz", "small\r\n");
    QVERIFY(zip.finish());
    QVERIFY(QFileInfo(archive).size() < 20 << 20);
    const QByteArray hash = hashOf(archive);

    const Result r = run(*m_program, m_zips);
    E2E_VERIFY_ENDED(r);
    QVERIFY2(r.out.contains(" 0 bad zip(s)") && r.out.contains(" 0 double zip(s)"), r.out.constData());
    QCOMPARE(hashOf(archive), hash);
    qint64 written = 0;
    QDirIterator it(m_root->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        written += QFileInfo(it.next()).size();
    QVERIFY2(written < 100 << 20, qPrintable(QString::number(written)));
    // Testing the entry streams it: the program's peak memory stays far below the entry's size.
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    qInfo("peak resident memory of the program: %ld MB", usage.ru_maxrss / 1024);
    QVERIFY(usage.ru_maxrss < 1024 * 1024);
}

void E2eHostile::hundredThousandEntries()
{
    const int n = kSanitized ? 20000 : 100000;
    QList<testzip::Entry> entries;
    entries.reserve(n);
    for (int i = 0; i < n; ++i)
        entries.append(testzip::file(QByteArray("f") + QByteArray::number(i).rightJustified(6, '0') + ".txt",
                                     QByteArray::number(i), false));
    entries[0].name = "thumbs.db";
    entries[n / 2].name = "dir/THUMBS.DB";
    entries[n - 1].name = "Thumbs.db";
    const QString archive = m_zips + "/many.zip";
    QVERIFY(testzip::write(archive, testzip::buildZip64(entries)));
    const Result r = run(*m_program, m_zips);
    E2E_VERIFY_ENDED(r);
    const QStringList names = testzip::names(archive);
    QCOMPARE(names.size(), n - 2);
    QVERIFY(!names.contains("thumbs.db") && !names.contains("Thumbs.db"));
    QVERIFY(names.contains("dir/THUMBS.DB")); // a row names a whole entry name, folder part included
    QCOMPARE(tree(m_zips), QStringList{"many.zip"});
}

void E2eHostile::controlCharactersAndNewlinesInNames()
{
    const QList<QByteArray> odd = {"line1\nthumbs.db", "thumbs.db\n",        "\r\nthumbs.db", "bell\x07.txt",
                                   "tab\there.txt",    "esc\x1b[31mred.txt", "file_id.diz\n", "nul\x01.txt"};
    QList<testzip::Entry> entries{testzip::file("thumbs.db", "junk")};
    for (const QByteArray& name : odd)
        entries.append(testzip::file(name, "x"));
    const QString archive = m_zips + "/odd.zip";
    QVERIFY(testzip::writeZip(archive, entries));
    QStringList expected = testzip::names(archive);
    expected.removeAll(QStringLiteral("thumbs.db"));
    QCOMPARE(expected.size(), odd.size());
    const Result r = run(*m_program, m_zips);
    E2E_VERIFY_ENDED(r);
    // One summary line and nothing of the names on the terminal.
    QCOMPARE(r.out.count('\n'), 1);
    QVERIFY(!r.out.contains('\x1b') && !r.err.contains('\x1b'));
    // Only the entry the list names goes; look-alikes with a line break stay.
    QStringList names = testzip::names(archive);
    names.sort();
    expected.sort();
    QCOMPARE(names, expected);
    QCOMPARE(tree(m_zips), QStringList{"odd.zip"});
}

void E2eHostile::millionLinePurgeList()
{
    std::string text;
    for (qint64 i = 0; i < 999999; ++i)
        text += "junk-" + std::to_string(i * 7919) + ".tmp\r\n";
    text += "thumbs.db\r\n";
    const QByteArray list = QByteArray::fromStdString(text);
    QVERIFY(m_program->setPurge(list));
    for (int i = 0; i < 3; ++i)
        QVERIFY(testzip::writeZip(
            m_zips + QStringLiteral("/z%1.zip").arg(i),
            {testzip::file("thumbs.db", "x"), testzip::file("junk-7919.tmp", "y"), testzip::file("keep.txt", "z")}));
    const Result r = run(*m_program, m_zips);
    E2E_VERIFY_ENDED(r);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(testzip::names(m_zips + QStringLiteral("/z%1.zip").arg(i)), QStringList{"keep.txt"});
    QCOMPARE(QFileInfo(m_program->purgePath()).size(), list.size()); // the list itself is left alone
}

QTEST_GUILESS_MAIN(E2eHostile)
#include "test_e2e_hostile.moc"
