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

#include "Workload.h"

#include <algorithm>
#include <cstdio>
#include <libdeflate.h>
#include <thread>
#include <vector>
#include <zip.h>

namespace {

using namespace workload;

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
