#include "platform/DirListBox.h"

#include "platform/ListBox.h"
#include "platform/ShownName.h"
#include "zip/DiskName.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <algorithm>

namespace {

// The folder above, by the path's text alone: Qt's own step up asks the disk under another name.
QString parentFolder(const QString& folder)
{
    return normalizedFolder(QFileInfo(folder).path());
}

QString inFolder(const QString& folder, const QString& name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

} // namespace

QString normalizedFolder(const QString& path)
{
    QString p = QDir::cleanPath(QDir::fromNativeSeparators(path));
    if (p.isEmpty())
        return p;
    return QDir(p).isRoot() && !p.endsWith(QLatin1Char('/')) ? p + QLatin1Char('/') : p;
}

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::itemActivated, this, &DirListBox::open);
}

bool DirListBox::setPath(const QString& path)
{
    const QString p = normalizedFolder(diskname::absolute(path));
    if (path.isEmpty() || !diskname::isFolder(p))
        return false;
    if (p == m_path)
        return true;
    m_path = p;
    Refresh();
    emit Change();
    return true;
}

void DirListBox::Refresh()
{
    clear();
    if (m_path.isEmpty())
        return;
    QStringList chain{m_path};
    for (QString up = parentFolder(m_path); up != chain.first(); up = parentFolder(up))
        chain.prepend(up);
    int depth = 0;
    for (const QString& folder : chain) {
        const QString label = QDir(folder).isRoot() ? shownName(QDir::toNativeSeparators(folder))
                                                    : shownName(QFileInfo(folder).fileName());
        auto* it = new QListWidgetItem(QString(depth * 2, QLatin1Char(' ')) + QStringLiteral("\u25BE ") + label, this);
        it->setData(Qt::UserRole, folder);
        ++depth;
    }
    setCurrentRow(count() - 1);
    // Subfolders (links to folders too), not hidden ones, in the sorted list box's order.
    QStringList subs;
    for (const QString& name : diskname::entries(m_path))
        if (!name.startsWith(QLatin1Char('.')) && diskname::isFolder(inFolder(m_path, name)))
            subs.append(name);
    std::sort(subs.begin(), subs.end(), ListBox::lessThan);
    for (const QString& name : subs) {
        auto* it = new QListWidgetItem(
            QString(depth * 2, QLatin1Char(' ')) + QStringLiteral("\u25B8 ") + shownName(name), this);
        it->setData(Qt::UserRole, inFolder(m_path, name));
    }
}

QString DirListBox::Folder(int index) const
{
    const QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    return it ? it->data(Qt::UserRole).toString() : QString();
}

void DirListBox::open(QListWidgetItem* item)
{
    if (item)
        setPath(item->data(Qt::UserRole).toString());
}

void DirListBox::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        open(currentItem());
        return;
    }
    QListWidget::keyPressEvent(event);
}
