// Salvage, finding: which entries of a damaged archive still hold data that tests good, from its central
// directory when that can be read, and by walking its local headers when it cannot.

#include "zip/Decoders.h"
#include "zip/SalvagePlan.h"

#include <QHash>
#include <algorithm>
#include <cstring>

using namespace zipformat;

namespace zipsalvage {
namespace {

constexpr quint32 kLocalSig = 0x04034b50;
constexpr quint32 kCentralSig = 0x02014b50;
constexpr quint32 kDescriptorSig = 0x08074b50;
constexpr quint32 kMax32 = 0xffffffffu;
constexpr qint64 kScanChunk = 1024 * 1024;
// Candidate data descriptors whose CRC does not come out are tried at most this many times an entry, so a
// damaged streamed entry full of look-alikes costs bounded decoding.
constexpr int kMaxDescriptorTries = 32;
// Flags a local header and its central record must share: encrypted, patched data, strong encryption.
constexpr quint16 kMustAgree = 0x0001 | 0x0020 | 0x0040;
// Bytes decoded beyond four times the file's size before salvage stops proving entries.
constexpr qint64 kProofSlack = 64 * 1024 * 1024;

// What a local header says, read on its own.
struct Local
{
    quint64 offset = 0;
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint32 dosTime = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    bool zip64 = false;
    QByteArray rawName;
    QByteArray extra;
    quint64 dataOffset = 0;

    bool streamed() const { return flags & 0x0008; }
    bool encrypted() const { return flags & 0x0001; }
};

QString decodedName(const QByteArray& raw, quint16 flags)
{
    return (flags & 0x0800) ? QString::fromUtf8(raw) : cp437ToUnicode(raw);
}

// Reads the local header at pos; false when it does not fit in the file.
bool readLocal(FileReader& reader, quint64 pos, Local& l)
{
    char h[30];
    if (!reader.read(qint64(pos), h, 30) || get32(h) != kLocalSig)
        return false;
    l.offset = pos;
    l.versionNeeded = get16(h + 4);
    l.flags = get16(h + 6);
    l.method = get16(h + 8);
    l.dosTime = get32(h + 10);
    l.crc = get32(h + 14);
    l.compressedSize = get32(h + 18);
    l.size = get32(h + 22);
    const int nameLen = get16(h + 26);
    const int extraLen = get16(h + 28);
    l.rawName.resize(nameLen);
    l.extra.resize(extraLen);
    if (!reader.read(qint64(pos) + 30, l.rawName.data(), nameLen) ||
        !reader.read(qint64(pos) + 30 + nameLen, l.extra.data(), extraLen))
        return false;
    l.dataOffset = pos + 30 + quint64(nameLen) + quint64(extraLen);
    // The zip64 field of a local header holds the size, then the compressed size.
    for (int at = 0; at + 4 <= extraLen;) {
        const quint16 id = get16(l.extra.constData() + at);
        const int len = get16(l.extra.constData() + at + 2);
        if (at + 4 + len > extraLen)
            break;
        if (id == 0x0001) {
            l.zip64 = true;
            const char* d = l.extra.constData() + at + 4;
            int used = 0;
            if (l.size == kMax32 && used + 8 <= len) {
                l.size = get64(d + used);
                used += 8;
            }
            if (l.compressedSize == kMax32 && used + 8 <= len)
                l.compressedSize = get64(d + used);
        }
        at += 4 + len;
    }
    return true;
}

// Decodes an entry's data to prove it: a zipdecode result, or ZipStructureDamaged when the data would run
// past the end of the file. Every proof of a salvage draws on one budget of bytes decoded, so a hostile file
// of many headers over the same bytes cannot cost a decode of the whole file for each of them; once it is
// spent, nothing more is proven.
int prove(FileReader& reader, qint64& budget, quint64 dataOffset, quint16 method, quint16 flags, quint64 compressedSize,
          quint64 size, quint32 crc)
{
    if (flags & 0x0001)
        return zipdecode::Unsupported;
    if (dataOffset > quint64(reader.size()) || compressedSize > quint64(reader.size()) - dataOffset)
        return ZipStructureDamaged;
    if (qint64(compressedSize) > budget)
        return ZipHeaderDamaged;
    budget -= qint64(compressedSize);
    qint64 at = qint64(dataOffset);
    const zipdecode::ReadFn read = [&](char* dest, qint64 max) -> qint64 {
        if (!reader.read(at, dest, max))
            return -1;
        at += max;
        return max;
    };
    return zipdecode::decodeEntryData(method, flags, read, compressedSize, size, crc, {}, {});
}

// The first position at or after from where the signature lies; -1 when none.
qint64 findSignature(FileReader& reader, quint64 from, quint32 sig)
{
    QByteArray buf;
    for (qint64 at = qint64(from); at + 4 <= reader.size(); at += kScanChunk) {
        const qint64 n = std::min<qint64>(kScanChunk + 3, reader.size() - at);
        buf.resize(n);
        if (!reader.read(at, buf.data(), n))
            return -1;
        for (qint64 i = 0; i + 4 <= n; ++i)
            if (get32(buf.constData() + i) == sig)
                return at + i;
    }
    return -1;
}

bool signatureAt(FileReader& reader, quint64 pos, quint32 sig)
{
    char b[4];
    return reader.read(qint64(pos), b, 4) && get32(b) == sig;
}

// What may follow a complete entry: another entry, the central directory, or the end of the file.
bool plausibleNext(FileReader& reader, quint64 pos)
{
    return pos == quint64(reader.size()) || signatureAt(reader, pos, kLocalSig) ||
           signatureAt(reader, pos, kCentralSig);
}

// The length of the data descriptor at pos for an entry whose sizes are known; it must repeat the CRC.
quint64 descriptorLength(FileReader& reader, quint64 pos, quint32 crc, bool zip64)
{
    char d[8];
    if (!reader.read(qint64(pos), d, 8))
        return 0;
    const quint64 sizes = zip64 ? 16 : 8;
    if (get32(d) == kDescriptorSig && get32(d + 4) == crc)
        return std::min<quint64>(4 + 4 + sizes, quint64(reader.size()) - pos);
    if (get32(d) == crc)
        return std::min<quint64>(4 + sizes, quint64(reader.size()) - pos);
    return 0;
}

enum class Proof
{
    Proven,
    Unprovable, // encrypted or a method we do not decode: needs a central record to vouch for it
    Damaged
};

// A streamed entry whose header holds no sizes: searches for its data descriptor, proven by decoding the
// bytes before it to the CRC-32 and size it names. Fills f on success.
Proof findStreamed(FileReader& reader, qint64& budget, const Local& l, Found& f)
{
    const quint64 start = l.dataOffset;
    const bool unprovable = l.encrypted() || !zipdecode::canDecode(l.method);
    int tries = 0;
    bool haveFallback = false;
    Found fallback;
    QByteArray buf;
    // The search draws on the budget too, by the bytes it passes: many streamed headers without descriptors
    // must not each search the rest of the file. It reads small chunks first, as most entries are small.
    qint64 passed = 0;
    qint64 chunk = 16 * 1024;
    for (qint64 at = qint64(start); at + 12 <= reader.size(); at += chunk, chunk = std::min(2 * chunk, kScanChunk)) {
        budget -= at - qint64(start) - passed;
        passed = at - qint64(start);
        if (budget < 0)
            break;
        const qint64 n = std::min<qint64>(chunk + 23, reader.size() - at);
        buf.resize(n);
        if (!reader.read(at, buf.data(), n))
            return Proof::Damaged;
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
            if (!unprovable && get32(b + 4) == rel)
                cands[count++] = {get32(b), get32(b + 8), 12};
            for (int c = 0; c < count; ++c) {
                const Candidate& k = cands[c];
                const quint64 end = quint64(at + i) + k.len;
                int rc = zipdecode::Unsupported;
                if (!unprovable)
                    rc = prove(reader, budget, start, l.method, l.flags, rel, k.size, k.crc);
                if (rc != zipdecode::Ok && rc != zipdecode::Unsupported) {
                    if (++tries > kMaxDescriptorTries)
                        return haveFallback ? (f = fallback, Proof::Proven) : Proof::Damaged;
                    continue;
                }
                Found g;
                g.crc = k.crc;
                g.compressedSize = rel;
                g.size = k.size;
                g.endOffset = end;
                g.proven = rc == zipdecode::Ok;
                // Proven data followed by what may follow an entry is taken at once; proven data followed by
                // anything else is kept in case nothing better comes.
                if (plausibleNext(reader, end)) {
                    f = g;
                    return g.proven ? Proof::Proven : Proof::Unprovable;
                }
                if (g.proven && !haveFallback) {
                    haveFallback = true;
                    fallback = g;
                }
            }
        }
    }
    if (haveFallback) {
        f = fallback;
        return Proof::Proven;
    }
    return Proof::Damaged;
}

// Reads as many central records as follow one another from pos; every complete one counts.
void readRecords(FileReader& reader, quint64 pos, Archive& out)
{
    out.centralDirectory.clear();
    out.entries.clear();
    while (true) {
        char r[46];
        if (!reader.read(qint64(pos), r, 46) || get32(r) != kCentralSig)
            return;
        const int nameLen = get16(r + 28);
        const int extraLen = get16(r + 30);
        const int commentLen = get16(r + 32);
        const qint64 len = 46 + qint64(nameLen) + extraLen + commentLen;
        QByteArray record(len, Qt::Uninitialized);
        if (!reader.read(qint64(pos), record.data(), len))
            return;
        Entry e;
        e.recordPos = out.centralDirectory.size();
        e.recordLen = int(len);
        e.versionMadeBy = get16(r + 4);
        e.flags = get16(r + 8);
        e.method = get16(r + 10);
        e.crc = get32(r + 16);
        e.compressedSize = get32(r + 20);
        e.size = get32(r + 24);
        quint64 offset = get32(r + 42);
        const char* extra = record.constData() + 46 + nameLen;
        for (int at = 0; at + 4 <= extraLen;) {
            const quint16 id = get16(extra + at);
            const int size = get16(extra + at + 2);
            if (at + 4 + size > extraLen)
                break;
            if (id == 0x0001) {
                const char* d = extra + at + 4;
                int used = 0;
                auto take = [&](quint64& v) {
                    if (v == kMax32 && used + 8 <= size) {
                        v = get64(d + used);
                        used += 8;
                        return true;
                    }
                    return false;
                };
                e.zip64 = true;
                take(e.size);
                take(e.compressedSize);
                if (offset == kMax32 && used + 8 <= size)
                    e.zip64OffsetAt = int(d - record.constData()) + used;
                take(offset);
            }
            at += 4 + size;
        }
        e.localOffset = offset;
        e.rawName = record.mid(46, nameLen);
        e.name = decodedName(e.rawName, e.flags);
        out.centralDirectory.append(record);
        out.entries.push_back(std::move(e));
        pos += quint64(len);
    }
}

// Entries from the archive's own central directory; false when it cannot be read. *headerTrouble tells
// whether some entry was lost to its local header rather than to its data.
bool fromDirectory(FileReader& reader, qint64& budget, Plan& plan, bool* headerTrouble)
{
    *headerTrouble = false;
    Archive archive;
    if (readCentralDirectory(reader, archive) != ZipSuccess)
        return false;
    plan.fromDirectory = true;
    plan.comment = archive.comment;
    for (size_t i = 0; i < archive.entries.size(); ++i) {
        Entry e = archive.entries[i];
        if (checkLocalHeader(reader, archive, e) != ZipSuccess) {
            *headerTrouble = true;
            plan.lost << e.name;
            continue;
        }
        const int rc = prove(reader, budget, e.dataOffset, e.method, e.flags, e.compressedSize, e.size, e.crc);
        if (rc != zipdecode::Ok && rc != zipdecode::Unsupported) {
            plan.lost << e.name;
            continue;
        }
        // What the local header says, for a record rebuilt from it should the directory's own not do.
        Local l;
        if (!readLocal(reader, e.localOffset, l)) {
            plan.lost << e.name;
            continue;
        }
        Found f;
        f.localOffset = e.localOffset;
        f.endOffset = e.endOffset;
        f.rawName = e.rawName;
        f.name = e.name;
        f.versionNeeded = l.versionNeeded;
        f.dosTime = l.dosTime;
        f.localExtra = l.extra;
        f.flags = l.flags;
        f.method = e.method;
        f.crc = e.crc;
        f.compressedSize = e.compressedSize;
        f.size = e.size;
        f.proven = rc == zipdecode::Ok;
        f.record = int(i);
        plan.entries.push_back(std::move(f));
    }
    plan.records = std::move(archive);
    return true;
}

// Entries found by walking local headers from the start of the file.
void fromLocalHeaders(FileReader& reader, qint64& budget, Plan& plan)
{
    plan.fromDirectory = false;
    qint64 pos = findSignature(reader, 0, kLocalSig);
    quint64 lastEnd = 0;
    while (pos >= 0) {
        Local l;
        if (!readLocal(reader, quint64(pos), l))
            break; // a header cut short: nothing of it, and nothing after it
        Found f;
        Proof proof = Proof::Damaged;
        if (l.streamed() && l.compressedSize == 0) {
            proof = findStreamed(reader, budget, l, f);
        } else {
            const int rc = prove(reader, budget, l.dataOffset, l.method, l.flags, l.compressedSize, l.size, l.crc);
            f.crc = l.crc;
            f.compressedSize = l.compressedSize;
            f.size = l.size;
            f.endOffset = l.dataOffset + l.compressedSize;
            if (rc == zipdecode::Ok || rc == zipdecode::Unsupported) {
                proof = rc == zipdecode::Ok ? Proof::Proven : Proof::Unprovable;
                if (l.streamed())
                    f.endOffset += descriptorLength(reader, f.endOffset, l.crc, l.zip64);
            }
        }
        const QString name = decodedName(l.rawName, l.flags);
        if (proof == Proof::Damaged) {
            plan.lost << name;
            // The next entry lies where this one's sizes say when a header is there; otherwise it is searched.
            const quint64 next = l.dataOffset + l.compressedSize;
            if (!l.streamed() && next < quint64(reader.size()) && signatureAt(reader, next, kLocalSig))
                pos = qint64(next);
            else
                pos = findSignature(reader, quint64(pos) + 4, kLocalSig);
            continue;
        }
        f.localOffset = l.offset;
        f.rawName = l.rawName;
        f.name = name;
        f.versionNeeded = l.versionNeeded;
        f.flags = l.flags;
        f.method = l.method;
        f.dosTime = l.dosTime;
        f.localExtra = l.extra;
        f.proven = proof == Proof::Proven;
        lastEnd = f.endOffset;
        plan.entries.push_back(f);
        if (signatureAt(reader, lastEnd, kCentralSig))
            break;
        pos = signatureAt(reader, lastEnd, kLocalSig) ? qint64(lastEnd) : findSignature(reader, lastEnd, kLocalSig);
    }

    // What is left of the central directory vouches for entries and lends them its records.
    const qint64 cd = findSignature(reader, lastEnd, kCentralSig);
    if (cd >= 0)
        readRecords(reader, quint64(cd), plan.records);
    std::vector<bool> used(plan.records.entries.size());
    for (Found& f : plan.entries) {
        for (size_t r = 0; r < used.size(); ++r) {
            const Entry& e = plan.records.entries[r];
            // A record vouches only when it agrees with the local header in everything a reader compares.
            if (!used[r] && e.rawName == f.rawName && e.crc == f.crc && e.compressedSize == f.compressedSize &&
                e.size == f.size && e.method == f.method && !((e.flags ^ f.flags) & kMustAgree)) {
                used[r] = true;
                f.record = int(r);
                break;
            }
        }
    }
    // Entries of the directory that did not come back are lost, unless a damaged header named them already.
    QHash<QString, int> named;
    for (const QString& n : plan.lost)
        ++named[n];
    for (size_t r = 0; r < used.size(); ++r) {
        const QString& n = plan.records.entries[r].name;
        if (used[r])
            continue;
        if (named.value(n) > 0)
            --named[n];
        else
            plan.lost << n;
    }
    // Data that cannot be checked is kept only when a record vouches for it.
    std::vector<Found> kept;
    for (Found& f : plan.entries) {
        if (f.proven || f.record >= 0)
            kept.push_back(std::move(f));
        else
            plan.lost << f.name;
    }
    plan.entries = std::move(kept);
}

} // namespace

bool findEntries(FileReader& reader, Plan& plan)
{
    // Enough for the directory's entries and a walk over them, with room for look-alike descriptors.
    qint64 budget = 4 * reader.size() + kProofSlack;
    bool headerTrouble = false;
    if (fromDirectory(reader, budget, plan, &headerTrouble) && !headerTrouble)
        return true;
    // The directory is missing, or some of its entries are not where it says: the walk may find more.
    Plan walked;
    fromLocalHeaders(reader, budget, walked);
    if (!plan.fromDirectory || walked.entries.size() > plan.entries.size())
        plan = std::move(walked);
    return true;
}

} // namespace zipsalvage
