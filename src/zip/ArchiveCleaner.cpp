#include "zip/ArchiveCleaner.h"

#include "zip/VerdictCache.h"
#include "zip/ZipFormat.h"

#include <QFileInfo>
#include <QHash>
#include <QScopeGuard>
#include <QSet>
#include <algorithm>
#include <chrono>

const QString ArchiveCleaner::kDescription = QStringLiteral("file_id.diz");

bool CleanPlan::removes(int line) const
{
    const auto at =
        std::lower_bound(removals.cbegin(), removals.cend(), line, [](const Removal& r, int l) { return r.line < l; });
    return at != removals.cend() && at->line == line;
}

ArchiveCleaner::ArchiveCleaner(ZipComponent& zip, QString path) : m_zip(zip), m_path(std::move(path)) {}

ArchiveListing ArchiveCleaner::list()
{
    return read(false, false);
}

ArchiveListing ArchiveCleaner::listDirectory()
{
    return read(true, true);
}

ArchiveListing ArchiveCleaner::list(const FolderVerdicts* verdicts)
{
    if (!verdicts)
        return list();
    if (const VerdictRow* row = verdicts->row(m_path)) {
        ArchiveListing quick = listDirectory();
        if (quick.result == ZipAborted)
            return quick;
        if (quick.result == ZipSuccess && quick.stamp.valid() &&
            verdictMayStand(*row, verdicts->observed(m_path, quick.stamp, quick.directoryHash, quick.testedNs),
                            verdicts->policy, verdicts->dueForRetest(m_path))) {
            quick.fromCache = true;
            quick.testedNs = row->testedNs;
            return quick;
        }
    }
    return read(false, true);
}

ArchiveListing ArchiveCleaner::read(bool directoryOnly, bool hash)
{
    ArchiveListing listing;
    listing.path = m_path;
    listing.stamp = ArchiveStamp::of(m_path);
    listing.testedNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    m_zip.DirectoryOnly = directoryOnly;
    m_zip.HashDirectory = hash;
    const auto reset = qScopeGuard([this] {
        m_zip.DirectoryOnly = false;
        m_zip.HashDirectory = false;
    });
    m_zip.AlternateMode = false;
    m_zip.EntryMask = QStringLiteral("*.*");
    m_zip.ArchivePath = m_path;
    const QMetaObject::Connection names = QObject::connect(
        &m_zip, &ZipComponent::Listing, &m_zip, [&listing](const QString& name) { listing.names << name; },
        Qt::DirectConnection);
    listing.result = m_zip.ListContents();
    listing.directoryHash = m_zip.directoryHash();
    QObject::disconnect(names);
    if (ArchiveStamp::of(m_path) != listing.stamp)
        listing.stamp = {};
    return listing;
}

bool ArchiveCleaner::isDoubleZip(const QStringList& names)
{
    int count = 0;
    for (const QString& n : names)
        if (n.size() == kDescription.size() && n.toLower() == kDescription && ++count > 1)
            return true;
    return false;
}

namespace {

bool hasWildcard(const QString& text)
{
    return text.contains(u'*') || text.contains(u'?');
}

} // namespace

CleanPlan ArchiveCleaner::plan(const QStringList& lines, const QStringList& names, const QString& repairFile,
                               const RowFinder& rowFor)
{
    CleanPlan p;
    p.repairFile = repairFile;

    // The archive's names as the pass goes, lower-cased, with how many entries carry each.
    QHash<QString, int> current;
    current.reserve(names.size() + 1);
    for (const QString& n : names)
        ++current[n.toLower()];
    if (!repairFile.isEmpty()) {
        const QString added = QFileInfo(repairFile).fileName();
        for (auto it = current.begin(); it != current.end();)
            it = it.key().compare(added, Qt::CaseInsensitive) == 0 ? current.erase(it) : std::next(it);
        ++current[added.toLower()];
    }

    QSet<QString> masks;
    for (qsizetype k = 0; k < lines.size(); ++k) {
        const QString& line = lines[k];
        const QString row = line.isEmpty() ? QString() : rowFor(line);
        if (row.isNull())
            continue;
        const QString mask = row.toLower();
        if (hasWildcard(row)) {
            // As a mask the row may take other entries too; then it removes nothing.
            bool onlyItself = true;
            for (auto it = current.cbegin(); onlyItself && it != current.cend(); ++it)
                onlyItself = !zipformat::maskMatches(mask, it.key()) || it.key() == mask;
            if (!onlyItself) {
                p.refusals.push_back({int(k), row});
                continue;
            }
            for (auto it = current.begin(); it != current.end();)
                it = zipformat::maskMatches(mask, it.key()) ? current.erase(it) : std::next(it);
        } else {
            current.remove(mask);
        }
        p.removals.push_back({int(k), row});
        if (!masks.contains(row)) {
            masks.insert(row);
            p.masks << row;
        }
    }
    return p;
}

qint16 ArchiveCleaner::rewrite(const CleanPlan& plan, qint16* addBack, const ArchiveStamp* judged,
                               ArchiveStamp* produced, QByteArray* producedHash)
{
    *addBack = ZipSuccess;
    if (produced)
        *produced = {};
    if (producedHash)
        producedHash->clear();
    if (!plan.changes())
        return ZipSuccess;
    m_zip.AlternateMode = false;
    m_zip.ArchivePath = m_path;
    const qint16 rc = m_zip.RewriteEntries(plan.masks, plan.repairFile, judged, produced, producedHash);
    if (plan.repairFile.isEmpty())
        return rc;
    *addBack = rc;
    if (rc == ZipSuccess || ZipComponent::isDamage(rc) || rc == ZipAborted || rc == ZipArchiveChanged ||
        plan.masks.isEmpty())
        return rc;
    m_zip.ArchivePath = m_path;
    return m_zip.RewriteEntries(plan.masks, {}, judged, produced, producedHash);
}
