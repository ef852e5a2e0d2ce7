// Writes the campaign's seeds for the 1990s methods no archiver here writes (shrink, reduce, implode), with
// the test suite's own encoders: make_legacy_seeds FOLDER. Each archive holds a few entries of
// deterministic text and one stored entry named purge-me.txt, like every other seed.

#include "testsupport/LegacyEncoders.h"
#include "testsupport/TestArchives.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

namespace {

struct Seed
{
    const char* file;
    int method;
    int factor;    // reduce only
    quint16 flags; // implode: bit 1 8K window, bit 2 literal tree
    QByteArray (*pack)(const QByteArray&, int, quint16);
};

QByteArray packShrink(const QByteArray& data, int, quint16)
{
    return testzip::shrink(data);
}

QByteArray packReduce(const QByteArray& data, int factor, quint16)
{
    return testzip::reduce(data, factor);
}

QByteArray packImplode(const QByteArray& data, int, quint16 flags)
{
    return testzip::implode(data, flags & 2, flags & 4);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_legacy_seeds FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "make_legacy_seeds: cannot make %s\n", argv[1]);
        return 2;
    }
    const Seed seeds[] = {
        {"legacy-shrink.zip", 1, 0, 0, packShrink},          {"legacy-reduce1.zip", 2, 1, 0, packReduce},
        {"legacy-reduce4.zip", 5, 4, 0, packReduce},         {"legacy-implode.zip", 6, 0, 0, packImplode},
        {"legacy-implode-8k-lit.zip", 6, 0, 6, packImplode},
    };
    int seedNumber = 1;
    for (const Seed& s : seeds) {
        QList<testzip::Entry> entries;
        const char* names[] = {"alpha.txt", "beta.txt", "gamma.txt"};
        const int sizes[] = {3000, 200, 9000};
        for (int i = 0; i < 3; ++i) {
            const QByteArray data = testzip::text(sizes[i], seedNumber * 10 + i);
            entries.append(testzip::packedFile(names[i], data, s.method, s.pack(data, s.factor, s.flags), s.flags));
        }
        // The entry to purge sits between the others, so a purge moves the entries after it.
        entries.insert(1, testzip::file("purge-me.txt", testzip::text(500, seedNumber), false));
        const QString path = folder + QLatin1Char('/') + QLatin1String(s.file);
        if (!testzip::writeZip(path, entries)) {
            std::fprintf(stderr, "make_legacy_seeds: cannot write %s\n", qPrintable(path));
            return 1;
        }
        ++seedNumber;
    }
    return 0;
}
