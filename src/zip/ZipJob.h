#pragma once
// The engine's inside, shared by the files of ZipComponent (reading, testing, rewriting, extracting): one
// call of the component as a ZipJob, and the temporary files of rewrites and extractions. Not for callers
// outside src/zip.

#include "zip/DiskName.h"
#include "zip/TestMemory.h"
#include "zip/ZipComponent.h"
#include "zip/ZipFormat.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QStringList>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <libdeflate.h>
#include <memory>
#include <vector>

namespace zipjob {

constexpr qint64 kChunk = 1024 * 1024;
constexpr qint64 kCopyChunk = 8 * 1024 * 1024;
constexpr qint64 kHookIntervalMs = 20;
// The data test hands batches of small deflated entries to two cores: this much compressed data a batch, so
// that two threads' batches with their outputs fit in testmemory::kBudget together.
constexpr qint64 kBatchBytes = 2 * 1024 * 1024;
// Below this much inflated data a second thread costs more than it saves.
constexpr qint64 kParallelMinBytes = 512 * 1024;

// Temporary files of calls in flight, for discardPendingWrites().
QSet<QString>& pendingFiles();
// Archives being rewritten; a nested call (from inside the event pump) must not rewrite them too.
QSet<QString>& busyArchives();

inline std::filesystem::path fsPath(const QString& s)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(s.toStdWString());
#else
    return std::filesystem::path(diskname::toDisk(s).toStdString());
#endif
}

// The Unix permission bits (rwxrwxrwx) of Qt permissions.
quint32 unixMode(QFileDevice::Permissions p);

// A new file beside its target; removed unless committed, which renames it over the target.
class TempFile
{
public:
    // A rewrite's file is private (0600, whatever the umask) until it is complete, and synced to disk before
    // it takes the original's place; an extraction's is an ordinary new file.
    enum Kind
    {
        Rewrite,
        Extraction
    };

    TempFile(const QString& folder, const QString& baseName, Kind kind = Extraction) : m_kind(kind)
    {
        for (int attempt = 0; attempt < 50; ++attempt) {
            const QString name = QStringLiteral("%1/.%2.%3.tmp")
                                     .arg(folder, baseName)
                                     .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
            const mode_t permissions = kind == Rewrite ? 0600 : 0666;
            if (diskname::openFile(m_file, name, QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered,
                                   permissions)) {
                m_name = name;
                pendingFiles().insert(name);
                m_open = true;
                return;
            }
            if (errno != EEXIST)
                return; // not a name clash: the folder refuses new files
        }
    }
    ~TempFile() { discard(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool isOpen() const { return m_open; }
    QFile& file() { return m_file; }
    // The file's own name, as carried (the QFile, opened through a descriptor, has none).
    const QString& path() const { return m_name; }

    bool write(const char* data, qint64 len)
    {
        while (len > 0) {
            const qint64 n = m_file.write(data, len);
            if (n <= 0)
                return false;
            data += n;
            len -= n;
        }
        return true;
    }

    // Gives the file its permissions (when any are given), syncs a rewrite's file, renames it over target
    // and then syncs the folder, so a crash leaves either the original or the whole new file. A failure
    // before the rename leaves the target as it was. A sync can take seconds on a slow disk: with a hook,
    // it runs on a thread of its own while the hook is called every kHookIntervalMs, so a window stays
    // drawn and answering meanwhile; a hook that answers false stops the commit before the rename.
    bool commit(const QString& target, QFileDevice::Permissions permissions,
                const std::function<bool()>& whileSyncing = {});

    // Gives a rewrite's file the owner, group and extended attributes (ACLs among them) of the archive open
    // as `original`; false when any of them cannot be kept (another user's archive, for an ordinary user).
    bool keepOwnerAndAttributes(int original);

    // Puts a rewrite's complete file in place of the archive open as `original`, with the archive's mode, only
    // while that file is still the one under target and unchanged since `opened`: the two are exchanged in one
    // step and the file that came back is checked, so an upload that took the name meanwhile is never
    // replaced. ZipSuccess, ZipArchiveChanged (nothing replaced), ZipAborted (the hook stopped the sync) or
    // ZipCannotWrite. On success *produced (when given) is the stamp of the file now under target, taken from
    // its descriptor after the rename.
    int replace(const QString& target, int original, const ArchiveStamp& opened,
                const std::function<bool()>& whileSyncing = {}, ArchiveStamp* produced = nullptr);

    // Names a new file target with the given mode, never replacing a file of that name, even one that
    // appeared a moment ago. Exists: there was one, and it stays.
    enum class Named
    {
        Done,
        Exists,
        Failed
    };
    Named nameNew(const QString& target, quint32 mode);

    // The folder's entry for a renamed file reaches the disk; best effort, as some file systems cannot sync
    // a folder.
    static void syncFolder(const QString& folder, const std::function<bool()>& whileSyncing = {});

    void discard()
    {
        if (!m_open)
            return;
        m_file.close();
        diskname::removeFile(m_name);
        pendingFiles().remove(m_name);
        m_open = false;
    }

private:
    QFile m_file;
    QString m_name;
    Kind m_kind;
    bool m_open = false;
};

// A new entry for AddEntries: its local header with data, and what its central record needs.
struct NewEntry
{
    QByteArray local;
    QByteArray name;
    quint16 flags = 0;
    quint32 dosTime = 0;
    quint32 crc = 0;
    quint32 compressedSize = 0;
    quint32 size = 0;
    quint32 externalAttributes = 0;
    quint16 madeBy = 20;

    QByteArray centralRecord(quint64 offset) const
    {
        zipformat::CentralRecordFields f;
        f.versionMadeBy = madeBy;
        f.flags = flags;
        f.method = 8;
        f.dosTime = dosTime;
        f.crc = crc;
        f.compressedSize = compressedSize;
        f.size = size;
        f.externalAttributes = externalAttributes;
        f.offset = offset;
        f.name = name;
        return zipformat::writeCentralRecord(f);
    }
};

} // namespace zipjob

// One call of the component: the properties copied at its start, the open archive and the progress.
class ZipJob
{
public:
    explicit ZipJob(ZipComponent& c)
        : m_c(c), m_hook(c.m_progressHook), m_path(c.ArchivePath), m_maskRaw(c.EntryMask),
          m_mask(c.EntryMask.toLower()), m_folder(c.ExtractFolder), m_testData(c.TestData),
          m_directoryOnly(c.DirectoryOnly), m_hashDirectory(c.HashDirectory), m_armed(!c.Abort)
    {
        m_clock.start();
    }
    ~ZipJob()
    {
        if (m_decompressor)
            libdeflate_free_decompressor(m_decompressor);
    }
    ZipJob(const ZipJob&) = delete;
    ZipJob& operator=(const ZipJob&) = delete;

    int list();
    int remove();
    int extract();
    int add();
    int replace(const QStringList& masks, const QString& addFile, const ArchiveStamp* judged = nullptr,
                ArchiveStamp* produced = nullptr, QByteArray* producedHash = nullptr);

private:
    using Sink = std::function<bool(const char*, qint64)>;

    int open();
    int checkHeaders();
    QByteArray hashDirectory();
    // The hash of an archive's central directory and what follows it, as a listing with HashDirectory makes
    // it; empty when the bytes cannot be read.
    static QByteArray directoryHashOf(zipformat::FileReader& reader, const zipformat::Archive& archive);
    bool matches(const zipformat::Entry& e) const { return zipformat::maskMatches(m_mask, e.name); }
    int decode(const zipformat::Entry& e, const Sink* sink, bool* untestable);
    int decodeStream(const zipformat::Entry& e, const Sink* sink, bool* untestable);
    int inflateStream(const zipformat::Entry& e, const Sink* sink);
    int decodeMethod(const zipformat::Entry& e, const Sink* sink, bool* untestable);
    int testData(const std::vector<const zipformat::Entry*>& matched);
    int testBatch(const std::vector<const zipformat::Entry*>& batch);
    // The in-memory test's buffer holds this much compressed data and two outputs, or false when the pool
    // has no room for it now.
    bool holdTestBuffers(qint64 in, qint64 out, qint64 secondOut);
    int rewrite(const std::vector<bool>& drop, const zipjob::NewEntry* added, const ArchiveStamp* judged = nullptr,
                ArchiveStamp* produced = nullptr, QByteArray* producedHash = nullptr);
    int newEntry(const QFileInfo& source, zipjob::NewEntry& n);

    bool point();
    bool advance(qint64 bytes)
    {
        m_done += bytes;
        return point();
    }
    void finish()
    {
        if (m_lastPercent < 100)
            emit m_c.Status(100);
        m_lastPercent = 100;
    }

    ZipComponent& m_c;
    std::function<void()> m_hook;
    QString m_path;
    QString m_maskRaw;
    QString m_mask;
    QString m_folder;
    bool m_testData;
    bool m_directoryOnly;
    bool m_hashDirectory;
    bool m_armed;
    bool m_aborted = false;

    QElapsedTimer m_clock;
    qint64 m_lastHook = 0;
    qint64 m_total = 0;
    qint64 m_done = 0;
    int m_lastPercent = -1;

    zipformat::FileReader m_reader;
    zipformat::Archive m_archive;
    libdeflate_decompressor* m_decompressor = nullptr;
    QByteArray m_in; // streaming and copying, a chunk at a time
    QByteArray m_out;
    // The in-memory test's buffer, kept from batch to batch of the call: a batch's compressed data, then the
    // output of each inflating thread.
    testmemory::Lease m_test;
    char* m_testOut = nullptr;
    char* m_testOut2 = nullptr;
};
