// The verdict cache's rules: when a cached verdict may stand, the keys of a folder's rows, the row a file
// makes, and the share of the rolling re-test.

#include "zip/DiskName.h"
#include "zip/VerdictCache.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace {

constexpr qint64 kNsPerDay = qint64(86400) * 1000000000;

} // namespace

bool verdictMayStand(const VerdictRow& cached, const VerdictRow& seen, const CachePolicy& policy, bool dueForRetest)
{
    if (dueForRetest)
        return false;
    // Another version may judge differently (a decoder fixed since, a new rule): it reads everything once.
    if (cached.version != seen.version || cached.verdict != QLatin1String("clean"))
        return false;
    // The same file: every field that a rewrite, a copy, a replacement or an edit in place changes.
    if (cached.folder != seen.folder || cached.name != seen.name || cached.device != seen.device ||
        cached.inode != seen.inode || cached.size != seen.size || cached.modifiedNs != seen.modifiedNs ||
        cached.changedNs != seen.changedNs)
        return false;
    if (cached.directoryHash.isEmpty() || cached.directoryHash != seen.directoryHash)
        return false;
    // Half a day of slack on the safe side: a daily run that starts a little earlier than the one that tested
    // the archive still reads it on the last day of the period, not one run later.
    const qint64 age = policy.nowNs - cached.testedNs;
    return age >= 0 && age < qint64(policy.retestAfterDays) * kNsPerDay - kNsPerDay / 2;
}

QByteArray FolderVerdicts::folderKey(const QString& folder)
{
    const QString canonical = diskname::canonical(folder);
    return diskname::toDisk(canonical.isEmpty() ? diskname::absolute(folder) : canonical);
}

QByteArray FolderVerdicts::nameKey(const QString& path)
{
    return diskname::toDisk(QFileInfo(path).fileName());
}

const VerdictRow* FolderVerdicts::row(const QString& path) const
{
    const auto it = rows.constFind(nameKey(path));
    return it == rows.cend() ? nullptr : &*it;
}

VerdictRow FolderVerdicts::observed(const QString& path, const ArchiveStamp& stamp, const QByteArray& directoryHash,
                                    qint64 testedNs) const
{
    VerdictRow r;
    r.folder = folder;
    r.name = nameKey(path);
    r.device = stamp.device;
    r.inode = stamp.inode;
    r.size = stamp.size;
    r.modifiedNs = stamp.modifiedNs;
    r.changedNs = stamp.changedNs;
    r.directoryHash = directoryHash;
    r.verdict = QStringLiteral("clean");
    r.testedNs = testedNs;
    r.version = QStringLiteral(TAMSOREL_VERSION);
    return r;
}

int FolderVerdicts::retestShare(qsizetype n, int retestAfterDays, qint64 sinceLastRunNs, double* credit)
{
    const double days = double(std::max(1, retestAfterDays));
    const double elapsedDays = double(std::max<qint64>(0, sinceLastRunNs)) / double(kNsPerDay);
    // More than the folder holds is no use: a folder not run for months is re-read whole, once.
    *credit = std::min(double(n), std::max(0.0, *credit) + double(n) * elapsedDays / days);
    const int share = int(*credit);
    *credit -= share;
    return share;
}
