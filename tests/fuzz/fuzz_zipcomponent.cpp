// Feeds arbitrary bytes, written to a file, to ZipComponent::ListContents and DeleteEntries. The first
// input byte picks the mask used by the deletion; the rest is the archive.
//
// Run: fuzz_zipcomponent -max_total_time=600 -rss_limit_mb=2048 <work corpus folder> tests/fuzz/corpus

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
    static const char* masks[] = {"*.*", "file_id.diz", "*.txt", "a?c", "*", "readme.txt", "nothing", "*.diz"};
    const QString path = g_dir->filePath("fuzz.zip");
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        if (size > 1)
            f.write(reinterpret_cast<const char*>(data) + 1, qint64(size - 1));
    }
    ZipComponent zip;
    zip.ArchivePath = path;
    zip.EntryMask = "*.*";
    const qint16 listed = zip.ListContents();
    zip.EntryMask = masks[size ? data[0] % 8 : 0];
    const qint16 deleted = zip.DeleteEntries();
    // A deletion that went through must leave an archive whose structure and local headers are sound
    // so only the structure is judged).
    if (deleted == ZipSuccess && (listed == ZipSuccess || listed == ZipDataDamaged || listed == ZipHeaderDamaged)) {
        zip.TestData = false;
        zip.EntryMask = "*.*";
        const qint16 again = zip.ListContents();
        if (again != ZipSuccess)
            abort();
    }
    QFile::remove(path);
    return 0;
}
