// Loading a large purge list and matching archive entry names against it.
// Usage: purge_bench [lines] (default 1,000,000). Writes the list into a temporary folder.

#include "purge/PurgeList.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

double ms(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const int lines = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QTemporaryDir dir;
    if (!dir.isValid() || lines <= 0)
        return 1;

    QRandomGenerator rng(7);
    QByteArray bytes;
    bytes.reserve(qsizetype(lines) * 24);
    for (int i = 0; i < lines; ++i) {
        QByteArray name = "dir" + QByteArray::number(rng.bounded(100)) + "/Entry" + QByteArray::number(i) + ".txt";
        if (i % 3 == 0)
            name = name.toLower();
        bytes += name + "\r\n";
    }
    QFile f(dir.path() + "/purge.txt");
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return 1;
    f.close();
    std::printf("purge.txt: %d lines, %.1f MB\n", lines, double(bytes.size()) / 1e6);

    PurgeList list(dir.path());
    QElapsedTimer t;
    t.start();
    list.load();
    std::printf("load, no pump:          %8.1f ms\n", ms(t));

    qint64 pumped = 0;
    t.restart();
    list.load([&] { ++pumped; });
    std::printf("load, counting pump:    %8.1f ms (%lld calls)\n", ms(t), pumped);

    // Entry names as the listing shows them: lower-cased; half of them on the list.
    const int queries = 1000000;
    QStringList names;
    names.reserve(queries);
    for (int i = 0; i < queries; ++i) {
        const int n = int(rng.bounded(lines));
        names << (i % 2 ? list.row(n + 1).toLower() : QStringLiteral("other%1.txt").arg(n));
    }
    int hits = 0;
    t.restart();
    for (const QString& name : names)
        hits += list.match(name).isNull() ? 0 : 1;
    const double lookup = ms(t);
    std::printf("match, lookup:          %8.1f ms for %d names (%d matched), %.0f ns per name\n", lookup, queries, hits,
                lookup * 1e6 / queries);

    const int walks = 20;
    t.restart();
    for (int i = 0; i < walks; ++i)
        hits += list.matchByWalk(names[i]).isNull() ? 0 : 1;
    const double walk = ms(t);
    std::printf("match, row walk:        %8.1f ms for %d names, %.1f ms per name\n", walk, walks, walk / walks);

    t.restart();
    const bool listed = list.isListed(list.row(lines));
    std::printf("duplicate check (last): %8.1f ms (%s)\n", ms(t), listed ? "found" : "not found");
    return 0;
}
