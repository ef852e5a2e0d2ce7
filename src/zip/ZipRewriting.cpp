// ZipComponent, rewriting: DeleteEntries, AddEntries and RewriteEntries copy the kept entries into a
// temporary file with a new central directory and put it in place of the archive when complete.

#include "zip/ZipJob.h"
#include "zip/ZipRecords.h"

#include <QDateTime>
#include <algorithm>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <unistd.h>
#endif

using namespace zipformat;
using namespace zipjob;

namespace {

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

} // namespace

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

int ZipJob::rewrite(const std::vector<bool>& drop, const NewEntry* added, const ArchiveStamp* judged,
                    ArchiveStamp* produced, QByteArray* producedHash)
{
    // Rewrite the file a link points to, so that the link itself stays; but only in the archive's own folder:
    // nothing is made or renamed in a folder the run was not given.
    const QString target = diskname::canonical(m_path);
    const QFileInfo targetInfo(target);
    if (target.isEmpty() ||
        targetInfo.absolutePath() != diskname::canonical(QFileInfo(diskname::absolute(m_path)).absolutePath()))
        return ZipLinkOutside;
    // The file read here must be the one that was judged, and still be the one under its name when the
    // rewrite replaces it: an archive replaced meanwhile is never purged untested.
    const int original = m_reader.file().handle();
    const ArchiveStamp opened = ArchiveStamp::ofOpen(original, target);
    if (!opened.valid() || (judged && *judged != opened))
        return ZipArchiveChanged;
    // The new file would take this name only: the archive's other names would keep the old file.
    if (ArchiveStamp::linkCount(original, target) > 1)
        return ZipHardLinked;
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
    // Bytes behind the archive's end record (another archive's, padding) stay behind the new one; the end
    // record search reaches at most 64 KiB back, so they are few.
    QByteArray behind(
        qsizetype(quint64(m_archive.fileSize) - std::min<quint64>(m_archive.archiveEnd, m_archive.fileSize)),
        Qt::Uninitialized);
    if (!m_reader.read(m_archive.fileSize - behind.size(), behind.data(), behind.size()))
        return ZipCannotRead;
    m_total = qint64(outPos) + (added ? added->local.size() : 0);

    TempFile temp(targetInfo.absolutePath(), targetInfo.fileName(), TempFile::Rewrite);
    if (!temp.isOpen())
        return ZipCannotWrite;
    if (!temp.keepOwnerAndAttributes(original))
        return ZipOwnerNotKept;
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
    QByteArray lastBytes; // the last bytes written before the end records
    auto flushCentral = [&] {
        lastBytes = (lastBytes + central.right(20)).right(20);
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
    // An emptied archive has no local header to tell a reader where its ZIP data starts: its offset counts
    // the prefix, so it reads as a valid empty archive without any shift.
    const quint64 endShift = count == 0 ? 0 : shift;
    if (count == 0 && centralAt >= 20) {
        lastBytes.resize(20); // the end of the prefix, copied as it was
        if (!m_reader.read(qint64(centralAt) - 20, lastBytes.data(), 20))
            return ZipCannotRead;
    }
    central = endRecords(count, centralAt - endShift, centralSize, m_archive.comment, m_archive.disk,
                         looksLikeLocator(lastBytes));
    if (!temp.write(central.constData(), central.size()) || !temp.write(behind.constData(), behind.size()))
        return ZipCannotWrite;
    // Bytes kept behind the end record may hold end records of their own; the new file must still read as the
    // archive just written, or a reader would take another one from it. Such a file is left as it was. The
    // hash of the new directory comes from the same reading, so it is the one a listing of the file makes.
    QByteArray newHash;
    if (!behind.isEmpty() || producedHash) {
        if (!temp.file().flush())
            return ZipCannotWrite;
        FileReader check;
        Archive written;
        if (!check.open(temp.path()) || readCentralDirectory(check, written) != ZipSuccess ||
            written.entries.size() != count || written.archiveEnd != quint64(check.size() - behind.size()))
            return ZipOtherError;
        if (producedHash && (newHash = directoryHashOf(check, written)).isEmpty())
            return ZipCannotRead;
    }
    if (!point())
        return ZipAborted;
#ifdef Q_OS_WIN
    m_reader.file().close(); // an open file cannot be replaced there
#endif
    // An abort heard while the new file goes to disk still leaves the archive as it was.
    ArchiveStamp newStamp;
    const int rc = temp.replace(target, original, opened,
                                m_hook ? std::function<bool()>([this] { return point(); }) : nullptr, &newStamp);
    m_reader.file().close();
    if (rc != ZipSuccess)
        return m_aborted ? ZipAborted : rc;
    if (produced)
        *produced = newStamp;
    if (producedHash)
        *producedHash = newHash;
    finish();
    return ZipSuccess;
}

// Adding is a replacement of every entry of the file's name by the file.
int ZipJob::add()
{
    if (m_maskRaw.isEmpty())
        return ZipAddFileMissing;
    return replace({}, m_maskRaw);
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
        const quint32 mode = 0100000 | zipjob::unixMode(source.permissions());
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

    HeaderFields h;
    h.versionNeeded = 20;
    h.flags = n.flags;
    h.method = 8;
    h.dosTime = n.dosTime;
    h.crc = n.crc;
    h.compressedSize = n.compressedSize;
    h.size = n.size;
    n.local = writeLocalHeader(h, n.name, {});
    n.local.append(packed);

    return ZipSuccess;
}

int ZipJob::replace(const QStringList& masks, const QString& addFile, const ArchiveStamp* judged,
                    ArchiveStamp* produced, QByteArray* producedHash)
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
    return rewrite(drop, addKept ? &n : nullptr, judged, produced, producedHash);
}
