// Archives and folders whose names are not UTF-8 (Latin-1 and code page 437 names copied from DOS, Windows and
// CD-ROMs, and bytes that are no encoding at all) are cleaned as their UTF-8-named twins are. Each case runs
// twice through the real program, once on the raw names and once on a UTF-8 twin of the same layout: the
// verdicts, the status and every line agree once the names are set aside, the files renamed and written
// carry the raw bytes, no other file of the folder changes, and the report gives the exact bytes.

#include "e2e/E2e.h"
#include "zip/ShownText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QScopeGuard>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

// What is known of one name on disk: its size and its modification time, to the nanosecond.
using Listing = QMap<QByteArray, QPair<qint64, qint64>>;

// Every entry below a folder by its bytes relative to the folder, read without Qt's name decoding: a file's size
// and modification time to the nanosecond; a folder's name ends in '/'.
void listInto(const QByteArray& folder, const QByteArray& relative, Listing& out)
{
    DIR* dir = ::opendir(folder.constData());
    for (const dirent* e; dir && (e = ::readdir(dir));) {
        const QByteArray name(e->d_name);
        const QByteArray key = relative + name;
        struct stat st = {};
        if (name == "." || name == ".." || ::lstat((folder + '/' + name).constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            listInto(folder + '/' + name, key + '/', out);
        out.insert(S_ISDIR(st.st_mode) ? key + '/' : key,
                   {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
    }
    if (dir)
        ::closedir(dir);
}

Listing listing(const QByteArray& folder)
{
    Listing out;
    listInto(folder, {}, out);
    return out;
}

bool writeRaw(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && ok;
}

QByteArray readRaw(const QByteArray& path)
{
    QByteArray out;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, n);
    ::close(fd);
    return out;
}

// A word for the shell that prints exactly these bytes: every byte as an octal escape of printf.
QString shellBytes(const QByteArray& bytes)
{
    QString escaped;
    for (const char c : bytes)
        escaped += QStringLiteral("\\%1").arg(uint(uchar(c)), 3, 8, QLatin1Char('0'));
    return QStringLiteral("\"$(printf '%1')\"").arg(escaped);
}

// Runs the program from `workFolder` with the options, then the folder given as raw bytes: QProcess passes
// only text, so a shell puts the bytes on the command line.
Result runOn(const Program& program, const QString& workFolder, const QStringList& options, const QByteArray& folder)
{
    QString command = QStringLiteral("exec \"$0\"");
    for (qsizetype i = 1; i <= options.size(); ++i)
        command += QStringLiteral(" \"$%1\"").arg(i);
    command += u' ' + shellBytes(folder);
    QProcess p;
    p.setProgram(QStringLiteral("/bin/sh"));
    p.setArguments(QStringList{QStringLiteral("-c"), command, program.exe()} + options);
    p.setWorkingDirectory(workFolder);
    p.setProcessEnvironment(environment());
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, 300000);
}

QList<QJsonObject> objectsOf(const QByteArray& jsonLines)
{
    QList<QJsonObject> out;
    for (const QByteArray& line : jsonLines.split('\n'))
        if (!line.trimmed().isEmpty())
            out << QJsonDocument::fromJson(line).object();
    return out;
}

// The JSON text of a string without its quotes, as it stands inside a report line.
QByteArray inJson(const QString& text)
{
    return QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact).chopped(2).mid(2);
}

QByteArray junkArchive(int seed)
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("keep.txt", testzip::text(800, seed))});
}

QByteArray damagedArchive()
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build(
        {testzip::file("a.txt", testzip::text(700, 3)), testzip::file("b.txt", testzip::text(900, 4), false)}, {},
        &layout);
    bytes[int(layout.dataOffsets[1]) + 20] ^= 0x40;
    return bytes;
}

// Makes a scenario's folder "DOS<stem>" in base, every name holding the stem, beside neighbours no case may touch
// (a sound archive with a plain name and a text file).
bool make(const QByteArray& base, const QString& scenario, const QByteArray& stem)
{
    const QByteArray folder = base + "/DOS" + stem;
    const QByteArray target = folder + '/' + stem + ".ZIP";
    const QByteArray clean = testzip::build({testzip::file("keep.txt", testzip::text(900, 1))});
    const QByteArray doubleZip = testzip::build({testzip::file("file_id.diz", "  A description\r\n"),
                                                 testzip::file("prog.exe", testzip::text(2000, 5)),
                                                 testzip::file("file_id.diz", "  A description\r\n")});
    bool ok = ::mkdir(folder.constData(), 0755) == 0 && writeRaw(folder + "/other.zip", clean) &&
              writeRaw(folder + "/README." + stem, "read me\n");
    if (scenario == "clean" || scenario == "incremental") // a hidden archive is passed over, whatever its name
        return ok && writeRaw(target, clean) && writeRaw(folder + "/.h" + stem + ".zip", junkArchive(6));
    if (scenario == "purge")
        return ok && writeRaw(target, junkArchive(1));
    if (scenario == "double zip")
        return ok && writeRaw(target, doubleZip);
    if (scenario == "damaged, salvaged")
        return ok && writeRaw(target, damagedArchive());
    if (scenario == "older .bad salvaged")
        return ok && writeRaw(target, clean) && writeRaw(folder + "/OLD" + stem + ".zip.bad", damagedArchive());
    if (scenario == "dry run")
        return ok && writeRaw(target, damagedArchive()) && writeRaw(folder + "/J" + stem + ".zip", junkArchive(2)) &&
               writeRaw(folder + "/W" + stem + ".zip", doubleZip);
    // Below the raw folder: a raw folder, a UTF-8 folder below that, and a hidden raw folder not entered.
    const QByteArray inner = folder + "/SUB" + stem;
    const QByteArray hidden = folder + "/.H" + stem;
    return ok && writeRaw(target, junkArchive(1)) && ::mkdir(inner.constData(), 0755) == 0 &&
           ::mkdir((inner + "/plain").constData(), 0755) == 0 && ::mkdir(hidden.constData(), 0755) == 0 &&
           writeRaw(inner + '/' + stem + ".zip", junkArchive(3)) &&
           writeRaw(inner + "/plain/x" + stem + ".zip", junkArchive(4)) && writeRaw(hidden + "/h.zip", junkArchive(5));
}

// A run's stdout and stderr with the name stem made one mark, and the report's times and bytes left out, so
// the raw run and its twin's can be compared.
QStringList comparable(const Result& r, const QByteArray& stem)
{
    const QString shown = escapedName(stem);
    QStringList out;
    for (QJsonObject o : objectsOf(r.out)) {
        for (const char* key : {"ms", "data", "data_tested", "name_bytes", "folder_bytes"})
            o.remove(QLatin1String(key));
        QJsonObject s = o["salvage"].toObject();
        if (s.remove(QStringLiteral("file_bytes")), !s.isEmpty())
            o["salvage"] = s;
        QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
        out << QString::fromUtf8(line.replace(inJson(shown), "@"));
    }
    for (const QString& line : QString::fromLocal8Bit(r.err).split(u'\n', Qt::SkipEmptyParts))
        out << QString(line).replace(shown, QStringLiteral("@"));
    return out;
}

// The files a run made, removed or changed, by their names with the stem given as `as`, and what each holds
// (an archive's entry names, read from a copy at a name libzip can open; a removed file's is "gone").
QMap<QByteArray, QStringList> changes(const QByteArray& folder, const Listing& before, const Listing& after,
                                      const QByteArray& stem, const QByteArray& as, const QString& scratch)
{
    QMap<QByteArray, QStringList> out;
    for (const QByteArray& key : (before.keys() + after.keys()))
        if (before.value(key, {-1, -1}) != after.value(key, {-1, -1})) {
            QStringList held{QStringLiteral("gone")};
            if (after.contains(key) && !key.endsWith('/')) {
                QFile::remove(scratch);
                held = testzip::write(scratch, readRaw(folder + '/' + key)) ? testzip::names(scratch) : QStringList();
                held.sort();
            }
            out.insert(stem.isEmpty() ? key : QByteArray(key).replace(stem, as), held);
        }
    return out;
}

} // namespace

class E2eRawNames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanedLikeTheirTwins_data();
    void cleanedLikeTheirTwins();

private:
    QTemporaryDir m_root;
    std::unique_ptr<Program> m_program;
};

void E2eRawNames::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_program = std::make_unique<Program>(m_root.path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
}

void E2eRawNames::cleanedLikeTheirTwins_data()
{
    QTest::addColumn<QByteArray>("stem"); // bytes that are not UTF-8
    QTest::addColumn<QString>("twin");    // a UTF-8 stem of the same layout
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("verdict"); // the verdict of the archive <stem>.ZIP
    const struct
    {
        const char* label;
        QByteArray stem;
        QString twin;
    } names[] = {
        {"Latin-1", QByteArray("CAF\xc9"), QStringLiteral("CAFÉ")},
        {"code page 437", QByteArray("M\x81SIK\x8e"), QStringLiteral("MÜSIKÄ")},
        {"no encoding", QByteArray("\xff\xfe-\xe2\x82-\xc0\xaf"), QStringLiteral("ÿþ-€-À¯")},
    };
    const struct
    {
        const char* scenario;
        QStringList options;
        const char* verdict;
    } cases[] = {{"clean", {}, "clean"},
                 {"purge", {}, "purged"},
                 {"double zip", {}, "repaired"},
                 {"damaged, salvaged", {"--salvage"}, "damaged"},
                 {"older .bad salvaged", {"--salvage"}, "clean"},
                 {"incremental", {"--incremental"}, "clean"},
                 {"dry run", {"--dry-run"}, "damaged"},
                 {"recursive", {"-r"}, "purged"}};
    for (const auto& c : cases)
        for (const auto& name : names)
            QTest::addRow("%s, %s", name.label, c.scenario)
                << name.stem << name.twin << QString::fromLatin1(c.scenario)
                << (QStringList{"--report", "-"} + c.options) << QString::fromLatin1(c.verdict);
}

void E2eRawNames::cleanedLikeTheirTwins()
{
    QFETCH(QByteArray, stem);
    QFETCH(QString, twin);
    QFETCH(QString, scenario);
    QFETCH(QStringList, options);
    QFETCH(QString, verdict);
    const QByteArray base = QFile::encodeName(m_root.filePath(QString(QTest::currentDataTag()).replace(u',', u'_')));
    QVERIFY(::mkdir(base.constData(), 0755) == 0);
    const auto removeAll = qScopeGuard([&] { QProcess::execute("rm", {"-rf", "--", QFile::decodeName(base)}); });
    QVERIFY(make(base, scenario, stem) && make(base, scenario, twin.toUtf8()));

    // Each layout is run (twice with --incremental, the second run taking every verdict from the cache).
    const auto run = [&](const QByteArray& name, Listing* before, Listing* after) {
        *before = listing(base + "/DOS" + name);
        Result r = runOn(*m_program, QFile::decodeName(base), options, "DOS" + name);
        if (scenario == "incremental") {
            const Result again = runOn(*m_program, QFile::decodeName(base), options, "DOS" + name);
            if (comparable(again, name) != comparable(r, name) || again.out.contains("\"data\":\"read\""))
                r.exitCode = -1;
        }
        *after = listing(base + "/DOS" + name);
        return r;
    };
    Listing rawBefore, rawAfter, twinBefore, twinAfter;
    const Result r = run(stem, &rawBefore, &rawAfter);
    const Result t = run(twin.toUtf8(), &twinBefore, &twinAfter);
    QVERIFY2(!r.sanitizerReport() && r.finished && r.status == QProcess::NormalExit, r.err.constData());
    QVERIFY2(r.exitCode == (verdict == "damaged" ? 3 : 0), r.err.constData());
    if (scenario == "clean")
        QVERIFY2(r.err.contains("skipped, the archive is hidden: DOS" + escapedName(stem).toUtf8() + "/.h"),
                 r.err.constData());

    // The same verdicts, status and lines as the twin's, once the name is set aside; the same files made, renamed
    // and changed, holding the same entries, under the raw names; no other file touched.
    QCOMPARE(r.exitCode, t.exitCode);
    QCOMPARE(comparable(r, stem), comparable(t, twin.toUtf8()));
    const QString scratch = m_root.filePath("scratch.zip");
    const auto rawChanges = changes(base + "/DOS" + stem, rawBefore, rawAfter, stem, twin.toUtf8(), scratch);
    QCOMPARE(rawChanges, changes(base + "/DOS" + twin.toUtf8(), twinBefore, twinAfter, {}, {}, scratch));
    QCOMPARE(rawChanges.isEmpty(), scenario == "clean" || scenario == "incremental" || scenario == "dry run");

    // The report names every archive readably and gives its exact bytes where they are not UTF-8.
    bool targetSeen = false;
    for (const QJsonObject& o : objectsOf(r.out)) {
        const QString key = o.contains("summary") ? QStringLiteral("folder") : QStringLiteral("name");
        const QByteArray bytes = QByteArray::fromHex(o[key + "_bytes"].toString().toLatin1());
        QCOMPARE(o.contains(key + "_bytes"), o[key].toString() != QLatin1String("other.zip"));
        if (o.contains(key + "_bytes"))
            QCOMPARE(o[key].toString(), escapedName(bytes));
        if (o.contains("summary"))
            QCOMPARE(bytes, base + "/DOS" + stem);
        else if (bytes == stem + ".ZIP")
            targetSeen = o["verdict"].toString() == verdict;
        else if (o.contains("name_bytes") && !o.contains("verdict"))
            QCOMPARE(o["salvage"].toObject()["file_bytes"].toString(), (("OLD" + stem + ".salvaged.zip").toHex()));
    }
    QVERIFY2(targetSeen, r.out.constData());
}

QTEST_GUILESS_MAIN(E2eRawNames)
#include "test_e2e_rawnames.moc"
