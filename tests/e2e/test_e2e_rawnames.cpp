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
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

// What is known of one name on disk: its size and its modification time, to the nanosecond.
using Listing = QMap<QByteArray, QPair<qint64, qint64>>;

// Every entry below a folder, by its bytes relative to the folder, read without Qt's name decoding.
void listInto(const QByteArray& folder, const QByteArray& relative, Listing& out)
{
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    QList<QByteArray> below;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat st = {};
        if (::lstat((folder + '/' + name).constData(), &st) != 0)
            continue;
        const QByteArray key = relative.isEmpty() ? name : relative + '/' + name;
        if (S_ISDIR(st.st_mode)) {
            out.insert(key + '/', {0, 0});
            below << name;
        } else {
            out.insert(key, {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
        }
    }
    ::closedir(dir);
    for (const QByteArray& name : below)
        listInto(folder + '/' + name, relative.isEmpty() ? name : relative + '/' + name, out);
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

// The entry names of an archive at a raw path, read by libzip from a copy at a name it can open.
QStringList namesAt(const QByteArray& path, const QString& scratch)
{
    QFile::remove(scratch);
    if (!testzip::write(scratch, readRaw(path)))
        return {QStringLiteral("(unreadable)")};
    return testzip::names(scratch);
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

// One layout of files, made under a name stem: the raw bytes, or the UTF-8 twin.
struct Made
{
    QByteArray stem;          // the bytes every made name holds
    QByteArray folder;        // the folder given on the command line, relative to the scenario's folder
    QByteArray target;        // the archive the case is about, relative to `folder`
    QList<QByteArray> purged; // archives below `folder` that lose their junk entry
};

QByteArray junkArchive(int seed)
{
    return testzip::build({testzip::file("thumbs.db", "junk"), testzip::file("keep.txt", testzip::text(800, seed))});
}

QByteArray cleanArchive(int seed)
{
    return testzip::build({testzip::file("keep.txt", testzip::text(900, seed))});
}

QByteArray damagedArchive()
{
    testzip::Layout layout;
    QByteArray bytes = testzip::build(
        {testzip::file("a.txt", testzip::text(700, 3)), testzip::file("b.txt", testzip::text(900, 4), false)}, {},
        &layout);
    const int at = int(layout.dataOffsets[1]) + 20;
    bytes[at] = char(bytes[at] ^ 0x40);
    return bytes;
}

QByteArray doubleZip()
{
    return testzip::build({testzip::file("file_id.diz", "  A description\r\n"),
                           testzip::file("prog.exe", testzip::text(2000, 5)),
                           testzip::file("file_id.diz", "  A description\r\n")});
}

// Makes the scenario's files in `base` (the scenario's folder, as bytes) and says where they are.
bool make(const QByteArray& base, const QString& scenario, const QByteArray& stem, Made* layout)
{
    layout->stem = stem;
    layout->folder = "DOS" + stem;
    const QByteArray folder = base + '/' + layout->folder;
    if (::mkdir(folder.constData(), 0755) != 0)
        return false;
    // A neighbour of each kind that no case may touch: a sound archive with a plain name and a text file.
    bool ok = writeRaw(folder + "/other.zip", cleanArchive(9)) && writeRaw(folder + "/README." + stem, "read me\n");
    layout->target = stem + ".ZIP";
    const QByteArray target = folder + '/' + layout->target;
    if (scenario == "clean" || scenario == "incremental") {
        // A hidden archive is passed over, and said to be, whatever its name.
        ok = ok && writeRaw(target, cleanArchive(1)) && writeRaw(folder + "/.h" + stem + ".zip", junkArchive(6));
    } else if (scenario == "purge") {
        ok = ok && writeRaw(target, junkArchive(1));
        layout->purged << layout->target;
    } else if (scenario == "double zip") {
        ok = ok && writeRaw(target, doubleZip());
    } else if (scenario == "damaged, salvaged") {
        ok = ok && writeRaw(target, damagedArchive());
    } else if (scenario == "older .bad salvaged") {
        ok = ok && writeRaw(target, cleanArchive(1)) && writeRaw(folder + "/OLD" + stem + ".zip.bad", damagedArchive());
    } else if (scenario == "dry run") {
        ok = ok && writeRaw(target, damagedArchive()) && writeRaw(folder + "/J" + stem + ".zip", junkArchive(2)) &&
             writeRaw(folder + "/W" + stem + ".zip", doubleZip());
        layout->purged << "J" + stem + ".zip";
    } else if (scenario == "recursive") {
        // Below the raw folder: a raw folder, a UTF-8 folder below that, and a hidden raw folder not entered.
        const QByteArray inner = folder + "/SUB" + stem;
        const QByteArray utf8 = inner + "/plain";
        const QByteArray hidden = folder + "/.H" + stem;
        ok = ok && writeRaw(target, junkArchive(1)) && ::mkdir(inner.constData(), 0755) == 0 &&
             ::mkdir(utf8.constData(), 0755) == 0 && ::mkdir(hidden.constData(), 0755) == 0 &&
             writeRaw(inner + '/' + stem + ".zip", junkArchive(3)) &&
             writeRaw(utf8 + "/x" + stem + ".zip", junkArchive(4)) && writeRaw(hidden + "/h.zip", junkArchive(5));
        layout->purged << layout->target << "SUB" + stem + '/' + stem + ".zip"
                       << "SUB" + stem + "/plain/x" + stem + ".zip";
    } else {
        return false;
    }
    return ok;
}

QStringList optionsOf(const QString& scenario)
{
    QStringList options{QStringLiteral("--report"), QStringLiteral("-")};
    if (scenario == "damaged, salvaged" || scenario == "older .bad salvaged")
        options << QStringLiteral("--salvage");
    if (scenario == "incremental")
        options << QStringLiteral("--incremental");
    if (scenario == "dry run")
        options << QStringLiteral("--dry-run");
    if (scenario == "recursive")
        options << QStringLiteral("-r");
    return options;
}

// A run's stdout and stderr with the layout's name stem made one mark, and the report's times left out, so
// the raw run and its twin's can be compared.
QStringList comparable(const Result& r, const QByteArray& stem)
{
    const QString shown = escapedName(stem);
    QStringList out;
    for (QJsonObject o : objectsOf(r.out)) {
        for (const char* key : {"ms", "data", "data_tested", "name_bytes", "folder_bytes"})
            o.remove(QLatin1String(key));
        if (o.contains("salvage")) {
            QJsonObject s = o["salvage"].toObject();
            s.remove(QStringLiteral("file_bytes"));
            o["salvage"] = s;
        }
        QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
        out << QString::fromUtf8(line.replace(inJson(shown), "@"));
    }
    for (const QString& line : QString::fromLocal8Bit(r.err).split(u'\n', Qt::SkipEmptyParts))
        out << QString(line).replace(shown, QStringLiteral("@"));
    return out;
}

} // namespace

class E2eRawNames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanedLikeTheirTwins_data();
    void cleanedLikeTheirTwins();

private:
    // The case's run on one layout; checks what holds for any name, and returns the run.
    Result runCase(const QString& scenario, const QByteArray& base, const Made& layout, Listing* before,
                   Listing* after);

    QTemporaryDir m_root;
    std::unique_ptr<Program> m_program;
    QStringList m_made; // scenario folders, removed by bytes: Qt cannot remove the raw names in them
};

void E2eRawNames::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_program = std::make_unique<Program>(m_root.path());
    QVERIFY(m_program->ok());
    QVERIFY(m_program->setPurge("thumbs.db\n"));
}

void E2eRawNames::cleanup()
{
    for (const QString& folder : std::as_const(m_made)) {
        QProcess rm;
        rm.start(QStringLiteral("rm"), {QStringLiteral("-rf"), QStringLiteral("--"), folder});
        rm.waitForFinished();
    }
    m_made.clear();
}

void E2eRawNames::cleanedLikeTheirTwins_data()
{
    QTest::addColumn<QByteArray>("stem"); // bytes that are not UTF-8
    QTest::addColumn<QString>("twin");    // a UTF-8 stem of the same layout
    QTest::addColumn<QString>("scenario");
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
    for (const char* scenario : {"clean", "purge", "double zip", "damaged, salvaged", "older .bad salvaged",
                                 "incremental", "dry run", "recursive"})
        for (const auto& name : names)
            QTest::addRow("%s, %s", name.label, scenario) << name.stem << name.twin << QString::fromLatin1(scenario);
}

Result E2eRawNames::runCase(const QString& scenario, const QByteArray& base, const Made& layout, Listing* before,
                            Listing* after)
{
    *before = listing(base + '/' + layout.folder);
    Result r = runOn(*m_program, QFile::decodeName(base), optionsOf(scenario), layout.folder);
    if (scenario == "incremental") {
        // The second run takes every verdict from the cache and says what the first said.
        const Result again = runOn(*m_program, QFile::decodeName(base), optionsOf(scenario), layout.folder);
        [&] {
            QVERIFY2(again.exitCode == r.exitCode, again.err.constData());
            const QList<QJsonObject> objects = objectsOf(again.out);
            for (const QJsonObject& o : objects)
                if (!o.contains("summary"))
                    QCOMPARE(o["data"].toString(), QStringLiteral("cache"));
            QCOMPARE(comparable(again, layout.stem), comparable(r, layout.stem));
        }();
    }
    *after = listing(base + '/' + layout.folder);
    return r;
}

void E2eRawNames::cleanedLikeTheirTwins()
{
    QFETCH(QByteArray, stem);
    QFETCH(QString, twin);
    QFETCH(QString, scenario);
    const QByteArray base = QFile::encodeName(m_root.filePath(QString(QTest::currentDataTag()).replace(u',', u'_')));
    QVERIFY(::mkdir(base.constData(), 0755) == 0);
    m_made << QFile::decodeName(base);

    Made raw, utf8;
    QVERIFY(make(base, scenario, stem, &raw));
    QVERIFY(make(base, scenario, twin.toUtf8(), &utf8));
    Listing rawBefore, rawAfter, twinBefore, twinAfter;
    const Result r = runCase(scenario, base, raw, &rawBefore, &rawAfter);
    if (QTest::currentTestFailed())
        return;
    const Result t = runCase(scenario, base, utf8, &twinBefore, &twinAfter);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(!r.sanitizerReport() && r.finished && r.status == QProcess::NormalExit, r.err.constData());
    QVERIFY2(!r.err.contains("not UTF-8"), r.err.constData());
    if (scenario == "clean")
        QVERIFY2(r.err.contains(
                     ("skipped, the archive is hidden: " + escapedName(raw.folder + "/.h" + stem + ".zip")).toUtf8()),
                 r.err.constData());

    // The same verdicts, status and lines as the twin's, once the name is set aside.
    const bool damage = scenario == "damaged, salvaged" || scenario == "dry run";
    if (scenario != "dry run")
        QVERIFY2(r.exitCode == (damage ? 3 : 0), r.err.constData());
    QCOMPARE(r.exitCode, t.exitCode);
    QCOMPARE(comparable(r, stem), comparable(t, twin.toUtf8()));

    // The report names every archive readably and by its exact bytes.
    const QList<QJsonObject> objects = objectsOf(r.out);
    QVERIFY(!objects.isEmpty() && objects.last()["summary"].toBool());
    int named = 0;
    for (const QJsonObject& o : objects) {
        if (o.contains("summary")) {
            QCOMPARE(o["folder_bytes"].toString(), QString::fromLatin1((base + '/' + raw.folder).toHex()));
            continue;
        }
        const QByteArray name = QByteArray::fromHex(o["name_bytes"].toString().toLatin1());
        const QByteArray folder = QByteArray::fromHex(o["folder_bytes"].toString().toLatin1());
        if (o["name"].toString() == QLatin1String("other.zip")) {
            QVERIFY(!o.contains("name_bytes"));
            continue;
        }
        if (!o.contains("verdict")) { // an older .bad file's salvage
            QCOMPARE(name, "OLD" + stem + ".zip.bad");
            QCOMPARE(o["salvage"].toObject()["file_bytes"].toString(),
                     QString::fromLatin1(("OLD" + stem + ".salvaged.zip").toHex()));
            continue;
        }
        ++named;
        QVERIFY2(name.contains(stem), qPrintable(o["name"].toString()));
        QCOMPARE(o["name"].toString(), escapedName(name));
        QVERIFY2(folder.startsWith(base + '/' + raw.folder), qPrintable(o["folder"].toString()));
        const QString verdict = o["verdict"].toString();
        const QByteArray relative = (folder + '/' + name).mid(base.size() + raw.folder.size() + 2);
        if (raw.purged.contains(relative))
            QCOMPARE(verdict, QStringLiteral("purged"));
        else if (scenario == "double zip" || name.startsWith('W'))
            QCOMPARE(verdict, QStringLiteral("repaired"));
        else if (damage)
            QCOMPARE(verdict, QStringLiteral("damaged"));
        else
            QCOMPARE(verdict, QStringLiteral("clean"));
    }
    QCOMPARE(named, int(scenario == "dry run" ? 3 : scenario == "recursive" ? 3 : 1));

    // The files: those the case is about changed as their twins did, under their raw names; no other changed.
    const QByteArray folder = base + '/' + raw.folder;
    Listing expected = rawBefore;
    const QString scratch = m_root.filePath("scratch.zip");
    if (scenario == "damaged, salvaged") {
        expected.remove(raw.target);
        QVERIFY(rawAfter.contains(raw.target + ".bad"));
        QVERIFY(rawAfter.contains(stem + ".salvaged.zip"));
        QCOMPARE(readRaw(folder + '/' + raw.target + ".bad"), damagedArchive());
        QVERIFY(namesAt(folder + '/' + stem + ".salvaged.zip", scratch).contains(QStringLiteral("a.txt")));
        expected.insert(raw.target + ".bad", rawAfter.value(raw.target + ".bad"));
        expected.insert(stem + ".salvaged.zip", rawAfter.value(stem + ".salvaged.zip"));
    } else if (scenario == "older .bad salvaged") {
        const QByteArray salvaged = "OLD" + stem + ".salvaged.zip";
        QVERIFY(namesAt(folder + '/' + salvaged, scratch).contains(QStringLiteral("a.txt")));
        expected.insert(salvaged, rawAfter.value(salvaged));
    } else if (scenario == "double zip") {
        QStringList names = namesAt(folder + '/' + raw.target, scratch);
        names.sort();
        QCOMPARE(names, (QStringList{"file_id.diz", "prog.exe"})); // one description left
        expected.insert(raw.target, rawAfter.value(raw.target));
    }
    if (scenario != "dry run")
        for (const QByteArray& archive : raw.purged) {
            QCOMPARE(namesAt(folder + '/' + archive, scratch), QStringList{"keep.txt"});
            expected.insert(archive, rawAfter.value(archive));
        }
    QCOMPARE(rawAfter, expected);
    // The twin's files changed in the same places.
    QCOMPARE(twinAfter.size(), rawAfter.size());
}

QTEST_GUILESS_MAIN(E2eRawNames)
#include "test_e2e_rawnames.moc"
