// Scale: how time and peak memory of an unattended run grow with the number of archives in a folder and
// with the number of entries in one archive. Each workload runs at two sizes; per-item figures that stay
// flat mean linear growth.
//
// Workloads (every archive holds "thumbs.db", which the purge list names, so each one is rewritten):
//   folder  N archives of two small stored entries, N = 5,000 and 10,000
//   entries one archive of M tiny entries, three of them purged, M = 50,000 and 100,000
// Time and peak memory come from /usr/bin/time -v around the program.
//
// Usage: scale_bench [--work DIR] [--tamsorel PATH]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <cstdio>
#include <libdeflate.h>

namespace {

void le16(QByteArray& b, quint32 v)
{
    b.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}
void le32(QByteArray& b, quint32 v)
{
    le16(b, v & 0xffff);
    le16(b, v >> 16);
}
void le64(QByteArray& b, quint64 v)
{
    le32(b, quint32(v));
    le32(b, quint32(v >> 32));
}

// A stored archive; zip64 end records when it has more than 65,534 entries.
QByteArray storedZip(const QList<QPair<QByteArray, QByteArray>>& entries)
{
    QByteArray out, central;
    for (const auto& [name, data] : entries) {
        const quint32 crc = libdeflate_crc32(0, data.constData(), size_t(data.size()));
        QByteArray h;
        le16(h, 20);
        le16(h, 0);
        le16(h, 0);
        le32(h, 0x58210000);
        le32(h, crc);
        le32(h, quint32(data.size()));
        le32(h, quint32(data.size()));
        le16(h, quint32(name.size()));
        QByteArray c;
        le32(c, 0x02014b50);
        le16(c, 20);
        c.append(h);
        le16(c, 0);
        le16(c, 0);
        le16(c, 0);
        le16(c, 0);
        le32(c, 0);
        le32(c, quint32(out.size()));
        c.append(name);
        central.append(c);
        QByteArray l;
        le32(l, 0x04034b50);
        l.append(h);
        le16(l, 0);
        l.append(name);
        out.append(l).append(data);
    }
    const quint64 cdOffset = quint64(out.size());
    const quint64 n = quint64(entries.size());
    out.append(central);
    const bool zip64 = n >= 0xffff;
    if (zip64) {
        const quint64 at = quint64(out.size());
        le32(out, 0x06064b50);
        le64(out, 44);
        le16(out, 45);
        le16(out, 45);
        le32(out, 0);
        le32(out, 0);
        le64(out, n);
        le64(out, n);
        le64(out, quint64(central.size()));
        le64(out, cdOffset);
        le32(out, 0x07064b50);
        le32(out, 0);
        le64(out, at);
        le32(out, 1);
    }
    le32(out, 0x06054b50);
    le16(out, 0);
    le16(out, 0);
    le16(out, zip64 ? 0xffff : quint32(n));
    le16(out, zip64 ? 0xffff : quint32(n));
    le32(out, quint32(central.size()));
    le32(out, quint32(cdOffset));
    le16(out, 0);
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

struct Measure
{
    double seconds = 0;
    double peakMb = 0;
    QByteArray out;
    bool ok = false;
};

Measure runProgram(const QString& programFolder, const QString& folder)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(programFolder);
    p.start("/usr/bin/time", {"-v", programFolder + "/tamsorel", folder});
    Measure m;
    if (!p.waitForFinished(-1))
        return m;
    m.out = p.readAllStandardOutput().trimmed();
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    const auto wall =
        QRegularExpression(R"(Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (?:(\d+):)?(\d+):([\d.]+))").match(err);
    const auto rss = QRegularExpression(R"(Maximum resident set size \(kbytes\): (\d+))").match(err);
    if (wall.hasMatch())
        m.seconds = wall.captured(1).toDouble() * 3600 + wall.captured(2).toDouble() * 60 + wall.captured(3).toDouble();
    if (rss.hasMatch())
        m.peakMb = rss.captured(1).toDouble() / 1024;
    m.ok = p.exitCode() == 0 && wall.hasMatch() && rss.hasMatch();
    if (!m.ok)
        std::fprintf(stderr, "%s\n", qPrintable(err.right(2000)));
    return m;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QString work = QDir::tempPath() + "/tamsorel-scale-bench";
    QString tamsorel = QCoreApplication::applicationDirPath() + "/../tamsorel";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--work")
            work = args[++i];
        else if (args[i] == "--tamsorel")
            tamsorel = args[++i];
    }
    if (!QFile::exists("/usr/bin/time")) {
        std::fprintf(stderr, "needs /usr/bin/time (Debian package time)\n");
        return 2;
    }
    QDir(work).removeRecursively();
    const QString prog = work + "/prog";
    QDir().mkpath(prog);
    const QString binDir = QFileInfo(tamsorel).absolutePath();
    bool ok = QFile::copy(tamsorel, prog + "/tamsorel");
    for (const char* f : {"error.wav", "thunder.wav", "Tamsorel.hlp"})
        ok = ok && QFile::copy(binDir + '/' + f, prog + '/' + f);
    ok = ok && writeFile(prog + "/purge.txt", "thumbs.db\n");
    if (!ok) {
        std::fprintf(stderr, "cannot set up the program from %s\n", qPrintable(tamsorel));
        return 2;
    }

    std::printf("%-8s %9s %9s %10s %14s %16s  %s\n", "workload", "items", "wall s", "peak MB", "us per item",
                "KB peak per item", "summary");
    const QByteArray keep = QByteArray(900, 'k');
    int failures = 0;
    for (int n : {5000, 10000}) {
        const QString folder = work + QStringLiteral("/folder%1").arg(n);
        QDir().mkpath(folder);
        const QByteArray zip = storedZip({{"thumbs.db", "junk"}, {"keep.txt", keep}});
        for (int i = 0; i < n; ++i)
            writeFile(folder + QStringLiteral("/a%1.zip").arg(i, 6, 10, QLatin1Char('0')), zip);
        const Measure m = runProgram(prog, folder);
        const bool right = m.ok && m.out.contains(QByteArray::number(n) + " zip(s) processed, 0 bad");
        failures += !right;
        std::printf("%-8s %9d %9.2f %10.1f %14.1f %16.2f  %s\n", "folder", n, m.seconds, m.peakMb, m.seconds * 1e6 / n,
                    m.peakMb * 1024 / n, right ? "ok" : m.out.constData());
        QDir(folder).removeRecursively();
    }
    for (int n : {50000, 100000}) {
        const QString folder = work + QStringLiteral("/entries%1").arg(n);
        QDir().mkpath(folder);
        QList<QPair<QByteArray, QByteArray>> entries;
        entries.reserve(n);
        for (int i = 0; i < n; ++i)
            entries.append({"dir/f" + QByteArray::number(i).rightJustified(6, '0') + ".txt", QByteArray::number(i)});
        entries[0].first = "thumbs.db";
        entries[n / 2].first = "Thumbs.db";
        entries[n - 1].first = "THUMBS.DB";
        writeFile(folder + "/many.zip", storedZip(entries));
        const Measure m = runProgram(prog, folder);
        const bool right = m.ok && m.out.startsWith("1 zip(s) processed, 0 bad");
        failures += !right;
        std::printf("%-8s %9d %9.2f %10.1f %14.1f %16.2f  %s\n", "entries", n, m.seconds, m.peakMb, m.seconds * 1e6 / n,
                    m.peakMb * 1024 / n, right ? "ok" : m.out.constData());
        QDir(folder).removeRecursively();
    }
    QDir(work).removeRecursively();
    return failures ? 1 : 0;
}
