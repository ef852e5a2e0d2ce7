#include "platform/DirListBox.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>

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
    const QString p = normalizedFolder(QFileInfo(path).absoluteFilePath());
    if (path.isEmpty() || !QFileInfo(p).isDir())
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
    QStringList chain;
    QDir d(m_path);
    chain.prepend(d.absolutePath());
    while (!d.isRoot() && d.cdUp())
        chain.prepend(d.absolutePath());
    int depth = 0;
    for (const QString& folder : chain) {
        const QString label = QDir(folder).isRoot() ? QDir::toNativeSeparators(folder) : QFileInfo(folder).fileName();
        auto* it = new QListWidgetItem(QString(depth * 2, QLatin1Char(' ')) + QStringLiteral("\u25BE ") + label, this);
        it->setData(Qt::UserRole, folder);
        ++depth;
    }
    setCurrentRow(count() - 1);
    const QFileInfoList subs =
        QDir(m_path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& fi : subs) {
        auto* it =
            new QListWidgetItem(QString(depth * 2, QLatin1Char(' ')) + QStringLiteral("\u25B8 ") + fi.fileName(), this);
        it->setData(Qt::UserRole, fi.absoluteFilePath());
    }
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
