// Times ZipComponent against unzip, zip, 7-Zip and cp on the same archives (fresh copies for every
// deletion). Builds its archives in a temporary folder: a 200 MB archive of mixed data, an archive of
// 20,000 small entries and a folder of 300 small archives. Prints medians and ratios.
//
// Usage: zip_bench [runs]   (default 5; the folder can be kept with ZIP_BENCH_KEEP=1)
//        zip_bench methods [runs]   only the table of compression methods: one 16 MB entry per method,
//        tested by ZipComponent and by "7z t" (goal for our own decoders: within 2x of 7-Zip)

#include "testsupport/LegacyEncoders.h"
#include "testsupport/TestArchives.h"
#include "zip/ZipComponent.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <lzma.h>
#include <vector>
#include <zip.h>
#include <zstd.h>

namespace {

int g_runs = 5;

QByteArray text(qsizetype size, quint32 seed)
{
    static const char* words[] = {"archive ", "clean ", "folder ",  "entry ", "zip ",    "purge ", "test\r\n",
                                  "data ",    "the ",   "program ", "of ",    "ninety ", "seven ", "bbs "};
    QByteArray out;
    out.reserve(size);
    quint32 x = seed * 2654435761u + 1;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out.append(words[(x >> 16) % 14]);
    }
    out.truncate(size);
    return out;
}

// Text of random letters and blanks: compresses to about 60 %, like much real content.
QByteArray letters(qsizetype size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 3;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        const quint32 r = (x >> 16) % 32;
        out[i] = r < 26 ? char('a' + r) : (r < 31 ? ' ' : '\n');
    }
    return out;
}

QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    quint64 x = seed * 0x9E3779B97F4A7C15ull + 7;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = char(x);
    }
    return out;
}

struct Item
{
    QByteArray name;
    QByteArray data;
    bool store = false;
};

bool makeZip(const QString& path, const std::vector<Item>& items)
{
    int err = 0;
    zip_t* za = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za)
        return false;
    for (const Item& it : items) {
        zip_source_t* s = zip_source_buffer(za, it.data.constData(), zip_uint64_t(it.data.size()), 0);
        const zip_int64_t i = zip_file_add(za, it.name.constData(), s, 0);
        if (i < 0)
            return false;
        zip_set_file_compression(za, zip_uint64_t(i), it.store ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 6);
    }
    return zip_close(za) == 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Median milliseconds of body over the runs; prepare runs untimed before each.
double timeIt(const std::function<bool()>& body, const std::function<void()>& prepare = {})
{
    std::vector<double> ms;
    for (int r = 0; r < g_runs; ++r) {
        if (prepare)
            prepare();
        QElapsedTimer t;
        t.start();
        if (!body()) {
            std::fprintf(stderr, "  (a run failed)\n");
            return -1;
        }
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    return median(ms);
}

bool run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool copyFile(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

void row(const char* what, double ours, const char* peer, double theirs)
{
    std::printf("  %-44s ours %9.1f ms   %-10s %9.1f ms   ratio %.2f\n", what, ours, peer, theirs,
                theirs > 0 ? ours / theirs : 0.0);
}

// One archive per compression method, the same 16 MB of text in each, tested by us and by 7-Zip.
void methodTable(const QString& base, const QString& sevenZip)
{
    const QByteArray data = text(8 << 20, 1) + letters(8 << 20, 2);
    struct Method
    {
        const char* name;
        QString path;
    };
    std::vector<Method> methods;
    auto ours = [&](const char* name, int method, quint16 flags, const QByteArray& packed) {
        const QString p = base + "/m" + QString::number(methods.size()) + ".zip";
        if (testzip::writeZip(p, {testzip::packedFile("data.txt", data, method, packed, flags)}))
            methods.push_back({name, p});
    };
    auto by7zip = [&](const char* name, const QString& method) {
        const QString p = base + "/m" + QString::number(methods.size()) + ".zip";
        testzip::write(base + "/data.txt", data);
        if (!sevenZip.isEmpty() && run(sevenZip, {"a", "-tzip", "-mm=" + method, p, base + "/data.txt"}))
            methods.push_back({name, p});
    };
    ours("shrink", 1, 0, testzip::shrink(data));
    ours("reduce, factor 4", 5, 0, testzip::reduce(data, 4));
    ours("implode, 4K, 2 trees", 6, 0, testzip::implode(data, false, false));
    ours("implode, 8K, 3 trees", 6, 6, testzip::implode(data, true, true));
    by7zip("deflate64 (7-Zip)", "Deflate64");
    by7zip("bzip2 (7-Zip)", "BZip2");
    by7zip("LZMA (7-Zip)", "LZMA");
    by7zip("PPMd (7-Zip)", "PPMd");
    {
        QByteArray x(int(lzma_stream_buffer_bound(size_t(data.size()))), Qt::Uninitialized);
        size_t pos = 0;
        lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(data.constData()),
                                size_t(data.size()), reinterpret_cast<uint8_t*>(x.data()), &pos, size_t(x.size()));
        x.resize(qsizetype(pos));
        ours("xz", 95, 0, x);
        QByteArray z(int(ZSTD_compressBound(size_t(data.size()))), Qt::Uninitialized);
        z.resize(qsizetype(ZSTD_compress(z.data(), size_t(z.size()), data.constData(), size_t(data.size()), 3)));
        ours("zstd", 93, 0, z);
    }
    std::printf("Test one 16 MB entry per method (ratio = ours / 7z t; goal for shrink, implode, deflate64: "
                "at most 2):\n");
    ZipComponent zip;
    zip.EntryMask = "*.*";
    for (const Method& m : methods) {
        zip.ArchivePath = m.path;
        const double t = timeIt([&] { return zip.ListContents() == 0; });
        // 7-Zip has no reduce; a method it cannot test shows as "-".
        QProcess probe;
        probe.start(sevenZip, {"t", "-bso0", "-bsp0", m.path});
        const bool peer = !sevenZip.isEmpty() && probe.waitForFinished(-1) && probe.exitCode() == 0;
        const double theirs = peer ? timeIt([&] { return run(sevenZip, {"t", "-bso0", "-bsp0", m.path}); }) : 0;
        std::printf("  %-24s %6.1f MB  ours %8.1f ms (%6.1f MB/s)   7z t %8s ms   ratio %s\n", m.name,
                    double(QFileInfo(m.path).size()) / 1e6, t, double(data.size()) / 1e3 / t,
                    peer ? qPrintable(QString::number(theirs, 'f', 1)) : "-",
                    peer ? qPrintable(QString::number(t / theirs, 'f', 2)) : "-");
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool methodsOnly = argc > 1 && QByteArray(argv[1]) == "methods";
    if (argc > 1 + int(methodsOnly))
        g_runs = std::max(1, atoi(argv[1 + int(methodsOnly)]));
    QString sevenZip = QStandardPaths::findExecutable("7zz");
    if (sevenZip.isEmpty())
        sevenZip = QStandardPaths::findExecutable("7z");
    QTemporaryDir dir;
    if (qEnvironmentVariableIntValue("ZIP_BENCH_KEEP"))
        dir.setAutoRemove(false);
    const QString base = dir.path();
    std::printf("zip_bench: %d runs per figure, medians; folder %s; 7-Zip: %s\n", g_runs, qPrintable(base),
                qPrintable(sevenZip));
    methodTable(base, sevenZip);
    if (methodsOnly)
        return 0;
    std::printf("\n");

    // The archives.
    const QString big = base + "/mixed.zip";
    {
        std::vector<Item> items;
        for (int i = 0; i < 30; ++i)
            items.push_back({"text/part" + QByteArray::number(i) + ".txt", text(4 << 20, quint32(i)), false});
        for (int i = 0; i < 30; ++i)
            items.push_back({"doc/letters" + QByteArray::number(i) + ".txt", letters(4 << 20, quint32(i)), false});
        for (int i = 0; i < 15; ++i)
            items.push_back({"bin/noise" + QByteArray::number(i) + ".bin", noise(4 << 20, quint32(i)), true});
        for (int i = 0; i < 2; ++i)
            items.push_back({"large" + QByteArray::number(i) + ".log", text(20 << 20, quint32(100 + i)), false});
        items.push_back({"file_id.diz", "A mixed test archive\r\n", false});
        if (!makeZip(big, items))
            return 1;
    }
    const QString many = base + "/many.zip";
    {
        std::vector<Item> items;
        for (int i = 0; i < 20000; ++i)
            items.push_back({"dir" + QByteArray::number(i / 500) + "/f" + QByteArray::number(i) + ".txt",
                             text(1000 + (i % 7) * 300, quint32(i)), false});
        if (!makeZip(many, items))
            return 1;
    }
    const QString folder = base + "/folder";
    QDir().mkdir(folder);
    QStringList small;
    for (int a = 0; a < 300; ++a) {
        std::vector<Item> items;
        for (int i = 0; i < 12; ++i)
            items.push_back({"f" + QByteArray::number(i) + ".txt", text(3000 + i * 1500, quint32(a * 100 + i)), false});
        items.push_back({"file_id.diz", "Small archive\r\n", false});
        items.push_back({"setup.exe", noise(20000, quint32(a)), true});
        const QString p = folder + QStringLiteral("/a%1.zip").arg(a, 3, 10, QLatin1Char('0'));
        if (!makeZip(p, items))
            return 1;
        small.append(p);
    }
    std::printf("archives: mixed.zip %.1f MB, many.zip %.1f MB (20000 entries), 300 small archives\n\n",
                double(QFileInfo(big).size()) / 1e6, double(QFileInfo(many).size()) / 1e6);

    ZipComponent zip;
    zip.EntryMask = "*.*";
    auto listAll = [&](const QString& p, bool test) {
        zip.ArchivePath = p;
        zip.TestData = test;
        return zip.ListContents() == 0;
    };

    std::printf("Test (list and test every entry):\n");
    for (const QString& p : {big, many}) {
        const QString name = QFileInfo(p).fileName();
        const double ours = timeIt([&] { return listAll(p, true); });
        row(qPrintable("ListContents " + name), ours, "unzip -t", timeIt([&] { return run("unzip", {"-tqq", p}); }));
        if (!sevenZip.isEmpty())
            row(qPrintable("ListContents " + name), ours, "7z t", timeIt([&] {
                    return run(sevenZip, {"t", "-bso0", "-bsp0", p});
                }));
    }
    {
        const double ours = timeIt([&] {
            for (const QString& p : small)
                if (!listAll(p, true))
                    return false;
            return true;
        });
        row("ListContents 300 small archives", ours, "unzip -t", timeIt([&] {
                for (const QString& p : small)
                    if (!run("unzip", {"-tqq", p}))
                        return false;
                return true;
            }));
        if (!sevenZip.isEmpty())
            row("ListContents 300 small archives", ours, "7z t", timeIt([&] {
                    for (const QString& p : small)
                        if (!run(sevenZip, {"t", "-bso0", "-bsp0", p}))
                            return false;
                    return true;
                }));
    }

    std::printf("\nList without the data test (goal: 20,000 entries under 50 ms):\n");
    {
        int count = 0;
        auto c = QObject::connect(&zip, &ZipComponent::Listing, [&](const QString&) { ++count; });
        const double ours = timeIt([&] { return listAll(many, false); });
        QObject::disconnect(c);
        std::printf("  ListContents many.zip, TestData false: %.1f ms (%d Listing events per run)\n", ours,
                    count / g_runs);
        row("ListContents many.zip without test", ours, "unzip -l", timeIt([&] {
                return run("unzip", {"-lqq", many});
            }));
    }

    std::printf("\nDelete one entry, each run on a fresh copy (goal: within 1.3x of cp):\n");
    for (const auto& target :
         {std::pair{big, QString("text/part15.txt")}, std::pair{many, QString("dir20/f10000.txt")}}) {
        // Named copies, not a structured binding: older compilers cannot capture bindings in lambdas.
        const QString& p = target.first;
        const QString& entry = target.second;
        const QString name = QFileInfo(p).fileName();
        const QString work = base + "/work.zip";
        const QString copy = base + "/copy.zip";
        const double cp = timeIt([&] { return run("cp", {p, copy}); }, [&] { QFile::remove(copy); });
        zip.EntryMask = entry;
        const double ours = timeIt(
            [&] {
                zip.ArchivePath = work;
                return zip.DeleteEntries() == 0;
            },
            [&] { copyFile(p, work); });
        zip.EntryMask = "*.*";
        // What any safe replacement costs: a copy to a new file renamed over the old one (on ext4 the
        // rename over an existing file starts writeback of the new one).
        const double cpmv = timeIt(
            [&] {
                return run("cp", {p, copy}) && run("mv", {"-f", copy, work});
            },
            [&] {
                QFile::remove(copy);
                copyFile(p, work);
            });
        row(qPrintable("DeleteEntries " + name), ours, "cp", cp);
        row(qPrintable("DeleteEntries " + name), ours, "cp + mv", cpmv);
        row(qPrintable("DeleteEntries " + name), ours, "zip -d",
            timeIt(
                [&] {
                    return run("zip", {"-qd", work, entry});
                },
                [&] { copyFile(p, work); }));
        if (!sevenZip.isEmpty())
            row(qPrintable("DeleteEntries " + name), ours, "7z d",
                timeIt(
                    [&] {
                        return run(sevenZip, {"d", "-bso0", "-bsp0", work, entry});
                    },
                    [&] { copyFile(p, work); }));
        // libzip's own rewrite, for reference: what the component would cost without its own writer.
        const double libzip = timeIt(
            [&] {
                int err = 0;
                zip_t* za = zip_open(QFile::encodeName(work).constData(), 0, &err);
                const zip_int64_t i = za ? zip_name_locate(za, entry.toUtf8().constData(), 0) : -1;
                return i >= 0 && zip_delete(za, zip_uint64_t(i)) == 0 && zip_close(za) == 0;
            },
            [&] { copyFile(p, work); });
        row(qPrintable("DeleteEntries " + name), ours, "libzip", libzip);
    }

    std::printf("\nExtract every entry of mixed.zip into a folder:\n");
    {
        const QString out = base + "/out";
        auto clean = [&] {
            QDir(out).removeRecursively();
            QDir().mkdir(out);
        };
        zip.ExtractFolder = out;
        const double ours = timeIt(
            [&] {
                zip.ArchivePath = big;
                return zip.ExtractEntries(0) == 0;
            },
            clean);
        row("ExtractEntries mixed.zip", ours, "unzip",
            timeIt(
                [&] {
                    return run("unzip", {"-qqo", big, "-d", out});
                },
                clean));
        if (!sevenZip.isEmpty())
            row("ExtractEntries mixed.zip", ours, "7z x",
                timeIt(
                    [&] {
                        return run(sevenZip, {"x", "-y", "-bso0", "-bsp0", "-o" + out, big});
                    },
                    clean));
        QDir(out).removeRecursively();
    }
    return 0;
}
