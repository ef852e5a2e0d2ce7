// The clean-all run on a large folder, against the same job done with Info-ZIP and 7-Zip, and against a
// floor: inflating and CRC-checking every entry with libdeflate alone, plus copying the archives that change.
//
// Usage: clean_bench [--work DIR] [--tamsorel PATH] [--skip-peers]
// The workload (300 archives, about 650 MB) is generated once into DIR/pristine and reused; every tool
// then works on a fresh copy. Each tool's result is checked against what the generator put in.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <libdeflate.h>
#include <thread>
#include <vector>
#include <zip.h>

namespace {

// ---------------------------------------------------------------- generator

struct Block
{
    QByteArray packed;
    quint32 crc = 0;
    quint32 size = 0;
};

QByteArray wordsText(QRandomGenerator& rng, int size)
{
    static QList<QByteArray> vocabulary;
    if (vocabulary.isEmpty()) {
        QRandomGenerator v(99);
        for (int i = 0; i < 3000; ++i) {
            QByteArray w;
            const int len = 2 + int(v.bounded(9));
            for (int c = 0; c < len; ++c)
                w.append(char('a' + v.bounded(26)));
            vocabulary << w;
        }
    }
    QByteArray out;
    out.reserve(size + 16);
    while (out.size() < size) {
        out += vocabulary[int(rng.bounded(vocabulary.size()))];
        out += rng.bounded(12) == 0 ? "\r\n" : " ";
        if (rng.bounded(40) == 0)
            out += QByteArray::number(rng.generate());
    }
    out.resize(size);
    return out;
}

Block makeBlock(QRandomGenerator& rng, int size)
{
    const QByteArray raw = wordsText(rng, size);
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    Block b;
    b.packed.resize(qsizetype(libdeflate_deflate_compress_bound(c, size_t(raw.size()))));
    b.packed.resize(qsizetype(
        libdeflate_deflate_compress(c, raw.constData(), size_t(raw.size()), b.packed.data(), size_t(b.packed.size()))));
    libdeflate_free_compressor(c);
    b.crc = quint32(libdeflate_crc32(0, raw.constData(), size_t(raw.size())));
    b.size = quint32(raw.size());
    return b;
}

void put16(QByteArray& b, quint16 v)
{
    b.append(char(v & 0xff));
    b.append(char(v >> 8));
}
void put32(QByteArray& b, quint32 v)
{
    put16(b, quint16(v & 0xffff));
    put16(b, quint16(v >> 16));
}

struct ZipWriter
{
    QByteArray bytes;
    QByteArray central;
    int count = 0;
    void add(const QByteArray& name, const Block& b)
    {
        const quint32 offset = quint32(bytes.size());
        const quint32 dosTime = (quint32((2024 - 1980) << 9 | 3 << 5 | 14) << 16) | (12 << 11);
        put32(bytes, 0x04034b50);
        put16(bytes, 20);
        put16(bytes, 0);
        put16(bytes, 8);
        put32(bytes, dosTime);
        put32(bytes, b.crc);
        put32(bytes, quint32(b.packed.size()));
        put32(bytes, b.size);
        put16(bytes, quint16(name.size()));
        put16(bytes, 0);
        bytes += name;
        bytes += b.packed;
        put32(central, 0x02014b50);
        put16(central, 20);
        put16(central, 20);
        put16(central, 0);
        put16(central, 8);
        put32(central, dosTime);
        put32(central, b.crc);
        put32(central, quint32(b.packed.size()));
        put32(central, b.size);
        put16(central, quint16(name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, offset);
        central += name;
        ++count;
    }
    QByteArray finish()
    {
        const quint32 cdOffset = quint32(bytes.size());
        bytes += central;
        put32(bytes, 0x06054b50);
        put16(bytes, 0);
        put16(bytes, 0);
        put16(bytes, quint16(count));
        put16(bytes, quint16(count));
        put32(bytes, quint32(central.size()));
        put32(bytes, cdOffset);
        put16(bytes, 0);
        return bytes;
    }
};

// What the generator put into one archive, for checking a tool's result.
struct Expect
{
    QString name;
    bool truncated = false;
    bool doubled = false;
    QStringList keep;   // names that must stay (file_id.diz once, whatever the copies)
    QStringList purged; // names that must be gone
    QByteArray description;
};

QStringList purgeNames()
{
    QStringList names;
    const char* stems[] = {"advert", "www", "dl", "visit", "spam", "banner", "promo", "nfo_ad", "ripped-by", "site"};
    const char* exts[] = {".txt", ".url", ".nfo", ".htm"};
    for (int i = 0; i < 200; ++i)
        names << QStringLiteral("%1%2%3").arg(stems[i % 10]).arg(i).arg(exts[(i / 10) % 4]);
    return names;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QList<Expect> generate(const QString& folder)
{
    QRandomGenerator rng(2024);
    const QStringList purge = purgeNames();
    std::vector<Block> big, small, tiny;
    for (int i = 0; i < 24; ++i)
        big.push_back(makeBlock(rng, 1024 * 1024 + int(rng.bounded(1024 * 1024))));
    for (int i = 0; i < 200; ++i)
        small.push_back(makeBlock(rng, 1000 + int(rng.bounded(40000))));
    for (int i = 0; i < 300; ++i)
        tiny.push_back(makeBlock(rng, 40 + int(rng.bounded(400))));
    const QByteArray descriptionText = "  Some release 1.0\r\n  [########]\r\n";
    const Block description = [&] {
        QRandomGenerator r(1);
        Block b;
        libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        b.packed.resize(256);
        b.packed.resize(qsizetype(libdeflate_deflate_compress(c, descriptionText.constData(),
                                                              size_t(descriptionText.size()), b.packed.data(), 256)));
        libdeflate_free_compressor(c);
        b.crc = quint32(libdeflate_crc32(0, descriptionText.constData(), size_t(descriptionText.size())));
        b.size = quint32(descriptionText.size());
        return b;
    }();

    QList<Expect> out;
    QDir().mkpath(folder);
    for (int a = 0; a < 300; ++a) {
        Expect e;
        e.name = QStringLiteral("arc%1.zip").arg(a, 3, 10, QLatin1Char('0'));
        e.description = descriptionText;
        ZipWriter w;
        const int kind = a % 20; // 14 of 20 small, 5 of 20 large, 1 of 20 with many tiny entries
        if (kind < 14) {
            const int n = 5 + int(rng.bounded(36));
            for (int i = 0; i < n; ++i) {
                const QString name = QStringLiteral("docs/file%1.txt").arg(i);
                w.add(name.toUtf8(), small[rng.bounded(int(small.size()))]);
                e.keep << name;
            }
        } else if (kind < 19) {
            const double u = rng.generateDouble();
            const qint64 target = qint64((5.0 + 15.0 * u * u * u * u) * 1024 * 1024);
            int i = 0;
            while (w.bytes.size() < target) {
                const QString name = QStringLiteral("data/part%1.bin").arg(i++);
                w.add(name.toUtf8(), big[rng.bounded(int(big.size()))]);
                e.keep << name;
            }
        } else {
            const int n = 5000 + int(rng.bounded(1000));
            for (int i = 0; i < n; ++i) {
                const QString name = QStringLiteral("src/m%1/f%2.c").arg(i / 100).arg(i);
                w.add(name.toUtf8(), tiny[rng.bounded(int(tiny.size()))]);
                e.keep << name;
            }
        }
        if (a % 3 == 0) {
            const int n = 1 + int(rng.bounded(3));
            for (int i = 0; i < n; ++i) {
                QString name = purge[rng.bounded(purge.size())];
                if (e.purged.contains(name))
                    continue;
                if (i == 1)
                    name = name.toUpper(); // the list is matched ignoring letter case
                w.add(name.toUtf8(), small[rng.bounded(int(small.size()))]);
                e.purged << name;
            }
        }
        w.add("file_id.diz", description);
        e.keep << QStringLiteral("file_id.diz");
        if (a % 20 == 7) {
            w.add("file_id.diz", description);
            e.doubled = true;
        }
        QByteArray bytes = w.finish();
        if (a % 33 == 5) {
            bytes.resize(bytes.size() * 6 / 10);
            e.truncated = true;
        }
        if (!writeFile(folder + u'/' + e.name, bytes))
            return {};
        out << e;
    }
    QFile list(folder + QStringLiteral("/../purge.txt"));
    list.open(QIODevice::WriteOnly);
    for (const QString& p : purge)
        list.write(p.toUtf8() + "\r\n");
    return out;
}

// ---------------------------------------------------------------- checks

QString check(const QString& folder, const QList<Expect>& expects)
{
    int bad = 0;
    QString first;
    for (const Expect& e : expects) {
        const QString path = folder + u'/' + e.name;
        QString problem;
        if (e.truncated) {
            if (QFile::exists(path) || !QFile::exists(path + QStringLiteral(".bad")))
                problem = QStringLiteral("not renamed to .bad");
        } else {
            int err = 0;
            zip_t* za = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &err);
            if (!za) {
                problem = QStringLiteral("cannot open");
            } else {
                QStringList names;
                for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i)
                    names << QString::fromUtf8(zip_get_name(za, zip_uint64_t(i), 0));
                QStringList want = e.keep;
                std::sort(want.begin(), want.end());
                std::sort(names.begin(), names.end());
                if (names != want)
                    problem = QStringLiteral("entries differ (%1 instead of %2)").arg(names.size()).arg(want.size());
                zip_stat_t st;
                zip_file_t* zf = zip_fopen(za, "file_id.diz", 0);
                if (zf && zip_stat(za, "file_id.diz", 0, &st) == 0) {
                    QByteArray d(qsizetype(st.size), 0);
                    if (zip_fread(zf, d.data(), st.size) != zip_int64_t(st.size) || d != e.description)
                        problem = QStringLiteral("description changed");
                }
                if (zf)
                    zip_fclose(zf);
                zip_discard(za);
            }
        }
        if (!problem.isEmpty() && bad++ == 0)
            first = e.name + QStringLiteral(": ") + problem;
    }
    return bad ? QStringLiteral("FAIL %1 (%2)").arg(bad).arg(first) : QStringLiteral("ok");
}

// ---------------------------------------------------------------- tools

bool copyFolder(const QString& from, const QString& to)
{
    QDir(to).removeRecursively();
    return QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), from, to}) == 0;
}

QByteArray run(const QString& program, const QStringList& args, int* status = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    p.waitForFinished(-1);
    if (status)
        *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}

// The job as a loop of Info-ZIP or 7-Zip commands: test, quarantine, repair a double description, purge.
void peerLoop(bool sevenZip, const QString& folder, const QSet<QString>& purge, const QString& temp)
{
    const QString z7 = QStringLiteral("7zz");
    for (const QString& name : QDir(folder).entryList({"*.zip"}, QDir::Files, QDir::Name)) {
        const QString path = folder + u'/' + name;
        int status = 0;
        if (sevenZip)
            run(z7, {"t", "-bso0", "-bse0", path}, &status);
        else
            run("unzip", {"-tqq", path}, &status);
        if (status != 0) {
            QFile::rename(path, path + ".bad");
            continue;
        }
        QStringList names;
        if (sevenZip) {
            for (const QByteArray& line : run(z7, {"l", "-slt", "-ba", path}).split('\n'))
                if (line.startsWith("Path = "))
                    names << QString::fromUtf8(line.mid(7).trimmed());
        } else {
            for (const QByteArray& line : run("unzip", {"-Z1", path}).split('\n'))
                if (!line.isEmpty())
                    names << QString::fromUtf8(line);
        }
        if (names.count("file_id.diz") > 1) {
            QFile::remove(temp + "/file_id.diz");
            if (sevenZip) {
                run(z7, {"e", "-y", "-bso0", "-o" + temp, path, "file_id.diz"});
                run(z7, {"d", "-bso0", path, "file_id.diz"});
                run(z7, {"a", "-tzip", "-bso0", path, temp + "/file_id.diz"});
            } else {
                run("unzip", {"-qq", "-o", "-j", path, "file_id.diz", "-d", temp});
                run("zip", {"-qd", path, "file_id.diz"});
                run("zip", {"-qj", path, temp + "/file_id.diz"});
            }
        }
        QStringList drop;
        for (const QString& n : names)
            if (purge.contains(n.toLower()))
                drop << n;
        if (!drop.isEmpty()) {
            if (sevenZip)
                run(z7, QStringList{"d", "-bso0", path} + drop);
            else
                run("zip", QStringList{"-qd", path} + drop);
        }
    }
}

// The floor: every entry of the folder inflated and CRC-checked with libdeflate, over the given threads.
qint64 floorPass(const QStringList& files, int threads)
{
    std::vector<qint64> inflated(size_t(threads), 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            libdeflate_decompressor* d = libdeflate_alloc_decompressor();
            QByteArray out;
            for (int f = t; f < files.size(); f += threads) {
                QFile file(files[f]);
                if (!file.open(QIODevice::ReadOnly))
                    continue;
                const QByteArray all = file.readAll();
                const char* p = all.constData();
                const qsizetype n = all.size();
                if (n < 22 || zip_uint32_t(quint8(p[n - 22]) | quint8(p[n - 21]) << 8 | quint8(p[n - 20]) << 16 |
                                           quint8(p[n - 19]) << 24) != 0x06054b50)
                    continue; // truncated: no end record where the generator writes it
                auto g16 = [&](qsizetype o) { return quint32(quint8(p[o]) | quint8(p[o + 1]) << 8); };
                auto g32 = [&](qsizetype o) { return g16(o) | g16(o + 2) << 16; };
                const quint32 count = g16(n - 12);
                qsizetype c = g32(n - 6);
                for (quint32 i = 0; i < count && c + 46 <= n; ++i) {
                    const quint32 crc = g32(c + 16), csize = g32(c + 20), usize = g32(c + 24);
                    const quint32 nameLen = g16(c + 28), extra = g16(c + 30), comment = g16(c + 32);
                    const qsizetype local = g32(c + 42);
                    const qsizetype data = local + 30 + g16(local + 26) + g16(local + 28);
                    out.resize(usize);
                    size_t got = 0;
                    if (libdeflate_deflate_decompress(d, p + data, csize, out.data(), usize, &got) ==
                            LIBDEFLATE_SUCCESS &&
                        libdeflate_crc32(0, out.constData(), got) == crc)
                        inflated[size_t(t)] += qint64(got);
                    c += 46 + nameLen + extra + comment;
                }
            }
            libdeflate_free_decompressor(d);
        });
    }
    for (std::thread& th : pool)
        th.join();
    qint64 total = 0;
    for (qint64 v : inflated)
        total += v;
    return total;
}

qint64 folderBytes(const QString& folder)
{
    qint64 total = 0;
    for (const QFileInfo& fi : QDir(folder).entryInfoList({"*.zip"}, QDir::Files))
        total += fi.size();
    return total;
}

void warm(const QString& folder)
{
    for (const QFileInfo& fi : QDir(folder).entryInfoList(QDir::Files)) {
        QFile f(fi.absoluteFilePath());
        if (f.open(QIODevice::ReadOnly))
            while (!f.read(1 << 20).isEmpty()) {
            }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString work = QDir::tempPath() + QStringLiteral("/clean_bench");
    QString tamsorel = QCoreApplication::applicationDirPath() + QStringLiteral("/../tamsorel");
    bool peers = true;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--work" && i + 1 < args.size())
            work = args[++i];
        else if (args[i] == "--tamsorel" && i + 1 < args.size())
            tamsorel = args[++i];
        else if (args[i] == "--skip-peers")
            peers = false;
    }
    const QString pristine = work + QStringLiteral("/pristine");
    QElapsedTimer t;

    QDir().mkpath(pristine);
    for (const QString& f : QDir(pristine).entryList(QDir::Files))
        QFile::remove(pristine + u'/' + f);
    t.start();
    const QList<Expect> expects = generate(pristine);
    if (expects.isEmpty()) {
        std::fprintf(stderr, "cannot write the workload into %s\n", qPrintable(pristine));
        return 1;
    }
    const qint64 bytes = folderBytes(pristine);
    int changing = 0;
    for (const Expect& e : expects)
        changing += !e.truncated && (e.doubled || !e.purged.isEmpty());
    std::printf("workload: %lld archives, %.0f MB, %d change (generated in %.1f s)\n", qlonglong(expects.size()),
                double(bytes) / 1e6, changing, double(t.elapsed()) / 1000);

    // The program runs from a folder of its own with the workload's purge list beside it.
    const QString programFolder = work + QStringLiteral("/program");
    QDir().mkpath(programFolder);
    QFile::remove(programFolder + "/tamsorel");
    QFile::remove(programFolder + "/purge.txt");
    if (!QFile::copy(tamsorel, programFolder + "/tamsorel") ||
        !QFile::copy(work + "/purge.txt", programFolder + "/purge.txt")) {
        std::fprintf(stderr, "cannot set up the program from %s\n", qPrintable(tamsorel));
        return 1;
    }
    QSet<QString> purge;
    for (const QString& p : purgeNames())
        purge.insert(p.toLower());

    struct Row
    {
        QString tool;
        double seconds;
        QString result;
    };
    QList<Row> rows;
    const QString copy = work + QStringLiteral("/run");
    const QString temp = work + QStringLiteral("/peer-temp");
    QDir().mkpath(temp);

    auto timed = [&](const QString& tool, const std::function<void()>& job) {
        copyFolder(pristine, copy);
        warm(copy);
        QElapsedTimer w;
        w.start();
        job();
        const double s = double(w.nsecsElapsed()) / 1e9;
        rows << Row{tool, s, check(copy, expects)};
        std::printf("  %-26s %7.2f s  %s\n", qPrintable(tool), s, qPrintable(rows.last().result));
        std::fflush(stdout);
    };

    QString summary;
    timed(QStringLiteral("tamsorel (unattended)"), [&] {
        QProcess p;
        p.setProgram(programFolder + "/tamsorel");
        p.setArguments({copy});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start();
        p.waitForFinished(-1);
        summary = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    });
    std::printf("  program said: %s\n", qPrintable(summary));
    if (peers) {
        timed(QStringLiteral("Info-ZIP loop"), [&] { peerLoop(false, copy, purge, temp); });
        timed(QStringLiteral("7-Zip loop"), [&] { peerLoop(true, copy, purge, temp); });
    }

    // The floor: the inflate pass, on one core and on every core, plus copying the archives that change.
    QStringList files;
    for (const QFileInfo& fi : QDir(pristine).entryInfoList({"*.zip"}, QDir::Files, QDir::Name))
        files << fi.absoluteFilePath();
    warm(pristine);
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    t.restart();
    const qint64 inflated = floorPass(files, 1);
    const double one = double(t.nsecsElapsed()) / 1e9;
    t.restart();
    floorPass(files, cores);
    const double all = double(t.nsecsElapsed()) / 1e9;
    copyFolder(pristine, copy);
    t.restart();
    for (const Expect& e : expects) {
        if (e.truncated || (!e.doubled && e.purged.isEmpty()))
            continue;
        const QString path = copy + u'/' + e.name;
        QFile::copy(path, path + ".copy");
    }
    const double copying = double(t.nsecsElapsed()) / 1e9;
    rows << Row{QStringLiteral("floor: inflate, 1 core"), one + copying, QStringLiteral("-")};
    rows << Row{QStringLiteral("floor: inflate, %1 cores").arg(cores), all + copying, QStringLiteral("-")};
    std::printf("  floor: %.0f MB inflated; pass %.2f s on 1 core, %.2f s on %d; copying changed archives %.2f s\n",
                double(inflated) / 1e6, one, all, cores, copying);

    const double ours = rows[0].seconds;
    std::printf("\n%-28s %9s %9s %12s  %s\n", "tool", "wall s", "MB/s", "x tamsorel", "result");
    for (const Row& r : rows)
        std::printf("%-28s %9.2f %9.0f %12.2f  %s\n", qPrintable(r.tool), r.seconds, double(bytes) / 1e6 / r.seconds,
                    r.seconds / ours, qPrintable(r.result));
    QDir(copy).removeRecursively();
    return 0;
}
