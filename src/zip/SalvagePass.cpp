#include "zip/SalvagePass.h"

#include "zip/DiskName.h"

#include "zip/RunReport.h"
#include "zip/Salvage.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace {

// Long lists of lost names are cut: the report holds them all.
constexpr int kNamesShown = 10;

// leftOut: names that were not kept at all, counted with the rest.
QString namesText(const QStringList& names, qint64 leftOut = 0)
{
    QString text = names.mid(0, kNamesShown).join(QStringLiteral(", "));
    const qint64 more = std::max<qint64>(names.size() - kNamesShown, 0) + leftOut;
    if (more > 0)
        text += QStringLiteral(" and %1 more").arg(more);
    return text;
}

QString entries(qsizetype n)
{
    return n == 1 ? QStringLiteral("1 entry") : QStringLiteral("%1 entries").arg(n);
}

} // namespace

QString SalvagePass::lineFor(const QString& path, const zipsalvage::Report& r, bool dryRun)
{
    using zipsalvage::Status;
    const QString shown = QDir::toNativeSeparators(path);
    const QString target = QFileInfo(zipsalvage::salvagedPath(path)).fileName();
    QString text;
    if (r.status == Status::Written || r.status == Status::WouldWrite) {
        text = QStringLiteral("%1: %2 %3, %4 bytes, into %5")
                   .arg(shown, dryRun ? QStringLiteral("would salvage") : QStringLiteral("salvaged"),
                        entries(r.recovered.size()))
                   .arg(r.bytesRecovered)
                   .arg(target);
        if (!r.unproven.isEmpty())
            text +=
                QStringLiteral("; %1 unproven (not checkable): %2").arg(r.unproven.size()).arg(namesText(r.unproven));
    } else {
        text = QStringLiteral("%1: not salvaged: %2").arg(shown, QLatin1String(zipsalvage::statusText(r.status)));
        if (r.status == Status::TargetExists)
            text += QStringLiteral(" (%1)").arg(target);
    }
    if (!r.lost.isEmpty())
        text +=
            QStringLiteral("; %1 lost: %2").arg(r.lost.size() + r.lostLeftOut).arg(namesText(r.lost, r.lostLeftOut));
    // A dry run's lines are what the run would do, on stdout with the others; a run's are notes on stderr.
    return dryRun ? text : QStringLiteral("tamsorel: ") + text;
}

QString SalvagePass::afterQuarantine(const QString& path)
{
    const bool dryRun = m_report.dryRun;
    const QString damaged = dryRun ? path : path + QStringLiteral(".bad");
    if (!diskname::isFile(damaged))
        return {}; // the rename did not happen (a read-only drive): nothing was quarantined
    m_done.insert(diskname::absolute(path + QStringLiteral(".bad")));
    if (m_aborted)
        return {};
    const zipsalvage::Report r = zipsalvage::salvage(damaged, zipsalvage::salvagedPath(damaged), dryRun, m_control);
    m_aborted = r.status == zipsalvage::Status::Aborted;
    m_report.salvaged(r, zipsalvage::salvagedPath(damaged));
    return lineFor(damaged, r, dryRun);
}

QStringList SalvagePass::earlierQuarantines(const QString& folder)
{
    const bool dryRun = m_report.dryRun;
    QStringList lines;
    const QString absolute = diskname::absolute(folder);
    // Older quarantined files moved aside for a newer one (NAME.zip.bad.1, .2, ...) are quarantined archives
    // too; their salvaged copies (NAME.zip.bad.1.salvaged.zip) are not.
    static const QRegularExpression movedAside(QStringLiteral("\\.zip\\.bad(\\.[0-9]+)?$"),
                                               QRegularExpression::CaseInsensitiveOption);
    QStringList names = diskname::entries(absolute);
    names.sort();
    for (const QString& name : std::as_const(names)) {
        const QString path = (absolute.endsWith(u'/') ? absolute : absolute + u'/') + name;
        if (name.startsWith(u'.') || !movedAside.match(diskname::matchable(name)).hasMatch() || !diskname::isFile(path))
            continue;
        const QString target = zipsalvage::salvagedPath(path);
        if (m_done.contains(path) || diskname::exists(target))
            continue;
        m_aborted = m_aborted || (m_control.aborted && m_control.aborted());
        if (m_aborted)
            break;
        const zipsalvage::Report r = zipsalvage::salvage(path, target, dryRun, m_control);
        m_aborted = r.status == zipsalvage::Status::Aborted;
        m_report.salvagedEarlier(path, r, target);
        lines << lineFor(path, r, dryRun);
    }
    return lines;
}
