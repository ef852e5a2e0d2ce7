// Incremental runs and read-ahead workers: what a nightly run costs when almost nothing changed.
//
//   workload   the 650 MB folder of clean_bench (made by running clean_bench once when missing): a first
//              --incremental run, a second one right after, a second one a day later (the rolling share
//              re-reads), and a --full run whose verdicts the second run must match
//   tiny       10,000 tiny archives: first and second --incremental run, time and peak memory
//   tree       1,000 folders x 100 tiny archives with -r, first and second run, peak memory. A build
//              without -r measures one folder of 100 archives and says so.
//   folders    200 folders x 50 archives of about 180 KB with -r: first and second --incremental run and a --full run,
//              each with its count of fdatasync/fsync calls (strace -f -c), and the syncs of a -r
//              --incremental run over 200 empty folders (what the cache costs where there is nothing to do)
//   jobs       the data test (--dry-run, nothing rewritten) of the workload with --jobs 1 and the default
//   bitrot     one byte flipped in one archive's data, its size, times and directory as the cache knows
//              them; daily runs (the cache's clock moved back a day between runs) until the run finds it
//   footprint  not run unless named: peak memory and wall time of the workload's run (on a fresh copy, default
//              workers and --jobs 1), of the -r tree and of a folder of one tiny archive (start-up), and the
//              first / second --incremental ratio; each REPS times (the tiny one 20 times), median and spread.
//              With --baseline, another build runs the same, turn about, so both see the same machine.
//
// Usage: incremental_bench [--work DIR] [--tamsorel PATH] [--only NAME] [--tree-folders N] [--reps N]
//                          [--baseline PATH]
// Times and peak memory come from /usr/bin/time -v around the program; sync counts from strace around it,
// in runs of their own (strace slows the program at every system call).

#include "zip/VerdictCache.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <libdeflate.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

constexpr qint64 kDayNs = qint64(86400) * 1000000000;

struct Run
{
    double seconds = 0;
    double cpu = 0; // user + system seconds: on a loaded machine the wall time says more about the others
    qint64 peakKb = 0;
    int status = -1;
    int syncs = -1; // fdatasync + fsync calls, when counted
    QString out;
    QString err;
};

QString g_program; // the program's own folder holds the binary, its purge list and its verdict cache
QString g_binary = QStringLiteral("tamsorel"); // which binary of that folder runs

Run runProgram(const QStringList& args, bool countSyncs = false)
{
    QProcess p;
    const QString syncLog = g_program + "/syncs.txt";
    QStringList command{"-v", g_program + u'/' + g_binary};
    if (countSyncs)
        command = QStringList{"-v",
                              "strace",
                              "-f",
                              "-c",
                              "--seccomp-bpf",
                              "-e",
                              "trace=fdatasync,fsync",
                              "-o",
                              syncLog,
                              g_program + u'/' + g_binary};
    p.setProgram(QStringLiteral("/usr/bin/time"));
    p.setArguments(command + args);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start();
    p.waitForFinished(-1);
    Run r;
    r.seconds = double(t.nsecsElapsed()) / 1e9;
    r.status = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    const QRegularExpressionMatch m = QRegularExpression("Maximum resident set size \\(kbytes\\): (\\d+)").match(r.err);
    if (m.hasMatch())
        r.peakKb = m.captured(1).toLongLong();
    if (countSyncs) {
        QFile log(syncLog);
        if (log.open(QIODevice::ReadOnly)) {
            r.syncs = 0;
            for (const QByteArray& line : log.readAll().split('\n')) {
                const QList<QByteArray> f = line.simplified().split(' ');
                if (f.size() >= 5 && (f.last() == "fdatasync" || f.last() == "fsync"))
                    r.syncs += f[3].toInt();
            }
        }
    }
    for (const char* what : {"User time \\(seconds\\): ([0-9.]+)", "System time \\(seconds\\): ([0-9.]+)"}) {
        const QRegularExpressionMatch t = QRegularExpression(QLatin1String(what)).match(r.err);
        if (t.hasMatch())
            r.cpu += t.captured(1).toDouble();
    }
    return r;
}

void le16(QByteArray& b, quint32 v)
{
    b.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}
void le32(QByteArray& b, quint32 v)
{
    le16(b, v & 0xffff);
    le16(b, v >> 16);
}

// A stored archive of the given entries.
// An archive of the entries, stored, or deflated when deflate is true.
QByteArray storedZip(const QList<QPair<QByteArray, QByteArray>>& entries, bool deflate = false)
{
    QByteArray out;
    QByteArray central;
    for (const auto& [name, data] : entries) {
        const quint32 crc = quint32(libdeflate_crc32(0, data.constData(), size_t(data.size())));
        QByteArray packed = data;
        if (deflate) {
            libdeflate_compressor* c = libdeflate_alloc_compressor(6);
            packed.resize(qsizetype(libdeflate_deflate_compress_bound(c, size_t(data.size()))));
            packed.resize(qsizetype(libdeflate_deflate_compress(c, data.constData(), size_t(data.size()), packed.data(),
                                                                size_t(packed.size()))));
            libdeflate_free_compressor(c);
        }
        const quint16 method = deflate ? 8 : 0;
        const quint32 offset = quint32(out.size());
        le32(out, 0x04034b50);
        le16(out, 20), le16(out, 0), le16(out, method), le16(out, 0), le16(out, 0x21);
        le32(out, crc), le32(out, quint32(packed.size())), le32(out, quint32(data.size()));
        le16(out, quint32(name.size())), le16(out, 0);
        out += name;
        out += packed;
        le32(central, 0x02014b50);
        le16(central, 20), le16(central, 20), le16(central, 0), le16(central, method), le16(central, 0);
        le16(central, 0x21);
        le32(central, crc), le32(central, quint32(packed.size())), le32(central, quint32(data.size()));
        le16(central, quint32(name.size())), le16(central, 0), le16(central, 0), le16(central, 0), le16(central, 0);
        le32(central, 0), le32(central, offset);
        central += name;
    }
    const quint32 cdOffset = quint32(out.size());
    out += central;
    le32(out, 0x06054b50);
    le16(out, 0), le16(out, 0), le16(out, quint32(entries.size())), le16(out, quint32(entries.size()));
    le32(out, quint32(central.size())), le32(out, cdOffset), le16(out, 0);
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool tinyFolder(const QString& folder, int count, int seed)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        const QByteArray text = "entry " + QByteArray::number(seed) + "/" + QByteArray::number(i) + "\r\n";
        if (!writeFile(folder + QStringLiteral("/t%1.zip").arg(i, 5, 10, QLatin1Char('0')),
                       storedZip({{"readme.txt", text.repeated(8)}, {"data.bin", text.repeated(30)}})))
            return false;
    }
    return true;
}

// Archives of about 180 KB of deflated text each, as a real collection's: their full test costs what
// inflating them costs, which an incremental run saves.
bool textFolder(const QString& folder, int count, int seed)
{
    QDir().mkpath(folder);
    QRandomGenerator rng(quint32(seed) + 1);
    for (int i = 0; i < count; ++i) {
        QByteArray text;
        while (text.size() < 560 * 1024) {
            const int length = 2 + int(rng.bounded(8));
            for (int k = 0; k < length; ++k)
                text += char('a' + rng.bounded(26));
            text += rng.bounded(12) == 0 ? "\r\n" : " ";
        }
        if (!writeFile(folder + QStringLiteral("/t%1.zip").arg(i, 5, 10, QLatin1Char('0')),
                       storedZip({{"readme.txt", text.left(4096)}, {"book.txt", text}}, true)))
            return false;
    }
    return true;
}

bool copyFolder(const QString& from, const QString& to)
{
    QDir(to).removeRecursively();
    QDir().mkpath(to);
    for (const QString& f : QDir(from).entryList(QDir::Files))
        if (!QFile::copy(from + u'/' + f, to + u'/' + f))
            return false;
    return true;
}

// name -> "verdict code entries" of a report, and how many archives each data source served.
QMap<QString, QString> decisions(const QString& report, int* read = nullptr, int* cached = nullptr)
{
    QMap<QString, QString> out;
    QFile f(report);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (line.isEmpty() || o.contains("summary"))
            continue;
        out.insert(o["name"].toString(), QStringLiteral("%1 %2 %3")
                                             .arg(o["verdict"].toString())
                                             .arg(o["code"].toInt())
                                             .arg(o["entries"].toVariant().toStringList().join(u',')));
        if (read && o["data"].toString() == "read")
            ++*read;
        if (cached && o["data"].toString() == "cache")
            ++*cached;
    }
    return out;
}

// Moves every time the cache holds back by a day: the next run is the next day's.
bool dayPasses(const QString& cacheFile)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(cacheFile).constData(), &db) != SQLITE_OK)
        return false;
    const QByteArray sql = "UPDATE verdicts SET tested_ns = tested_ns - " + QByteArray::number(kDayNs) +
                           "; UPDATE folders SET last_run_ns = last_run_ns - " + QByteArray::number(kDayNs) + ";";
    const bool ok = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// A byte below the file system: the file's new times are written into its row, as if they had not moved.
bool rotUnseen(const QString& cacheFile, const QString& path, qint64 at)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(at))
        return false;
    char c = 0;
    if (!f.getChar(&c) || !f.seek(at) || !f.putChar(char(c ^ 0x01)))
        return false;
    f.close();
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(cacheFile).constData(), &db) != SQLITE_OK)
        return false;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "UPDATE verdicts SET mtime_ns = ?1, ctime_ns = ?2 WHERE name = ?3", -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
    sqlite3_bind_int64(s, 2, qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec);
    const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
    sqlite3_bind_blob(s, 3, name.constData(), int(name.size()), SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(s) == SQLITE_DONE && sqlite3_changes(db) == 1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return ok;
}

void row(const char* what, const Run& r, const QString& note = {})
{
    std::printf("| %-44s | %8.2f | %8.2f | %8.1f | %s\n", what, r.seconds, r.cpu, double(r.peakKb) / 1024.0,
                qPrintable(note));
    std::fflush(stdout);
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// One line of the footprint table: the median and spread of the wall times and of the peaks of a series.
void footprintRow(const QString& what, const QList<Run>& runs, const char* goal)
{
    QList<double> wall, peak;
    bool failed = false;
    for (const Run& r : runs) {
        wall << r.seconds;
        peak << double(r.peakKb) / 1024.0;
        failed = failed || r.status < 0 || r.status == 1 || r.status == 2 || r.peakKb == 0;
    }
    const auto [wMin, wMax] = std::minmax_element(wall.begin(), wall.end());
    const auto [pMin, pMax] = std::minmax_element(peak.begin(), peak.end());
    std::printf("| %-40s | %3lld | %8.3f | %15s | %7.1f | %13s | %s%s\n", qPrintable(what), qlonglong(runs.size()),
                median(wall), qPrintable(QStringLiteral("%1-%2").arg(*wMin, 0, 'f', 3).arg(*wMax, 0, 'f', 3)),
                median(peak), qPrintable(QStringLiteral("%1-%2").arg(*pMin, 0, 'f', 1).arg(*pMax, 0, 'f', 1)), goal,
                failed ? " (A RUN FAILED)" : "");
    std::fflush(stdout);
}

void header(const char* title)
{
    std::printf("\n%s\n| %-44s | %8s | %8s | %8s | %s\n", title, "run", "wall s", "cpu s", "peak MB", "note");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString work = QDir::tempPath() + QStringLiteral("/incremental_bench");
    QString tamsorel = QCoreApplication::applicationDirPath() + QStringLiteral("/../tamsorel");
    QString only;
    QString baseline;
    int treeFolders = 1000;
    int reps = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--work" && i + 1 < args.size())
            work = args[++i];
        else if (args[i] == "--tamsorel" && i + 1 < args.size())
            tamsorel = args[++i];
        else if (args[i] == "--only" && i + 1 < args.size())
            only = args[++i];
        else if (args[i] == "--tree-folders" && i + 1 < args.size())
            treeFolders = args[++i].toInt();
        else if (args[i] == "--reps" && i + 1 < args.size())
            reps = std::max(1, args[++i].toInt());
        else if (args[i] == "--baseline" && i + 1 < args.size())
            baseline = args[++i];
    }
    // The footprint table takes long and repeats what the others measure: it runs only when asked for.
    const auto wanted = [&](const char* name) {
        return only.isEmpty() ? qstrcmp(name, "footprint") != 0 : only == QLatin1String(name);
    };
    g_program = work + QStringLiteral("/program");
    QDir().mkpath(g_program);
    QFile::remove(g_program + "/tamsorel");
    if (!QFile::copy(tamsorel, g_program + "/tamsorel")) {
        std::fprintf(stderr, "cannot copy the program from %s\n", qPrintable(tamsorel));
        return 1;
    }
    QFile::remove(g_program + "/tamsorel-baseline");
    if (!baseline.isEmpty() && !QFile::copy(baseline, g_program + "/tamsorel-baseline")) {
        std::fprintf(stderr, "cannot copy the baseline from %s\n", qPrintable(baseline));
        return 1;
    }
    const QString cacheFile = g_program + "/verdicts.sqlite";
    const auto freshCache = [&] {
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(cacheFile + QLatin1String(suffix));
    };
    const QString report = work + "/report.jsonl";

    // The 650 MB workload of clean_bench, with its purge list.
    const QString workload = work + "/clean_bench/pristine";
    if ((wanted("workload") || wanted("jobs") || wanted("footprint")) && !QFileInfo::exists(workload + "/arc000.zip")) {
        QProcess gen;
        gen.start(QCoreApplication::applicationDirPath() + "/clean_bench",
                  {"--work", work + "/clean_bench", "--tamsorel", tamsorel, "--skip-peers"});
        gen.waitForFinished(-1);
    }
    QFile::remove(g_program + "/purge.txt");
    QFile::copy(work + "/clean_bench/purge.txt", g_program + "/purge.txt");

    // A first --incremental run of a fresh copy of the workload with a fresh cache, and the second right after,
    // which writes its report.
    const auto firstAndSecond = [&](const QString& folder) {
        copyFolder(workload, folder);
        freshCache();
        const Run first = runProgram({"--incremental", folder});
        const Run second = runProgram({"--incremental", "--report", report, folder});
        return std::pair{first, second};
    };

    if (wanted("workload")) {
        const QString folder = work + "/run";
        header("The 650 MB workload, --incremental");
        const auto [first, second] = firstAndSecond(folder);
        row("first run (every archive read)", first, first.out);
        int read = 0, cached = 0;
        const QMap<QString, QString> incremental = decisions(report, &read, &cached);
        row("second run, right after", second, QStringLiteral("%1 read, %2 from the cache").arg(read).arg(cached));
        dayPasses(cacheFile);
        read = cached = 0;
        const Run daily = runProgram({"--incremental", "--report", report, folder});
        decisions(report, &read, &cached);
        row("second run, a day later (rolling share)", daily,
            QStringLiteral("%1 read, %2 from the cache").arg(read).arg(cached));
        const Run full = runProgram({"--full", "--report", report, folder});
        const QMap<QString, QString> fullVerdicts = decisions(report);
        row("--full run on the same folder", full,
            incremental == fullVerdicts ? QStringLiteral("verdicts identical to the second run's")
                                        : QStringLiteral("VERDICTS DIFFER from the second run's"));
        std::printf("first / second run: %.1fx wall, %.1fx cpu\n", first.seconds / second.seconds,
                    first.cpu / second.cpu);
        QDir(folder).removeRecursively();
    }

    if (wanted("jobs")) {
        const QString folder = work + "/run";
        copyFolder(workload, folder);
        header("The data test of the workload (--dry-run), workers");
        const Run one = runProgram({"--dry-run", "--jobs", "1", folder});
        row("--jobs 1", one);
        const Run all = runProgram({"--dry-run", folder});
        row("default (one per core)", all, one.out == all.out ? "same output" : "OUTPUT DIFFERS");
        std::printf("--jobs 1 / default: %.2fx wall\n", one.seconds / all.seconds);
        QDir(folder).removeRecursively();
    }

    if (wanted("tiny")) {
        const QString folder = work + "/tiny";
        QDir(folder).removeRecursively();
        tinyFolder(folder, 10000, 1);
        freshCache();
        header("10,000 tiny archives, --incremental");
        const Run first = runProgram({"--incremental", folder});
        row("first run", first, first.out);
        int read = 0, cached = 0;
        const Run second = runProgram({"--incremental", "--report", report, folder});
        decisions(report, &read, &cached);
        row("second run", second, QStringLiteral("%1 read, %2 from the cache").arg(read).arg(cached));
        QDir(folder).removeRecursively();
    }

    if (wanted("tree")) {
        const QString root = work + "/tree";
        QDir(root).removeRecursively();
        const bool recursive = runProgram({"--help"}).out.contains("--recursive");
        const int folders = recursive ? treeFolders : 1;
        for (int f = 0; f < folders; ++f)
            tinyFolder(root + QStringLiteral("/f%1").arg(f, 4, 10, QLatin1Char('0')), 100, f);
        freshCache();
        header(recursive ? "A tree of folders x 100 tiny archives, -r --incremental"
                         : "One folder of 100 tiny archives, --incremental (this build has no -r)");
        const QStringList target = recursive ? QStringList{"-r", root} : QStringList{root + "/f0000"};
        const Run first = runProgram(QStringList{"--incremental"} + target);
        row("first run", first, QStringLiteral("%1 folder(s)").arg(folders));
        const Run second = runProgram(QStringList{"--incremental", "--report", report} + target);
        int read = 0, cached = 0;
        decisions(report, &read, &cached);
        row("second run", second, QStringLiteral("%1 read, %2 from the cache").arg(read).arg(cached));
        QDir(root).removeRecursively();
    }

    if (wanted("folders")) {
        constexpr int kFolders = 200;
        constexpr int kArchives = 50;
        const QString root = work + "/folders";
        QDir(root).removeRecursively();
        for (int f = 0; f < kFolders; ++f)
            textFolder(root + QStringLiteral("/f%1").arg(f, 3, 10, QLatin1Char('0')), kArchives, f);
        freshCache();
        header("200 folders x 50 archives of about 180 KB, -r");
        const auto syncs = [](const Run& r) { return QStringLiteral("%1 fdatasync/fsync").arg(r.syncs); };
        // Timed runs go without strace; the sync counts come from runs of their own.
        const Run first = runProgram({"-r", "--incremental", root});
        row("first --incremental run", first, QString());
        const Run second = runProgram({"-r", "--incremental", "--report", report, root});
        int read = 0, cached = 0;
        decisions(report, &read, &cached);
        const Run counted = runProgram({"-r", "--incremental", root}, true);
        row("second --incremental run", second,
            syncs(counted) + QStringLiteral(", %1 read, %2 from the cache").arg(read).arg(cached));
        const Run full = runProgram({"-r", "--full", root});
        row("--full run", full, QString());
        std::printf("--full / second --incremental: %.1fx wall, %.1fx cpu\n", full.seconds / second.seconds,
                    full.cpu / second.cpu);
        QDir(root).removeRecursively();
        for (int f = 0; f < kFolders; ++f)
            QDir().mkpath(root + QStringLiteral("/e%1").arg(f, 3, 10, QLatin1Char('0')));
        const Run empty = runProgram({"-r", "--incremental", root}, true);
        row("-r --incremental over 200 empty folders", empty, syncs(empty));
        QDir(root).removeRecursively();
    }

    if (wanted("footprint")) {
        const QStringList binaries =
            baseline.isEmpty() ? QStringList{"tamsorel"} : QStringList{"tamsorel-baseline", "tamsorel"};
        const auto label = [&](const QString& bin, const QString& what) {
            return binaries.size() > 1 ? QStringLiteral("%1 %2").arg(bin == "tamsorel" ? "new " : "base", what) : what;
        };
        std::printf("\nFootprint: wall seconds and peak MB (/usr/bin/time -v), median and spread (min-max)\n"
                    "| %-40s | %3s | %8s | %15s | %7s | %13s | %s\n",
                    "run", "n", "wall s", "wall spread", "peak MB", "peak spread", "goal");
        // Each build runs each case in turn, so a load that comes and goes falls on both.
        const auto series = [&](const std::function<Run()>& once, int count) {
            QMap<QString, QList<Run>> runs;
            for (int k = 0; k < count; ++k)
                for (const QString& bin : binaries) {
                    g_binary = bin;
                    runs[bin] << once();
                }
            g_binary = QStringLiteral("tamsorel");
            return runs;
        };
        const QString folder = work + "/run";
        for (const QStringList& jobs : {QStringList{}, QStringList{"--jobs", "1"}}) {
            const auto runs = series(
                [&] {
                    copyFolder(workload, folder);
                    return runProgram(jobs + QStringList{folder});
                },
                reps);
            for (const QString& bin : binaries)
                footprintRow(label(bin, jobs.isEmpty() ? "workload, default workers" : "workload, --jobs 1"), runs[bin],
                             "peak < 64 MB, wall within 5%");
        }
        QDir(folder).removeRecursively();

        const QString root = work + "/tree";
        QDir(root).removeRecursively();
        for (int f = 0; f < treeFolders; ++f)
            tinyFolder(root + QStringLiteral("/f%1").arg(f, 4, 10, QLatin1Char('0')), 100, f);
        const auto tree = series([&] { return runProgram({"-r", root}); }, reps);
        for (const QString& bin : binaries)
            footprintRow(label(bin, QStringLiteral("-r, %1 folders x 100 tiny").arg(treeFolders)), tree[bin],
                         "peak < 64 MB");
        QDir(root).removeRecursively();

        const QString one = work + "/one";
        QDir(one).removeRecursively();
        tinyFolder(one, 1, 0);
        const auto tiny = series([&] { return runProgram({one}); }, 20);
        for (const QString& bin : binaries)
            footprintRow(label(bin, "one tiny archive (start-up)"), tiny[bin], "< 15 ms, < 15 MB");
        QDir(one).removeRecursively();

        for (const QString& bin : binaries) {
            g_binary = bin;
            const auto [first, second] = firstAndSecond(folder);
            g_binary = QStringLiteral("tamsorel");
            int read = 0, cached = 0;
            decisions(report, &read, &cached);
            footprintRow(label(bin, "--incremental, first run"), {first}, "");
            footprintRow(label(bin, "--incremental, second run"), {second},
                         qPrintable(QStringLiteral("first / second %1x wall (goal 20x); %2 read, %3 from the cache")
                                        .arg(first.seconds / second.seconds, 0, 'f', 1)
                                        .arg(read)
                                        .arg(cached)));
        }
        QDir(folder).removeRecursively();
    }

    if (wanted("bitrot")) {
        constexpr int kArchives = 40;
        constexpr int kDays = 7;
        std::printf("\nBit rot, 40 archives, --retest-after 7, one run a day\n");
        int worst = 0;
        for (const int victim : {0, kArchives / 2, kArchives - 1}) {
            const QString folder = work + "/rot";
            QDir(folder).removeRecursively();
            tinyFolder(folder, kArchives, victim);
            freshCache();
            runProgram({"--incremental", "--retest-after", QString::number(kDays), folder});
            const QString path = folder + QStringLiteral("/t%1.zip").arg(victim, 5, 10, QLatin1Char('0'));
            if (!rotUnseen(cacheFile, path, 30 + 10 + 5)) {
                std::printf("cannot flip a byte of %s unseen\n", qPrintable(path));
                continue;
            }
            int runs = 0;
            bool found = false;
            while (!found && runs < 3 * kDays) {
                dayPasses(cacheFile);
                ++runs;
                const Run r = runProgram({"--incremental", "--retest-after", QString::number(kDays), folder});
                found = r.out.contains(" 1 bad zip(s)");
            }
            worst = std::max(worst, runs);
            std::printf("| archive %2d of %d flipped | found by daily run %d (bound: %d)\n", victim + 1, kArchives,
                        runs, kDays);
        }
        std::printf("worst case: %d runs, bound %d\n", worst, kDays);
        QDir(work + "/rot").removeRecursively();
    }
    return 0;
}
