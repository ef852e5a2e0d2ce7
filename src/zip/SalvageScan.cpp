// Salvage, finding: which entries of a damaged archive still hold data that tests good, walking its local
// headers and taking names and attributes from the central records that agree with what the data proves.

#include "zip/Decoders.h"
#include "zip/SalvagePlan.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <cstring>
#include <unordered_map>

using namespace zipformat;

namespace zipsalvage {
namespace {

constexpr qint64 kScanChunk = 1024 * 1024;
// Candidate data descriptors whose CRC does not come out are tried at most this many times an entry, so a
// damaged streamed entry full of look-alikes costs bounded decoding.
constexpr int kMaxDescriptorTries = 32;
// Bytes decoded beyond four times the file's size before salvage stops proving entries.
constexpr qint64 kProofSlack = 64 * 1024 * 1024;
// Central records of one name tried as witnesses of a local header's data.
constexpr int kMaxWitnesses = 4;

// Finds signatures going forward through the file, reading each byte once however often it is asked.
class Scanner
{
public:
    Scanner(FileReader& reader, quint32 sig) : m_reader(reader), m_sig(sig) {}
    // The first position at or after from where the signature lies; -1 when none.
    qint64 next(quint64 from)
    {
        qint64 at = qint64(std::min<quint64>(from, quint64(m_reader.size())));
        while (at + 4 <= m_reader.size()) {
            if (at < m_start || at + 4 > m_start + m_buf.size()) {
                const qint64 n = std::min<qint64>(kScanChunk + 3, m_reader.size() - at);
                m_buf.resize(n);
                if (!m_reader.read(at, m_buf.data(), n))
                    return -1;
                m_start = at;
            }
            const char* b = m_buf.constData();
            const qint64 end = m_start + m_buf.size() - 3;
            for (qint64 i = at; i < end; ++i)
                if (get32(b + (i - m_start)) == m_sig)
                    return i;
            at = end;
        }
        return -1;
    }

private:
    FileReader& m_reader;
    quint32 m_sig;
    QByteArray m_buf;
    qint64 m_start = 0;
};

// A local header as read on its own.
struct Local
{
    quint64 offset = 0;
    HeaderFields h;
    QByteArray rawName;
    QByteArray extra;
    quint64 dataOffset = 0;
    bool zip64 = false;

    bool streamed() const { return h.flags & kFlagDescriptor; }
};

// A central record found in the file, with where it says its local header is when it is the directory's.
struct Record
{
    HeaderFields h;
    QByteArray rawName;
    QByteArray extra;
    QByteArray comment;
    qint64 localOffset = -1; // known for the records of the directory the reader takes
    bool used = false;
};

QString decodedName(const QByteArray& raw, quint16 flags)
{
    return entryName(raw, flags, nullptr, 0);
}

// A name damaged in a byte or two: the local header's copy of a name whose central record is sound.
bool nearName(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    int differ = 0;
    for (qsizetype i = 0; i < a.size() && differ <= 2; ++i)
        differ += a[i] != b[i];
    return differ <= 2;
}

// A name a header of a real entry can have: not empty, no control characters.
bool plausibleName(const QByteArray& raw)
{
    return !raw.isEmpty() && std::none_of(raw.begin(), raw.end(), [](char c) { return quint8(c) < 0x20; });
}

QByteArray dataKeyText(const QByteArray& name, quint32 crc, quint64 compressedSize, quint64 size)
{
    return name + '\0' + QByteArray::number(crc) + ':' + QByteArray::number(compressedSize) + ':' +
           QByteArray::number(size);
}

bool readLocal(FileReader& reader, quint64 pos, Local& l)
{
    char h[kLocalHeaderSize];
    if (!reader.read(qint64(pos), h, kLocalHeaderSize) || !parseLocalFixed(h, l.h))
        return false;
    l.offset = pos;
    l.rawName.resize(l.h.nameLen);
    l.extra.resize(l.h.extraLen);
    if (!reader.read(qint64(pos) + kLocalHeaderSize, l.rawName.data(), l.h.nameLen) ||
        !reader.read(qint64(pos) + kLocalHeaderSize + l.h.nameLen, l.extra.data(), l.h.extraLen))
        return false;
    l.dataOffset = pos + kLocalHeaderSize + quint64(l.h.nameLen) + quint64(l.h.extraLen);
    l.zip64 = readZip64(l.extra.constData(), l.extra.size(), false, l.h) != Zip64::Absent;
    return true;
}

// Reads as many central records as follow one another from pos; returns where the last one ends.
quint64 readRecords(FileReader& reader, quint64 pos, std::vector<Record>& out)
{
    while (true) {
        char r[kCentralHeaderSize];
        Record rec;
        if (!reader.read(qint64(pos), r, kCentralHeaderSize) || !parseCentralFixed(r, rec.h))
            return pos;
        const qint64 len = kCentralHeaderSize + rec.h.variableLen();
        QByteArray rest(len - kCentralHeaderSize, Qt::Uninitialized);
        if (!reader.read(qint64(pos) + kCentralHeaderSize, rest.data(), rest.size()))
            return pos;
        rec.rawName = rest.left(rec.h.nameLen);
        rec.extra = rest.mid(rec.h.nameLen, rec.h.extraLen);
        rec.comment = rest.mid(rec.h.nameLen + rec.h.extraLen);
        if (readZip64(rec.extra.constData(), rec.extra.size(), true, rec.h) == Zip64::Incomplete)
            rec.h.size = rec.h.compressedSize = kMax32; // values the record does not hold: it proves nothing
        out.push_back(std::move(rec));
        pos += quint64(len);
    }
}

// What proves an entry's data: the values a header gives it.
struct Claim
{
    quint16 method = 0;
    quint16 flags = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;

    bool operator==(const Claim&) const = default;
};

class Finder
{
public:
    Finder(FileReader& reader, Plan& plan, Poll& poll)
        : m_reader(reader), m_plan(plan), m_poll(poll), m_budget(4 * reader.size() + kProofSlack)
    {
    }
    bool run();

private:
    FileReader& m_reader;
    Plan& m_plan;
    Poll& m_poll;
    qint64 m_budget;
    std::vector<Record> m_records;
    QMultiHash<QByteArray, int> m_byName;
    QHash<qint64, int> m_byOffset;
    std::unordered_multimap<quint64, int> m_byData;
    QSet<QByteArray> m_taken; // name, CRC-32 and sizes of the entries taken
    // How many central records have each folder and each extension: where a local header and a record name
    // the same proven data differently, the name that fits the other records is the one a flip did not hit.
    // Both names are measured without the record itself, and the top folder proves nothing (nearly every
    // archive has names there), so a tie, the usual case, leaves the record's name.
    QHash<QByteArray, int> m_folders;
    QHash<QByteArray, int> m_extensions;
    static QByteArray folderOf(const QByteArray& name)
    {
        return name.left(std::max<qsizetype>(name.lastIndexOf('/'), 0));
    }
    static QByteArray extensionOf(const QByteArray& name)
    {
        const qsizetype dot = name.lastIndexOf('.');
        return dot > name.lastIndexOf('/') ? name.mid(dot) : QByteArray();
    }
    int fit(const QByteArray& name, const QByteArray& record) const
    {
        const QByteArray folder = folderOf(name);
        const QByteArray extension = extensionOf(name);
        int score = 0;
        if (!folder.isEmpty())
            score += m_folders.value(folder) - (folder == folderOf(record) ? 1 : 0);
        if (!extension.isEmpty())
            score += m_extensions.value(extension) - (extension == extensionOf(record) ? 1 : 0);
        return score;
    }
    bool m_ownOnly = true; // every entry taken so far is where the directory the reader takes says

    quint64 fileSize() const { return quint64(m_reader.size()); }
    static quint64 dataKey(quint32 crc, quint64 compressedSize, quint64 size)
    {
        return crc ^ (compressedSize * 0x9e3779b97f4a7c15ull) ^ (size * 0xc2b2ae3d27d4eb4full);
    }
    void collectRecords();
    int prove(quint64 dataOffset, const Claim& c);
    bool fits(quint64 dataOffset, quint64 compressedSize) const
    {
        return dataOffset <= fileSize() && compressedSize <= fileSize() - dataOffset;
    }
    int provenWitness(const Local& l, Claim& proven, quint64& end);
    bool findStreamed(const Local& l, Claim& proven, quint64& end);
    int recordFor(const Local& l, const Claim& c) const;
    int voucherFor(const Local& l) const;
    void take(const Local& l, const Claim& c, quint64 end, int record, bool proven, bool localName = false);
    bool plausibleNext(quint64 pos)
    {
        char b[4];
        return pos == fileSize() ||
               (m_reader.read(qint64(pos), b, 4) && (get32(b) == kLocalSig || get32(b) == kCentralSig));
    }
};

void Finder::collectRecords()
{
    Archive dir;
    quint64 dirStart = 0, dirEnd = 0;
    if (readCentralDirectory(m_reader, dir) == ZipSuccess) {
        m_plan.comment = dir.comment;
        dirStart = dir.centralDirectoryOffset;
        dirEnd = dirStart + dir.centralDirectorySize;
        readRecords(m_reader, dirStart, m_records);
        for (size_t i = 0; i < m_records.size() && i < dir.entries.size(); ++i)
            m_records[i].localOffset = qint64(dir.entries[i].localOffset);
    } else {
        m_ownOnly = false;
    }
    // Records elsewhere: the rest of a cut directory, another archive's.
    Scanner scan(m_reader, kCentralSig);
    for (qint64 at = scan.next(0); at >= 0;) {
        if (m_poll.stop())
            return;
        if (quint64(at) >= dirStart && quint64(at) < dirEnd) {
            at = scan.next(dirEnd);
            continue;
        }
        const quint64 end = readRecords(m_reader, quint64(at), m_records);
        at = scan.next(std::max(end, quint64(at) + 4));
    }
    for (size_t i = 0; i < m_records.size(); ++i) {
        const Record& r = m_records[i];
        m_byName.insert(r.rawName, int(i));
        m_byData.emplace(dataKey(r.h.crc, r.h.compressedSize, r.h.size), int(i));
        if (r.localOffset >= 0)
            m_byOffset.insert(r.localOffset, int(i));
        ++m_folders[folderOf(r.rawName)];
        if (const QByteArray extension = extensionOf(r.rawName); !extension.isEmpty())
            ++m_extensions[extension];
    }
}

// Decodes an entry's data to prove it: a zipdecode result, or ZipStructureDamaged when the data would run
// past the end of the file. Every proof draws on one budget of bytes decoded, so a hostile file of many
// headers over the same bytes cannot cost a decode of the whole file for each of them.
int Finder::prove(quint64 dataOffset, const Claim& c)
{
    if (c.flags & kFlagEncrypted)
        return zipdecode::Unsupported;
    if (!fits(dataOffset, c.compressedSize))
        return ZipStructureDamaged;
    if (qint64(c.compressedSize) > m_budget)
        return ZipHeaderDamaged;
    m_budget -= qint64(c.compressedSize);
    qint64 at = qint64(dataOffset);
    const zipdecode::ReadFn read = [&](char* dest, qint64 max) -> qint64 {
        if (!m_reader.read(at, dest, max))
            return -1;
        at += max;
        return max;
    };
    const zipdecode::ProgressFn progress = [this](qint64) { return !m_poll.stop(); };
    return zipdecode::decodeEntryData(c.method, c.flags, read, c.compressedSize, c.size, c.crc, {}, progress);
}

// A streamed entry whose header holds no sizes: searches for its data descriptor, proven by decoding the
// bytes before it to the CRC-32 and size it names.
bool Finder::findStreamed(const Local& l, Claim& proven, quint64& end)
{
    const quint64 start = l.dataOffset;
    if (l.h.flags & kFlagEncrypted || !zipdecode::canDecode(l.h.method) || start > fileSize())
        return false;
    int tries = 0;
    QByteArray buf;
    // The search draws on the budget too, by the bytes it passes: many streamed headers without descriptors
    // must not each search the rest of the file. It reads small chunks first, as most entries are small.
    qint64 chunk = 16 * 1024;
    for (qint64 at = qint64(start); at + 12 <= m_reader.size(); at += chunk, chunk = std::min(2 * chunk, kScanChunk)) {
        m_budget -= chunk;
        if (m_budget < 0 || m_poll.stop())
            return false;
        const qint64 n = std::min<qint64>(chunk + 23, m_reader.size() - at);
        buf.resize(n);
        if (!m_reader.read(at, buf.data(), n))
            return false;
        for (qint64 i = 0; i < std::min<qint64>(n - 11, chunk); ++i) {
            const char* b = buf.constData() + i;
            const quint64 rel = quint64(at + i) - start;
            struct Candidate
            {
                quint32 crc;
                quint64 size;
                quint64 len;
            };
            Candidate cands[3];
            int count = 0;
            const bool sig = get32(b) == kDescriptorSig;
            if (sig && n - i >= 16 && get32(b + 8) == rel)
                cands[count++] = {get32(b + 4), get32(b + 12), 16};
            if (sig && n - i >= 24 && get64(b + 8) == rel)
                cands[count++] = {get32(b + 4), get64(b + 16), 24};
            if (get32(b + 4) == rel)
                cands[count++] = {get32(b), get32(b + 8), 12};
            for (int c = 0; c < count; ++c) {
                const Claim claim{l.h.method, l.h.flags, cands[c].crc, rel, cands[c].size};
                if (prove(start, claim) == zipdecode::Ok) {
                    proven = claim;
                    end = quint64(at + i) + cands[c].len;
                    return true;
                }
                if (++tries > kMaxDescriptorTries)
                    return false;
            }
        }
    }
    return false;
}

// Proves the local header's data with the values of a witness: its own header, the directory's record at
// its offset, records of its name. Returns a zipdecode result; fills proven and end on Ok.
int Finder::provenWitness(const Local& l, Claim& proven, quint64& end)
{
    Claim tried[2 + kMaxWitnesses];
    int count = 0;
    if (!l.streamed() || l.h.compressedSize != 0 || l.h.size != 0)
        tried[count++] = {l.h.method, l.h.flags, l.h.crc, l.h.compressedSize, l.h.size};
    auto add = [&](int r) {
        const HeaderFields& h = m_records[size_t(r)].h;
        const Claim c{h.method, h.flags, h.crc, h.compressedSize, h.size};
        if (std::find(tried, tried + count, c) == tried + count)
            tried[count++] = c;
    };
    if (const auto it = m_byOffset.constFind(qint64(l.offset)); it != m_byOffset.constEnd())
        add(it.value());
    int named = 0;
    for (auto it = m_byName.constFind(l.rawName); it != m_byName.constEnd() && it.key() == l.rawName; ++it)
        if (!m_records[size_t(it.value())].used && named++ < kMaxWitnesses && count < 2 + kMaxWitnesses)
            add(it.value());
    int result = ZipHeaderDamaged;
    for (int i = 0; i < count; ++i) {
        const int rc = prove(l.dataOffset, tried[i]);
        if (rc == zipdecode::Ok) {
            proven = tried[i];
            end = l.dataOffset + tried[i].compressedSize;
            return rc;
        }
        if (rc == zipdecode::Aborted)
            return rc;
        if (rc == zipdecode::Unsupported)
            result = rc;
    }
    if (l.streamed() && findStreamed(l, proven, end))
        return zipdecode::Ok;
    return result;
}

// The central record that names proven data: one whose CRC-32, sizes and method are the data's, of the
// local header's name first, then the directory's record at its offset, then any.
int Finder::recordFor(const Local& l, const Claim& c) const
{
    int best = -1;
    int bestRank = 4;
    const auto range = m_byData.equal_range(dataKey(c.crc, c.compressedSize, c.size));
    for (auto it = range.first; it != range.second; ++it) {
        const Record& r = m_records[size_t(it->second)];
        if (r.used || r.h.crc != c.crc || r.h.compressedSize != c.compressedSize || r.h.size != c.size ||
            r.h.method != c.method || ((r.h.flags ^ c.flags) & flagsThatMustAgree(c.method)) || r.rawName.isEmpty())
            continue;
        const bool here = r.localOffset == qint64(l.offset);
        const int rank = r.rawName == l.rawName ? (here ? 0 : 1) : here ? 2 : nearName(r.rawName, l.rawName) ? 3 : 4;
        if (rank < bestRank) {
            best = it->second;
            bestRank = rank;
        }
    }
    return best;
}

// The central record that vouches for data that cannot be checked: it agrees with the local header in
// everything a reader compares.
int Finder::voucherFor(const Local& l) const
{
    for (auto it = m_byName.constFind(l.rawName); it != m_byName.constEnd() && it.key() == l.rawName; ++it) {
        const Record& r = m_records[size_t(it.value())];
        if (!r.used && r.h.crc == l.h.crc && r.h.compressedSize == l.h.compressedSize && r.h.size == l.h.size &&
            r.h.method == l.h.method && !((r.h.flags ^ l.h.flags) & flagsThatMustAgree(l.h.method)))
            return it.value();
    }
    return -1;
}

void Finder::take(const Local& l, const Claim& c, quint64 end, int record, bool proven, bool localName)
{
    Found f;
    f.localOffset = l.offset;
    f.dataOffset = l.dataOffset;
    f.endOffset = end;
    f.proven = proven;
    const Record* r = record >= 0 ? &m_records[size_t(record)] : nullptr;
    const bool fromRecord = r && !localName;
    f.rawName = fromRecord ? r->rawName : l.rawName;
    const quint16 nameFlags = (fromRecord ? r->h.flags : l.h.flags) & kFlagUtf8;
    const QByteArray& extra = fromRecord ? r->extra : l.extra;
    f.name = entryName(f.rawName, nameFlags, extra.constData(), extra.size());
    HeaderFields& h = f.fields;
    h.method = c.method;
    h.crc = c.crc;
    h.compressedSize = c.compressedSize;
    h.size = c.size;
    h.dosTime = r ? r->h.dosTime : l.h.dosTime;
    if (proven) {
        h.flags = quint16((c.flags & flagsToKeep(c.method) & ~kFlagUtf8) | nameFlags);
        h.versionNeeded = versionNeededFor(c.method, f.rawName);
        f.localExtra = sanitisedExtra(l.extra.constData(), l.extra.size(), f.rawName);
    } else {
        h.flags = l.h.flags; // copied with its header: the record must say what the header says
        h.versionNeeded = l.h.versionNeeded;
    }
    h.versionMadeBy = r ? r->h.versionMadeBy : 0;
    h.internalAttributes = r ? r->h.internalAttributes : 0;
    h.externalAttributes = r ? r->h.externalAttributes : 0;
    if (!r && (f.rawName.endsWith('/') || f.rawName.endsWith('\\')))
        h.externalAttributes = 0x10;
    f.centralExtra = sanitisedExtra(extra.constData(), extra.size(), f.rawName);
    if (r) {
        f.comment = r->comment;
        m_records[size_t(record)].used = true;
        f.ownRecord = r->localOffset == qint64(l.offset);
    }
    m_ownOnly = m_ownOnly && f.ownRecord;
    m_taken.insert(dataKeyText(f.rawName, c.crc, c.compressedSize, c.size));
    m_plan.entries.push_back(std::move(f));
}

bool Finder::run()
{
    collectRecords();
    Scanner scan(m_reader, kLocalSig);
    for (qint64 pos = scan.next(0); pos >= 0;) {
        if (m_poll.stop())
            return false;
        Local l;
        if (!readLocal(m_reader, quint64(pos), l)) {
            pos = scan.next(quint64(pos) + 4);
            continue;
        }
        // Headers draw on the budget too: look-alikes a few bytes apart, each naming 64 KiB, must not cost
        // a read of 64 KiB per byte of the file.
        m_budget -= qint64(l.dataOffset - l.offset);
        if (m_budget < 0)
            break;
        Claim c;
        quint64 end = 0;
        const int rc = provenWitness(l, c, end);
        if (rc == zipdecode::Aborted || m_poll.stopped())
            return false;
        if (rc == zipdecode::Ok) {
            // Proven data is one entry, whatever lies inside it; a copy of an entry taken already stays out.
            const int record = recordFor(l, c);
            // Two witnesses that disagree on the name: the one that fits the other names better is the one a
            // flip did not hit. Where neither does, nothing tells them apart: the entry is lost, never misnamed.
            const QByteArray* recordName = record >= 0 ? &m_records[size_t(record)].rawName : nullptr;
            const int localFit = recordName && *recordName != l.rawName ? fit(l.rawName, *recordName) : 0;
            const int recordFit = recordName && *recordName != l.rawName ? fit(*recordName, *recordName) : 0;
            const bool localName = !recordName || localFit > recordFit;
            const QByteArray& name = localName ? l.rawName : *recordName;
            if (c == Claim{l.h.method, l.h.flags, l.h.crc, l.h.compressedSize, l.h.size} && l.streamed()) {
                char d[24];
                const quint64 room = std::min<quint64>(fileSize() - end, sizeof d);
                if (m_reader.read(qint64(end), d, qint64(room)))
                    end += descriptorLength(d, room, c.crc, c.compressedSize, l.zip64);
            }
            // An empty entry proves nothing about its header: alone, it needs what may follow an entry after it.
            const bool sound = record >= 0 || (plausibleName(name) && (c.compressedSize > 0 || plausibleNext(end)));
            if (recordName && *recordName != l.rawName && localFit == recordFit)
                m_plan.addLost(decodedName(*recordName, m_records[size_t(record)].h.flags));
            else if (sound && !m_taken.contains(dataKeyText(name, c.crc, c.compressedSize, c.size)))
                take(l, c, end, record, true, localName);
            pos = scan.next(end);
            continue;
        }
        const int voucher = rc == zipdecode::Unsupported ? voucherFor(l) : -1;
        if (voucher >= 0 && fits(l.dataOffset, l.h.compressedSize)) {
            end = l.dataOffset + l.h.compressedSize;
            if (l.streamed()) {
                char d[24];
                const quint64 room = std::min<quint64>(fileSize() - end, sizeof d);
                if (m_reader.read(qint64(end), d, qint64(room)))
                    end += descriptorLength(d, room, l.h.crc, l.h.compressedSize, l.zip64);
            }
            take(l, {l.h.method, l.h.flags, l.h.crc, l.h.compressedSize, l.h.size}, end, voucher, false);
            pos = scan.next(end);
            continue;
        }
        m_plan.addLost(decodedName(l.rawName, l.h.flags));
        // A damaged stored entry whose data starts with a local header holds another archive: its entries
        // are not this archive's.
        char sig[4];
        if (l.h.method == 0 && !l.streamed() && m_reader.read(qint64(l.dataOffset), sig, 4) &&
            get32(sig) == kLocalSig && l.h.compressedSize > 0) {
            pos = scan.next(fits(l.dataOffset, l.h.compressedSize) ? l.dataOffset + l.h.compressedSize : fileSize());
            continue;
        }
        pos = scan.next(quint64(pos) + 4);
    }

    // Records that named nothing that came back are lost entries, unless a damaged header named them already.
    QSet<QString> named(m_plan.lost.begin(), m_plan.lost.end());
    for (const Record& r : m_records)
        if (!r.used && !r.rawName.isEmpty() && !named.contains(decodedName(r.rawName, r.h.flags)))
            m_plan.addLost(decodedName(r.rawName, r.h.flags));
    // A name that came back is not lost, whichever copy of it was damaged.
    QSet<QString> recovered;
    for (const Found& f : m_plan.entries)
        recovered.insert(f.name);
    m_plan.lost.removeIf([&](const QString& n) { return recovered.contains(n); });
    m_plan.lost.removeDuplicates();
    m_plan.fromDirectory = m_ownOnly && !m_plan.entries.empty();
    return true;
}

} // namespace

quint64 Found::writtenSize() const
{
    return proven ? quint64(newLocalHeader().size()) + fields.compressedSize : endOffset - localOffset;
}

QByteArray Found::newLocalHeader() const
{
    if (!proven)
        return {};
    return writeLocalHeader(fields, rawName, localExtra);
}

bool Poll::stop()
{
    if (m_stopped)
        return true;
    // The first call asks at once: a run aborted before salvage starts never waits for it.
    if (m_clock.isValid() && m_clock.elapsed() < 10)
        return false;
    m_clock.start();
    if (m_control.progress)
        m_control.progress();
    m_stopped = m_control.aborted && m_control.aborted();
    return m_stopped;
}

void Plan::addLost(const QString& name)
{
    if (lost.size() < kMaxLostNames && lostChars + name.size() <= kMaxLostChars) {
        lost << name;
        lostChars += name.size();
    } else
        ++lostLeftOut;
}

bool findEntries(FileReader& reader, Plan& plan, Poll& poll)
{
    Finder finder(reader, plan, poll);
    return finder.run();
}

} // namespace zipsalvage
