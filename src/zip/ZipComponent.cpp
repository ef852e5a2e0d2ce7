#include "ZipComponent.h"

#include "ZipFormat.h"
#include "zip/Decoders.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <algorithm>
#include <filesystem>
#include <future>
#include <libdeflate.h>
#include <memory>
#include <zlib.h>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <unistd.h>
#endif

using namespace zipformat;

namespace {

constexpr qint64 kChunk = 1024 * 1024;
constexpr qint64 kCopyChunk = 8 * 1024 * 1024;
constexpr qint64 kHookIntervalMs = 20;
// The data test hands batches of small deflated entries to two cores: this much compressed data a batch.
constexpr qint64 kBatchBytes = 8 * 1024 * 1024;
// Below this much inflated data a second thread costs more than it saves.
constexpr qint64 kParallelMinBytes = 512 * 1024;

// Temporary files of calls in flight, for discardPendingWrites().
QSet<QString>& pendingFiles()
{
    static QSet<QString> files;
    return files;
}

// Archives being rewritten; a nested call (from inside the event pump) must not rewrite them too.
QSet<QString>& busyArchives()
{
    static QSet<QString> archives;
    return archives;
}

std::filesystem::path fsPath(const QString& s)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(s.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(s).toStdString());
#endif
}

// A new file beside its target; removed unless committed, which renames it over the target.
class TempFile
{
public:
    TempFile(const QString& folder, const QString& baseName)
    {
        for (int attempt = 0; attempt < 50; ++attempt) {
            const QString name = QStringLiteral("%1/.%2.%3.tmp")
                                     .arg(folder, baseName)
                                     .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
            m_file.setFileName(name);
            if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
                pendingFiles().insert(name);
                m_open = true;
                return;
            }
            if (m_file.error() != QFileDevice::OpenError || QFileInfo::exists(folder) == false)
                return;
            if (!QFileInfo::exists(name))
                return; // not a name clash: the folder refuses new files
        }
    }
    ~TempFile() { discard(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool isOpen() const { return m_open; }
    QFile& file() { return m_file; }

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

    bool commit(const QString& target, QFileDevice::Permissions permissions)
    {
        if (!m_open)
            return false;
        m_file.close();
        if (m_file.error() != QFileDevice::NoError)
            return false;
        if (permissions)
            m_file.setPermissions(permissions);
        std::error_code ec;
        std::filesystem::rename(fsPath(m_file.fileName()), fsPath(target), ec);
        if (ec)
            return false;
        pendingFiles().remove(m_file.fileName());
        m_open = false;
        return true;
    }

    void discard()
    {
        if (!m_open)
            return;
        m_file.close();
        QFile::remove(m_file.fileName());
        pendingFiles().remove(m_file.fileName());
        m_open = false;
    }

private:
    QFile m_file;
    bool m_open = false;
};

// Marks an archive busy for the life of a rewrite.
class BusyMark
{
public:
    explicit BusyMark(const QString& path) : m_path(path)
    {
        m_taken = !busyArchives().contains(path);
        if (m_taken)
            busyArchives().insert(path);
    }
    ~BusyMark()
    {
        if (m_taken)
            busyArchives().remove(m_path);
    }
    bool taken() const { return m_taken; }

private:
    QString m_path;
    bool m_taken = false;
};

quint32 dosDateTime(const QDateTime& t)
{
    const QDate d = t.date();
    const QTime tm = t.time();
    if (!t.isValid() || d.year() < 1980)
        return (1 << 21) | (1 << 16); // 1980-01-01 00:00
    const quint32 date = quint32(((std::min(d.year(), 2107) - 1980) << 9) | (d.month() << 5) | d.day());
    const quint32 time = quint32((tm.hour() << 11) | (tm.minute() << 5) | (tm.second() / 2));
    return (date << 16) | time;
}

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
        QByteArray r;
        const bool offset64 = offset >= 0xffffffffu;
        put32(r, 0x02014b50);
        put16(r, madeBy);
        put16(r, offset64 ? 45 : 20);
        put16(r, flags);
        put16(r, 8);
        put32(r, dosTime);
        put32(r, crc);
        put32(r, compressedSize);
        put32(r, size);
        put16(r, quint16(name.size()));
        put16(r, offset64 ? 12 : 0);
        put16(r, 0);
        put16(r, 0);
        put16(r, 0);
        put32(r, externalAttributes);
        put32(r, offset64 ? 0xffffffffu : quint32(offset));
        r.append(name);
        if (offset64) {
            put16(r, 0x0001);
            put16(r, 8);
            put64(r, offset);
        }
        return r;
    }
};

} // namespace

// One call of the component: the properties copied at its start, the open archive and the progress.
class ZipJob
{
public:
    explicit ZipJob(ZipComponent& c)
        : m_c(c), m_hook(c.m_progressHook), m_path(c.ArchivePath), m_maskRaw(c.EntryMask),
          m_mask(c.EntryMask.toLower()), m_folder(c.ExtractFolder), m_testData(c.TestData), m_armed(!c.Abort)
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
    int replace(const QStringList& masks, const QString& addFile);

private:
    using Sink = std::function<bool(const char*, qint64)>;

    int open();
    int checkHeaders();
    bool matches(const Entry& e) const { return maskMatches(m_mask, e.name); }
    int decode(const Entry& e, const Sink* sink, bool* untestable);
    int decodeStream(const Entry& e, const Sink* sink, bool* untestable);
    int inflateStream(const Entry& e, const Sink* sink);
    int decodeMethod(const Entry& e, const Sink* sink, bool* untestable);
    int testData(const std::vector<const Entry*>& matched);
    int testBatch(const std::vector<const Entry*>& batch);
    int rewrite(const std::vector<bool>& drop, const NewEntry* added);
    int newEntry(const QFileInfo& source, NewEntry& n);

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
    bool m_armed;
    bool m_aborted = false;

    QElapsedTimer m_clock;
    qint64 m_lastHook = 0;
    qint64 m_total = 0;
    qint64 m_done = 0;
    int m_lastPercent = -1;

    FileReader m_reader;
    Archive m_archive;
    libdeflate_decompressor* m_decompressor = nullptr;
    QByteArray m_in;
    QByteArray m_out;
};

bool ZipJob::point()
{
    if (m_aborted)
        return false;
    const int percent = m_total > 0 ? int(std::min<qint64>(100, m_done * 100 / m_total)) : 0;
    const bool report = percent > m_lastPercent;
    if (report) {
        m_lastPercent = percent;
        emit m_c.Status(qint16(percent));
    }
    if (m_hook && (report || m_clock.elapsed() - m_lastHook >= kHookIntervalMs)) {
        m_lastHook = m_clock.elapsed();
        m_hook();
    }
    if (!m_c.Abort)
        m_armed = true;
    else if (m_armed)
        m_aborted = true;
    return !m_aborted;
}

int ZipJob::open()
{
    if (m_path.isEmpty())
        return ZipArchiveNotFound;
    const QFileInfo info(m_path);
    if (!info.exists() || info.isDir()) // exists() follows links, so a dangling link is missing too
        return ZipArchiveNotFound;
    if (!m_reader.open(m_path))
        return info.exists() ? ZipCannotRead : ZipArchiveNotFound;
    return readCentralDirectory(m_reader, m_archive);
}

int ZipJob::checkHeaders()
{
    int n = 0;
    for (Entry& e : m_archive.entries) {
        if (const int rc = checkLocalHeader(m_reader, m_archive, e))
            return rc;
        if ((++n & 1023) == 0 && !point())
            return ZipAborted;
    }
    return ZipSuccess;
}

int ZipJob::decode(const Entry& e, const Sink* sink, bool* untestable)
{
    *untestable = false;
    if (e.encrypted()) {
        *untestable = true;
        return ZipSuccess;
    }
    if (e.method == 0) {
        if (e.compressedSize != e.size)
            return ZipDataDamaged;
        quint32 crc = 0;
        qint64 left = qint64(e.size);
        qint64 at = qint64(e.dataOffset);
        m_in.resize(std::min<qint64>(left, kChunk));
        while (left > 0) {
            const qint64 n = std::min<qint64>(left, kChunk);
            if (!m_reader.read(at, m_in.data(), n))
                return ZipCannotRead;
            crc = libdeflate_crc32(crc, m_in.constData(), size_t(n));
            if (sink && !(*sink)(m_in.constData(), n))
                return ZipCannotWrite;
            at += n;
            left -= n;
            if (!advance(n))
                return ZipAborted;
        }
        return crc == e.crc ? ZipSuccess : ZipDataDamaged;
    }
    if (e.method != 8 || qint64(e.compressedSize) > ZipComponent::kFastTestLimit ||
        qint64(e.size) > ZipComponent::kFastTestLimit)
        return decodeStream(e, sink, untestable);

    if (!m_decompressor && !(m_decompressor = libdeflate_alloc_decompressor()))
        return ZipOtherError;
    m_in.resize(qsizetype(e.compressedSize));
    m_out.resize(qsizetype(e.size));
    if (!m_reader.read(qint64(e.dataOffset), m_in.data(), qint64(e.compressedSize)))
        return ZipCannotRead;
    size_t got = 0;
    size_t used = 0;
    const libdeflate_result r = libdeflate_deflate_decompress_ex(m_decompressor, m_in.constData(), m_in.size(),
                                                                 m_out.data(), m_out.size(), &used, &got);
    if (r == LIBDEFLATE_BAD_DATA)
        return ZipHeaderDamaged;
    if (r != LIBDEFLATE_SUCCESS || got != e.size)
        return ZipDataDamaged;
    if (libdeflate_crc32(0, m_out.constData(), got) != e.crc)
        return ZipDataDamaged;
    if (sink && !(*sink)(m_out.constData(), qint64(got)))
        return ZipCannotWrite;
    if (!advance(qint64(e.compressedSize)))
        return ZipAborted;
    return ZipSuccess;
}

// Large deflated entries stream through zlib in bounded chunks, read by our own reader (libzip cannot
// place entries behind a prefix whose offsets count from the ZIP data).
int ZipJob::inflateStream(const Entry& e, const Sink* sink)
{
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK)
        return ZipOtherError;
    std::unique_ptr<z_stream, int (*)(z_stream*)> closer(&zs, inflateEnd);
    m_in.resize(kChunk);
    m_out.resize(kChunk);
    quint64 readSoFar = 0;
    quint64 total = 0;
    quint32 crc = 0;
    int zr = Z_OK;
    while (zr != Z_STREAM_END) {
        if (zs.avail_in == 0) {
            const qint64 n = qint64(std::min<quint64>(e.compressedSize - readSoFar, quint64(kChunk)));
            if (n == 0)
                return ZipDataDamaged; // the data ends before the deflate stream does
            if (!m_reader.read(qint64(e.dataOffset + readSoFar), m_in.data(), n))
                return ZipCannotRead;
            readSoFar += quint64(n);
            zs.next_in = reinterpret_cast<Bytef*>(m_in.data());
            zs.avail_in = uInt(n);
            if (!advance(n))
                return ZipAborted;
        }
        zs.next_out = reinterpret_cast<Bytef*>(m_out.data());
        zs.avail_out = uInt(m_out.size());
        zr = inflate(&zs, Z_NO_FLUSH);
        if (zr == Z_DATA_ERROR)
            return ZipHeaderDamaged;
        if (zr != Z_OK && zr != Z_STREAM_END && zr != Z_BUF_ERROR)
            return ZipOtherError;
        const qint64 got = qint64(m_out.size()) - qint64(zs.avail_out);
        if (zr == Z_BUF_ERROR && got == 0 && zs.avail_in > 0)
            return ZipHeaderDamaged; // no progress possible
        total += quint64(got);
        if (total > e.size)
            return ZipDataDamaged; // more data than the directory promises
        crc = quint32(libdeflate_crc32(crc, m_out.constData(), size_t(got)));
        if (got > 0 && sink && !(*sink)(m_out.constData(), got))
            return ZipCannotWrite;
    }
    m_done += qint64(e.compressedSize - readSoFar);
    return total == e.size && crc == e.crc ? ZipSuccess : ZipDataDamaged;
}

// Large deflated entries stream through zlib; every other method goes through our decoders.
int ZipJob::decodeStream(const Entry& e, const Sink* sink, bool* untestable)
{
    if (e.method == 8)
        return inflateStream(e, sink);
    return decodeMethod(e, sink, untestable);
}

int ZipJob::decodeMethod(const Entry& e, const Sink* sink, bool* untestable)
{
    qint64 at = qint64(e.dataOffset);
    const zipdecode::ReadFn read = [&](char* dest, qint64 max) -> qint64 {
        if (!m_reader.read(at, dest, max))
            return -1;
        at += max;
        return max;
    };
    const zipdecode::ProgressFn progress = [this](qint64 n) { return advance(n); };
    const int rc = zipdecode::decodeEntryData(e.method, e.flags, read, e.compressedSize, e.size, e.crc,
                                              sink ? *sink : zipdecode::Sink(), progress);
    if (rc != zipdecode::Unsupported)
        return rc;
    *untestable = true;                  // a method we do not decode, or a dictionary over the memory limit
    m_done -= at - qint64(e.dataOffset); // the caller counts the whole entry as done
    return ZipSuccess;
}

int ZipJob::list()
{
    if (const int rc = open())
        return rc;
    std::vector<const Entry*> matched;
    for (const Entry& e : m_archive.entries) {
        if (!matches(e))
            continue;
        matched.push_back(&e);
        emit m_c.Listing(e.name);
        if ((matched.size() & 1023) == 0 && !point())
            return ZipAborted;
    }
    if (const int rc = checkHeaders())
        return rc;
    if (m_testData) {
        if (const int rc = testData(matched))
            return rc;
    }
    finish();
    return ZipSuccess;
}

namespace {

bool inMemory(const Entry& e)
{
    return !e.encrypted() && e.method == 8 && qint64(e.compressedSize) <= ZipComponent::kFastTestLimit &&
           qint64(e.size) <= ZipComponent::kFastTestLimit;
}

// The verdict on one deflated entry held in memory; runs on either core, with its own decompressor and buffer.
int inflateAndCheck(libdeflate_decompressor* d, const Entry& e, const char* in, QByteArray& out)
{
    out.resize(qsizetype(e.size));
    size_t got = 0;
    size_t used = 0;
    const libdeflate_result r =
        libdeflate_deflate_decompress_ex(d, in, size_t(e.compressedSize), out.data(), size_t(e.size), &used, &got);
    if (r == LIBDEFLATE_BAD_DATA)
        return ZipHeaderDamaged;
    if (r != LIBDEFLATE_SUCCESS || got != e.size)
        return ZipDataDamaged;
    return libdeflate_crc32(0, out.constData(), got) == e.crc ? ZipSuccess : ZipDataDamaged;
}

struct DecompressorDeleter
{
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

} // namespace

// Tests every matched entry in order. Runs of small deflated entries go in batches whose inflating is
// shared by two threads; the verdict is still that of the first bad entry in listing order.
int ZipJob::testData(const std::vector<const Entry*>& matched)
{
    for (const Entry* e : matched)
        m_total += qint64(e->compressedSize);
    std::vector<const Entry*> batch;
    qint64 batchBytes = 0;
    auto flush = [&]() -> int {
        const int rc = testBatch(batch);
        batch.clear();
        batchBytes = 0;
        return rc;
    };
    for (const Entry* e : matched) {
        if (inMemory(*e)) {
            if (!batch.empty() && batchBytes + qint64(e->compressedSize) > kBatchBytes)
                if (const int rc = flush())
                    return rc;
            batch.push_back(e);
            batchBytes += qint64(e->compressedSize);
            continue;
        }
        if (const int rc = flush())
            return rc;
        bool untestable = false;
        if (const int rc = decode(*e, nullptr, &untestable))
            return rc;
        if (untestable && !advance(qint64(e->compressedSize)))
            return ZipAborted;
    }
    return flush();
}

int ZipJob::testBatch(const std::vector<const Entry*>& batch)
{
    if (batch.empty())
        return ZipSuccess;
    // The file is read on this thread only; the inflating is what two cores share.
    qint64 inBytes = 0;
    qint64 outBytes = 0;
    std::vector<qint64> at(batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
        at[i] = inBytes;
        inBytes += qint64(batch[i]->compressedSize);
        outBytes += qint64(batch[i]->size);
    }
    m_in.resize(qsizetype(inBytes));
    for (size_t i = 0; i < batch.size(); ++i)
        if (!m_reader.read(qint64(batch[i]->dataOffset), m_in.data() + at[i], qint64(batch[i]->compressedSize)))
            return ZipCannotRead;
    if (!m_decompressor && !(m_decompressor = libdeflate_alloc_decompressor()))
        return ZipOtherError;

    std::vector<int> verdict(batch.size(), ZipSuccess);
    auto work = [&](libdeflate_decompressor* d, QByteArray& out, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            verdict[i] = inflateAndCheck(d, *batch[i], m_in.constData() + at[i], out);
    };
    // Split where half the compressed bytes lie, so both threads get about the same work.
    size_t split = batch.size();
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> second;
    if (batch.size() > 1 && outBytes >= kParallelMinBytes) {
        second.reset(libdeflate_alloc_decompressor());
        split = size_t(std::upper_bound(at.begin(), at.end(), inBytes / 2) - at.begin());
        split = std::clamp<size_t>(split, 1, batch.size() - 1);
    }
    if (second) {
        QByteArray otherOut;
        auto other = std::async(std::launch::async, [&] { work(second.get(), otherOut, split, batch.size()); });
        work(m_decompressor, m_out, 0, split);
        other.get();
    } else {
        work(m_decompressor, m_out, 0, batch.size());
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        if (verdict[i] != ZipSuccess)
            return verdict[i];
        if (!advance(qint64(batch[i]->compressedSize)))
            return ZipAborted;
    }
    return ZipSuccess;
}

int ZipJob::remove()
{
    if (const int rc = open())
        return rc;
    if (const int rc = checkHeaders())
        return rc;
    std::vector<bool> drop(m_archive.entries.size());
    bool any = false;
    for (size_t i = 0; i < drop.size(); ++i)
        any |= (drop[i] = matches(m_archive.entries[i]));
    if (!any) {
        finish();
        return ZipSuccess;
    }
    return rewrite(drop, nullptr);
}

int ZipJob::rewrite(const std::vector<bool>& drop, const NewEntry* added)
{
    // Rewrite the file a link points to, so that the link itself stays.
    const QString target = QFileInfo(m_path).canonicalFilePath();
    const QFileInfo targetInfo(target);
    const QFileDevice::Permissions permissions = QFile::permissions(target);
    if (!(permissions & QFileDevice::WriteOwner) || !targetInfo.isWritable())
        return ZipCannotWrite;
    BusyMark busy(target);
    if (!busy.taken())
        return ZipOtherError;

    // Kept entries are copied in file order; neighbouring ranges become one copy.
    std::vector<size_t> kept;
    for (size_t i = 0; i < drop.size(); ++i)
        if (!drop[i])
            kept.push_back(i);
    std::vector<size_t> byOffset = kept;
    std::sort(byOffset.begin(), byOffset.end(),
              [&](size_t a, size_t b) { return m_archive.entries[a].localOffset < m_archive.entries[b].localOffset; });
    struct Range
    {
        quint64 from, to;
    };
    std::vector<Range> ranges;
    std::vector<quint64> newOffset(m_archive.entries.size());
    // Data before the first entry (a self-extractor's program) stays byte for byte.
    quint64 outPos = m_archive.prefixEnd;
    if (outPos > 0)
        ranges.push_back({0, outPos});
    for (size_t i : byOffset) {
        const Entry& e = m_archive.entries[i];
        newOffset[i] = outPos;
        if (!ranges.empty() && ranges.back().to == e.localOffset)
            ranges.back().to = e.endOffset;
        else
            ranges.push_back({e.localOffset, e.endOffset});
        outPos += e.endOffset - e.localOffset;
    }
    m_total = qint64(outPos) + (added ? added->local.size() : 0);

    TempFile temp(targetInfo.absolutePath(), targetInfo.fileName());
    if (!temp.isOpen())
        return ZipCannotWrite;
    QFile& in = m_reader.file();
    bool kernelCopy = true;
    for (const Range& r : ranges) {
        quint64 from = r.from;
        while (from < r.to) {
            const qint64 n = qint64(std::min<quint64>(r.to - from, quint64(kCopyChunk)));
            qint64 copied = 0;
#ifdef Q_OS_LINUX
            // In-kernel copy: the bytes make no trip through user space.
            if (kernelCopy) {
                off_t inPos = off_t(from);
                const ssize_t c = ::copy_file_range(in.handle(), &inPos, temp.file().handle(), nullptr, size_t(n), 0);
                if (c > 0) {
                    copied = c;
                    if (!temp.file().seek(temp.file().pos() + copied))
                        return ZipCannotWrite;
                } else if (c == 0) {
                    return ZipCannotRead; // the archive became shorter under us
                } else if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                    kernelCopy = false;
                } else {
                    return errno == EIO ? ZipCannotRead : ZipCannotWrite;
                }
            }
#else
            Q_UNUSED(kernelCopy);
            Q_UNUSED(in);
#endif
            if (copied == 0) {
                m_in.resize(n);
                if (!m_reader.read(qint64(from), m_in.data(), n))
                    return ZipCannotRead;
                if (!temp.write(m_in.constData(), n))
                    return ZipCannotWrite;
                copied = n;
            }
            from += quint64(copied);
            if (!advance(copied))
                return ZipAborted;
        }
    }
    // Offsets are written in the archive's own convention: counting the prefix, or counting from the ZIP
    // data behind it.
    const quint64 shift = m_archive.shift;
    quint64 addedAt = outPos;
    if (added) {
        if (!temp.write(added->local.constData(), added->local.size()))
            return ZipCannotWrite;
        outPos += quint64(added->local.size());
        if (!advance(added->local.size()))
            return ZipAborted;
    }
    // The central directory goes out in chunks: for an archive of many entries a whole copy of it in memory
    // would be the largest thing the rewrite holds.
    const quint64 centralAt = outPos;
    QByteArray central;
    central.reserve(kChunk + 64 * 1024);
    quint64 centralSize = 0;
    quint64 count = 0;
    auto flushCentral = [&] {
        centralSize += quint64(central.size());
        const bool written = temp.write(central.constData(), central.size());
        central.resize(0);
        return written;
    };
    for (size_t i : kept) {
        central.append(centralRecord(m_archive, m_archive.entries[i], newOffset[i] - shift));
        ++count;
        if (central.size() >= kChunk && !flushCentral())
            return ZipCannotWrite;
    }
    if (added) {
        central.append(added->centralRecord(addedAt - shift));
        ++count;
    }
    if (!flushCentral())
        return ZipCannotWrite;
    central = endRecords(count, centralAt - shift, centralSize, m_archive.comment, m_archive.disk);
    if (!temp.write(central.constData(), central.size()))
        return ZipCannotWrite;
    if (!point())
        return ZipAborted;
    m_reader.file().close();
    if (!temp.commit(target, permissions))
        return ZipCannotWrite;
    finish();
    return ZipSuccess;
}

int ZipJob::extract()
{
    if (const int rc = open())
        return rc;
    if (const int rc = checkHeaders())
        return rc;
    const QFileInfo folderInfo(m_folder);
    if (m_folder.isEmpty())
        return ZipCannotWrite;
    if (!folderInfo.exists() && !QDir().mkdir(m_folder))
        return ZipCannotWrite;
    if (!QFileInfo(m_folder).isDir())
        return ZipCannotWrite;
    const QString folder = QFileInfo(m_folder).absoluteFilePath();

    std::vector<std::pair<const Entry*, QString>> work;
    for (const Entry& e : m_archive.entries) {
        if (!matches(e))
            continue;
        QString name = ZipComponent::extractedName(e.name);
        if (name.isEmpty())
            continue;
        if (qint64(e.size) > ZipComponent::kMaxExtractSize)
            return ZipOtherError;
        work.emplace_back(&e, name);
        m_total += qint64(e.compressedSize);
    }
    for (const auto& [entry, name] : work) {
        TempFile temp(folder, name);
        if (!temp.isOpen())
            return ZipCannotWrite;
        const Sink sink = [&temp](const char* data, qint64 len) { return temp.write(data, len); };
        bool untestable = false;
        if (const int rc = decode(*entry, &sink, &untestable))
            return rc;
        if (untestable)
            return ZipOtherError; // encrypted, or a method we cannot decode
        if (!temp.commit(folder + u'/' + name, {}))
            return ZipCannotWrite;
    }
    finish();
    return ZipSuccess;
}

int ZipJob::add()
{
    const QFileInfo source(m_maskRaw);
    if (m_maskRaw.isEmpty() || !source.exists() || source.isDir())
        return ZipAddFileMissing;
    if (const int rc = open())
        return rc;
    if (const int rc = checkHeaders())
        return rc;
    NewEntry n;
    if (const int rc = newEntry(source, n))
        return rc;
    const QString name = source.fileName();
    std::vector<bool> drop(m_archive.entries.size());
    for (size_t i = 0; i < drop.size(); ++i)
        drop[i] = m_archive.entries[i].name.compare(name, Qt::CaseInsensitive) == 0;
    return rewrite(drop, &n);
}

// The entry AddEntries makes of a file: its data deflated in memory, under its file name without folder.
int ZipJob::newEntry(const QFileInfo& source, NewEntry& n)
{
    if (source.size() > ZipComponent::kMaxAddSize)
        return ZipOtherError;
    QFile file(source.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return ZipOtherError;
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return ZipOtherError;

    const QString name = source.fileName();
    n.name = name.toUtf8();
    bool ascii = true;
    for (QChar c : name)
        ascii = ascii && c.unicode() < 0x80;
    n.flags = ascii ? 0 : 0x0800;
    n.dosTime = dosDateTime(source.lastModified());
    n.crc = quint32(libdeflate_crc32(0, data.constData(), size_t(data.size())));
    n.size = quint32(data.size());
#ifdef Q_OS_WIN
    n.madeBy = 20;
    n.externalAttributes = source.isWritable() ? 0x20 : 0x21;
#else
    {
        const QFileDevice::Permissions p = source.permissions();
        quint32 mode = 0100000;
        mode |= (p & QFileDevice::ReadOwner) ? 0400 : 0;
        mode |= (p & QFileDevice::WriteOwner) ? 0200 : 0;
        mode |= (p & QFileDevice::ExeOwner) ? 0100 : 0;
        mode |= (p & QFileDevice::ReadGroup) ? 040 : 0;
        mode |= (p & QFileDevice::WriteGroup) ? 020 : 0;
        mode |= (p & QFileDevice::ExeGroup) ? 010 : 0;
        mode |= (p & QFileDevice::ReadOther) ? 04 : 0;
        mode |= (p & QFileDevice::WriteOther) ? 02 : 0;
        mode |= (p & QFileDevice::ExeOther) ? 01 : 0;
        n.madeBy = (3 << 8) | 20;
        n.externalAttributes = mode << 16;
    }
#endif
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    if (!compressor)
        return ZipOtherError;
    QByteArray packed(qsizetype(libdeflate_deflate_compress_bound(compressor, size_t(data.size()))), Qt::Uninitialized);
    const size_t packedSize =
        libdeflate_deflate_compress(compressor, data.constData(), size_t(data.size()), packed.data(), packed.size());
    libdeflate_free_compressor(compressor);
    if (packedSize == 0 && !data.isEmpty())
        return ZipOtherError;
    packed.resize(qsizetype(packedSize));
    n.compressedSize = quint32(packed.size());

    put32(n.local, 0x04034b50);
    put16(n.local, 20);
    put16(n.local, n.flags);
    put16(n.local, 8);
    put32(n.local, n.dosTime);
    put32(n.local, n.crc);
    put32(n.local, n.compressedSize);
    put32(n.local, n.size);
    put16(n.local, quint16(n.name.size()));
    put16(n.local, 0);
    n.local.append(n.name);
    n.local.append(packed);

    return ZipSuccess;
}

int ZipJob::replace(const QStringList& masks, const QString& addFile)
{
    const QFileInfo source(addFile);
    const bool adding = !addFile.isEmpty();
    if (adding && (!source.exists() || source.isDir()))
        return ZipAddFileMissing;
    if (const int rc = open())
        return rc;
    if (const int rc = checkHeaders())
        return rc;
    NewEntry n;
    if (adding) {
        if (const int rc = newEntry(source, n))
            return rc;
    }
    // A mask without '*' or '?' takes the names equal to it, so those are looked up, not matched one by one.
    QSet<QString> literal;
    QStringList patterns;
    for (const QString& m : masks) {
        const QString lower = m.toLower();
        if (lower.contains(u'*') || lower.contains(u'?'))
            patterns << lower;
        else
            literal.insert(lower);
    }
    auto masked = [&](const QString& name) {
        return literal.contains(name.toLower()) ||
               std::any_of(patterns.cbegin(), patterns.cend(), [&](const QString& m) { return maskMatches(m, name); });
    };
    const QString addName = source.fileName();
    const bool addKept = adding && !masked(addName);
    std::vector<bool> drop(m_archive.entries.size());
    bool any = false;
    for (size_t i = 0; i < drop.size(); ++i) {
        const QString& name = m_archive.entries[i].name;
        any |= (drop[i] = (adding && name.compare(addName, Qt::CaseInsensitive) == 0) || masked(name));
    }
    if (!any && !addKept) {
        finish();
        return ZipSuccess;
    }
    return rewrite(drop, addKept ? &n : nullptr);
}

ZipComponent::ZipComponent(QObject* parent) : QObject(parent) {}

qint16 ZipComponent::ListContents()
{
    ZipJob job(*this);
    return qint16(job.list());
}

qint16 ZipComponent::DeleteEntries()
{
    ZipJob job(*this);
    return qint16(job.remove());
}

qint16 ZipComponent::ExtractEntries(qint16 mode)
{
    Q_UNUSED(mode); // always 0: extract into ExtractFolder
    ZipJob job(*this);
    return qint16(job.extract());
}

qint16 ZipComponent::AddEntries(qint16 mode)
{
    Q_UNUSED(mode); // always 0: add with deflate
    ZipJob job(*this);
    return qint16(job.add());
}

qint16 ZipComponent::RewriteEntries(const QStringList& deleteMasks, const QString& addFile)
{
    ZipJob job(*this);
    return qint16(job.replace(deleteMasks, addFile));
}

// The name an entry is extracted under: its last path part, lower-cased, without a drive letter;
// empty when nothing safe remains.
QString ZipComponent::extractedName(const QString& entryName)
{
    QString n = entryName;
    n.replace(u'\\', u'/');
    n = n.mid(n.lastIndexOf(u'/') + 1);
    if (n.size() >= 2 && n[1] == u':' && n[0].isLetter())
        n = n.mid(2);
    if (n == u"." || n == u"..")
        return {};
    for (QChar& c : n) {
        if (c.unicode() < 0x20)
            c = u'_';
#ifdef Q_OS_WIN
        if (QStringView(u"<>:\"|?*").contains(c))
            c = u'_';
#endif
    }
    return n.toLower();
}

void ZipComponent::replayListing(const QStringList& names)
{
    for (const QString& name : names)
        emit Listing(name);
    emit Status(100);
}

bool ZipComponent::isDamage(qint16 code)
{
    return code == ZipStructureDamaged || code == ZipDataDamaged || code == ZipHeaderDamaged;
}

void ZipComponent::setProgressHook(std::function<void()> hook)
{
    m_progressHook = std::move(hook);
}

void ZipComponent::discardPendingWrites()
{
    for (const QString& path : std::as_const(pendingFiles()))
        QFile::remove(path);
    pendingFiles().clear();
}

namespace {

// True for the name TempFile gives a rewrite of an archive: "." + archive name + "." + 8 hex digits + ".tmp",
// the archive name ending in ".zip" unless one is given.
bool isRewriteTemporary(const QString& name, const QString& archiveName = {})
{
    if (!name.startsWith(u'.') || !name.endsWith(u".tmp") || name.size() < 14)
        return false;
    const QStringView tag = QStringView(name).sliced(name.size() - 13, 9); // ".hhhhhhhh"
    if (tag[0] != u'.')
        return false;
    for (QChar c : tag.sliced(1))
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    const QStringView archive = QStringView(name).sliced(1, name.size() - 14);
    return archiveName.isEmpty() ? archive.endsWith(u".zip", Qt::CaseInsensitive) && archive.size() > 4
                                 : archive == archiveName;
}

int removeTemporaries(const QString& folder, const QString& archiveName)
{
    const QString filter =
        u'.' + (archiveName.isEmpty() ? QStringLiteral("*") : archiveName) + QStringLiteral(".*.tmp");
    int removed = 0;
    for (const QString& name : QDir(folder).entryList({filter}, QDir::Files | QDir::Hidden | QDir::System)) {
        const QString path = folder + u'/' + name;
        const QFileInfo info(path);
        if (!isRewriteTemporary(name, archiveName) || info.isSymLink() || !info.isFile() ||
            pendingFiles().contains(path))
            continue;
        if (QFile::remove(path))
            ++removed;
    }
    return removed;
}

} // namespace

int ZipComponent::removeStaleTemporaries(const QString& archivePath)
{
    // The temporary file sits beside the file actually rewritten: a link's target, when it resolves.
    const QFileInfo link(archivePath);
    const QString canonical = link.canonicalFilePath();
    const QFileInfo target(canonical.isEmpty() ? link.absoluteFilePath() : canonical);
    return removeTemporaries(target.absolutePath(), target.fileName());
}

int ZipComponent::removeStaleTemporariesIn(const QString& folder)
{
    return removeTemporaries(QFileInfo(folder).absoluteFilePath(), {});
}
