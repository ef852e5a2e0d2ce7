// Salvage of damaged archives against Info-ZIP's `zip -FF`, on the nine truncated archives of the speed
// benchmark's workload, on workload archives with one entry's data flipped, and on streamed archives (data
// descriptors) cut short. For each result: entries that came back identical to the original's, entries
// that came back wrong (other bytes, or data that fails its CRC), and whether `unzip -t` and `7zz t` pass it.
//
// Usage: salvage_bench [--work DIR] [--keep]   (DIR defaults to a folder in the system's temporary folder;
// --keep leaves the damaged archives and both tools' results there)
// zip -FF asks questions about damaged archives; its answers come from `yes`.

#include "Workload.h"
#include "zip/Salvage.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <cstdio>
#include <map>
#include <zip.h>

namespace {

struct Case
{
    QString name;
    QString kind;
    QByteArray whole;   // the archive before the damage
    QByteArray damaged; // what the tools get
};

quint32 get32(const QByteArray& b, qint64 at)
{
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16 |
           quint32(quint8(b[at + 3])) << 24;
}
quint16 get16(const QByteArray& b, qint64 at)
{
    return quint16(quint8(b[at]) | quint8(b[at + 1]) << 8);
}

// The local headers of an archive written with sizes in its headers, as the workload's are.
struct Local
{
    qint64 offset;
    qint64 dataOffset;
    quint32 compressedSize;
};

QList<Local> locals(const QByteArray& b)
{
    QList<Local> out;
    qint64 pos = 0;
    while (pos + 30 <= b.size() && get32(b, pos) == 0x04034b50) {
        const qint64 data = pos + 30 + get16(b, pos + 26) + get16(b, pos + 28);
        out.append({pos, data, get32(b, pos + 18)});
        pos = data + get32(b, pos + 18);
    }
    return out;
}

// One byte of the middle entry's data changed.
QByteArray flipped(const QByteArray& whole)
{
    const QList<Local> l = locals(whole);
    QByteArray out = whole;
    const Local& mid = l[l.size() / 2];
    const qint64 at = mid.dataOffset + mid.compressedSize / 2;
    out[at] = char(out[at] ^ 0x10);
    return out;
}

// The same entries as a streaming writer stores them: zeros in the local header, a data descriptor after
// the data, the values in the central directory.
QByteArray streamed(const QByteArray& whole)
{
    QByteArray out;
    QByteArray central;
    int count = 0;
    for (const Local& l : locals(whole)) {
        const qint64 nameLen = get16(whole, l.offset + 26);
        QByteArray header = whole.mid(l.offset, 30);
        header[6] = char(header[6] | 0x08);
        for (int i = 14; i < 26; ++i)
            header[i] = 0;
        header[28] = header[29] = 0;
        const qint64 offset = out.size();
        out += header + whole.mid(l.offset + 30, nameLen) + whole.mid(l.dataOffset, l.compressedSize);
        workload::put32(out, 0x08074b50);
        out += whole.mid(l.offset + 14, 12); // CRC-32, compressed size, size
        workload::put32(central, 0x02014b50);
        workload::put16(central, 20);
        central += whole.mid(l.offset + 4, 2);
        workload::put16(central, quint16(get16(whole, l.offset + 6) | 0x08));
        central += whole.mid(l.offset + 8, 18); // method, time, date, CRC-32, sizes
        workload::put16(central, quint16(nameLen));
        for (int i = 0; i < 4; ++i)
            workload::put16(central, 0);
        workload::put32(central, 0);
        workload::put32(central, quint32(offset));
        central += whole.mid(l.offset + 30, nameLen);
        ++count;
    }
    const qint64 cdOffset = out.size();
    out += central;
    workload::put32(out, 0x06054b50);
    workload::put32(out, 0);
    workload::put16(out, quint16(count));
    workload::put16(out, quint16(count));
    workload::put32(out, quint32(central.size()));
    workload::put32(out, quint32(cdOffset));
    workload::put16(out, 0);
    return out;
}

// The entries of an archive as (name, content) in directory order; a null content when it cannot be read
// or fails its CRC.
QList<std::pair<QString, QByteArray>> contents(zip_t* za)
{
    QList<std::pair<QString, QByteArray>> out;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        const QString name = QString::fromUtf8(zip_get_name(za, zip_uint64_t(i), ZIP_FL_ENC_RAW));
        zip_stat_t st;
        QByteArray data;
        zip_file_t* f =
            zip_stat_index(za, zip_uint64_t(i), 0, &st) == 0 ? zip_fopen_index(za, zip_uint64_t(i), 0) : nullptr;
        if (f) {
            data.resize(qsizetype(st.size));
            const zip_int64_t got = zip_fread(f, data.data(), st.size);
            char extra;
            if (got != zip_int64_t(st.size) || zip_fread(f, &extra, 1) != 0 || zip_fclose(f) != 0)
                data = QByteArray();
            else if (data.isNull())
                data = QByteArray("");
        }
        out.append({name, data});
    }
    return out;
}

QList<std::pair<QString, QByteArray>> contentsOfBytes(const QByteArray& bytes)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(bytes.constData(), zip_uint64_t(bytes.size()), 0, &error);
    zip_t* za = src ? zip_open_from_source(src, ZIP_RDONLY, &error) : nullptr;
    QList<std::pair<QString, QByteArray>> out;
    if (za) {
        out = contents(za);
        zip_discard(za);
    } else if (src) {
        zip_source_free(src);
    }
    zip_error_fini(&error);
    return out;
}

struct Result
{
    bool made = false;
    int recovered = 0; // identical to the original's entry of that name (the k-th of that name)
    int wrong = 0;     // other bytes, or unreadable
    bool unzip = false;
    bool sevenZip = false;
    qint64 ms = 0;
};

int exitCode(const QString& program, const QStringList& args, int timeoutMs = 600000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void judge(const QByteArray& whole, const QString& path, Result& r)
{
    r.made = QFileInfo(path).isFile();
    if (!r.made)
        return;
    const auto original = contentsOfBytes(whole);
    std::map<QString, QList<QByteArray>> byName;
    for (const auto& [name, data] : original)
        byName[name].append(data);
    int err = 0;
    zip_t* za = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &err);
    if (za) {
        std::map<QString, int> seen;
        for (const auto& [name, data] : contents(za)) {
            const int k = seen[name]++;
            const auto it = byName.find(name);
            const bool same = !data.isNull() && it != byName.end() && k < it->second.size() && it->second[k] == data;
            (same ? r.recovered : r.wrong)++;
        }
        zip_discard(za);
    }
    r.unzip = exitCode(QStringLiteral("unzip"), {QStringLiteral("-tqq"), path}) == 0;
    r.sevenZip = exitCode(QStringLiteral("7zz"), {QStringLiteral("t"), QStringLiteral("-bso0"), QStringLiteral("-bsp0"),
                                                  QStringLiteral("-bse0"), path}) == 0;
}

QString cell(const Result& r)
{
    if (!r.made)
        return QStringLiteral("%1 %2 %3 %4")
            .arg(QStringLiteral("-"), 5)
            .arg(QStringLiteral("-"), 5)
            .arg("-", 5)
            .arg("-", 5);
    return QStringLiteral("%1 %2 %3 %4")
        .arg(r.recovered, 5)
        .arg(r.wrong, 5)
        .arg(r.unzip ? QStringLiteral("pass") : QStringLiteral("FAIL"), 5)
        .arg(r.sevenZip ? QStringLiteral("pass") : QStringLiteral("FAIL"), 5);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QString work = QDir::tempPath() + QStringLiteral("/salvage_bench");
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i)
        if (args[i] == QLatin1String("--work"))
            work = args[i + 1];
    QDir(work).removeRecursively();
    QDir().mkpath(work);

    // The workload's truncated archives as they are; a few others flipped, and streamed and cut short.
    QList<Case> cases;
    QList<Case> flips;
    QList<Case> streams;
    const QStringList flipNames = {"arc001.zip", "arc014.zip", "arc019.zip"}; // many small, large, 5000 tiny
    const QStringList streamNames = {"arc002.zip", "arc015.zip", "arc039.zip"};
    workload::generate(work + QStringLiteral("/gen"), [&](const workload::Expect& e, const QByteArray& whole,
                                                          const QByteArray& bytes) {
        if (e.truncated)
            cases.append({e.name, QStringLiteral("truncated"), whole, bytes});
        if (flipNames.contains(e.name))
            flips.append({e.name, QStringLiteral("one entry flipped"), whole, flipped(whole)});
        if (streamNames.contains(e.name)) {
            const QByteArray s = streamed(whole);
            streams.append({e.name, QStringLiteral("streamed, cut at 60%"), s, s.left(s.size() * 6 / 10)});
            streams.append({e.name, QStringLiteral("streamed, cut at 95%"), s, s.left(s.size() * 95 / 100)});
        }
        return true;
    });
    cases += flips;
    cases += streams;

    QTextStream out(stdout);
    out << QStringLiteral("%1 %2 %3 | %4 | %5 | %6 %7\n")
               .arg("archive", -10)
               .arg("damage", -20)
               .arg("orig", 5)
               .arg("ours: good wrong unzip   7zz", -29)
               .arg("zip -FF: good wrong unzip   7zz", -29)
               .arg("ours ms", 7)
               .arg("-FF ms", 7);
    int ourGood = 0, ffGood = 0, ourWrong = 0, ffWrong = 0, ourFail = 0, fewer = 0;
    for (int i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const QString dir = work + QStringLiteral("/case%1").arg(i);
        QDir().mkpath(dir);
        const QString in = dir + QStringLiteral("/in.zip");
        QFile f(in);
        if (!f.open(QIODevice::WriteOnly) || f.write(c.damaged) != c.damaged.size())
            return 2;
        f.close();
        const int original = int(contentsOfBytes(c.whole).size());

        Result ours;
        QElapsedTimer clock;
        clock.start();
        const QString oursPath = dir + QStringLiteral("/ours.zip");
        zipsalvage::salvage(in, oursPath, false);
        ours.ms = clock.elapsed();
        judge(c.whole, oursPath, ours);

        Result ff;
        const QString ffPath = dir + QStringLiteral("/ff.zip");
        clock.restart();
        exitCode(QStringLiteral("sh"),
                 {QStringLiteral("-c"), QStringLiteral("yes | zip -FF in.zip --out ff.zip >/dev/null 2>&1")
                                            .replace(QStringLiteral("in.zip"), in)
                                            .replace(QStringLiteral("ff.zip"), ffPath)});
        ff.ms = clock.elapsed();
        judge(c.whole, ffPath, ff);

        out << QStringLiteral("%1 %2 %3 |       %4 |          %5 | %6 %7\n")
                   .arg(c.name, -10)
                   .arg(c.kind, -20)
                   .arg(original, 5)
                   .arg(cell(ours))
                   .arg(cell(ff))
                   .arg(ours.ms, 7)
                   .arg(ff.ms, 7);
        out.flush();
        ourGood += ours.recovered;
        ffGood += ff.recovered;
        ourWrong += ours.wrong;
        ffWrong += ff.wrong;
        ourFail += ours.made && (!ours.unzip || !ours.sevenZip);
        fewer += ours.recovered < ff.recovered;
    }
    out << QStringLiteral(
               "\nentries identical to the original: ours %1, zip -FF %2; wrong entries: ours %3, zip -FF %4\n")
               .arg(ourGood)
               .arg(ffGood)
               .arg(ourWrong)
               .arg(ffWrong);
    out << QStringLiteral("cases where ours recovered fewer than zip -FF: %1; salvaged archives failing unzip -t or "
                          "7zz t: %2\n")
               .arg(fewer)
               .arg(ourFail);
    if (!args.contains(QLatin1String("--keep")))
        QDir(work).removeRecursively();
    return ourWrong == 0 && fewer == 0 && ourFail == 0 ? 0 : 1;
}
