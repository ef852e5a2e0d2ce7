// Feeds arbitrary bytes, written to a file, to salvage. Salvage must end in bounded time and memory on any
// input (run under -timeout and -rss_limit_mb), never change the damaged file, and every copy it writes must
// pass the engine's own listing and data test.
//
// Run: fuzz_salvage -max_total_time=600 -timeout=10 -rss_limit_mb=2048 <work corpus folder> tests/fuzz/corpus

#include "zip/Salvage.h"
#include "zip/ZipComponent.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace {

QTemporaryDir* g_dir = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    g_dir = new QTemporaryDir();
    return g_dir->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = g_dir->filePath("fuzz.zip.bad");
    const QString target = zipsalvage::salvagedPath(path);
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(input) != input.size())
            abort();
    }
    const zipsalvage::Report report = zipsalvage::salvage(path, target, false);
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || f.readAll() != input)
            abort();
    }
    if (report.status == zipsalvage::Status::Written) {
        ZipComponent zip;
        zip.ArchivePath = target;
        zip.EntryMask = "*";
        if (zip.ListContents() != ZipSuccess)
            abort();
    }
    QFile::remove(target);
    QFile::remove(path);
    return 0;
}
