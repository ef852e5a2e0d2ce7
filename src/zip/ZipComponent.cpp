#include "zip/ZipComponent.h"

#include "zip/ZipJob.h"

#include <QDir>
#include <QFileInfo>

namespace zipjob {

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

} // namespace zipjob

using zipjob::pendingFiles;

ZipComponent::ZipComponent(QObject* parent) : QObject(parent) {}

qint16 ZipComponent::ListContents()
{
    ZipJob job(*this);
    const int rc = job.list();
    if (rc != ZipSuccess)
        m_directoryHash.clear();
    return qint16(rc);
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

qint16 ZipComponent::RewriteEntries(const QStringList& deleteMasks, const QString& addFile, const ArchiveStamp* judged,
                                    ArchiveStamp* produced, QByteArray* producedHash)
{
    ZipJob job(*this);
    return qint16(job.replace(deleteMasks, addFile, judged, produced, producedHash));
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
        diskname::removeFile(path);
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
    int removed = 0;
    for (const QString& name : diskname::entries(folder)) {
        const QString path = folder + u'/' + name;
        if (!isRewriteTemporary(name, archiveName) || diskname::isLink(path) || !diskname::isFile(path) ||
            pendingFiles().contains(path))
            continue;
        if (diskname::removeFile(path))
            ++removed;
    }
    return removed;
}

} // namespace

int ZipComponent::removeStaleTemporaries(const QString& archivePath)
{
    // The temporary file sits beside the file actually rewritten: a link's target, when it resolves.
    const QFileInfo link(diskname::absolute(archivePath));
    const QString canonical = diskname::canonical(archivePath);
    const QFileInfo target(canonical.isEmpty() ? link.absoluteFilePath() : canonical);
    // A link out of the folder is never rewritten, so nothing of ours lies beside its target: nothing
    // outside the folder is removed.
    if (target.absolutePath() != diskname::canonical(link.absolutePath()))
        return 0;
    return removeTemporaries(target.absolutePath(), target.fileName());
}

int ZipComponent::removeStaleTemporariesIn(const QString& folder)
{
    return removeTemporaries(diskname::absolute(folder), {});
}
