#include "platform/FileListBox.h"

#include "platform/ShownName.h"
#include "zip/DiskName.h"
#include "zip/FileOps.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int kNameRole = Qt::UserRole;

// Whether the folder's names can be read and its files looked at.
bool folderReadable(const QString& folder)
{
#ifdef Q_OS_UNIX
    return ::access(diskname::toDisk(folder).constData(), R_OK | X_OK) == 0;
#else
    const QFileInfo info(folder);
    return info.isReadable() && info.isExecutable();
#endif
}

} // namespace

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
        if (!selectedItems().isEmpty())
            emit Click();
    });
}

void FileListBox::setPath(const QString& path)
{
    m_path = path;
    Refresh();
}

void FileListBox::setPattern(const QString& pattern)
{
    m_pattern = pattern;
    Refresh();
}

void FileListBox::Refresh()
{
    QStringList names;
    m_readError.clear();
    if (m_path.isEmpty()) {
        // nothing to show yet
    } else if (!diskname::isFolder(m_path)) {
        m_readError = QStringLiteral("Folder not found: %1").arg(shownName(QDir::toNativeSeparators(m_path)));
    } else if (!folderReadable(m_path)) {
        m_readError = QStringLiteral("Folder cannot be read: %1").arg(shownName(QDir::toNativeSeparators(m_path)));
    } else {
        // Ordinary files only: no folders (nor links to them), no hidden files, no dangling links.
        names = fileops::ordinaryFiles(m_path, m_pattern);
    }
    const QSignalBlocker block(this);
    clear();
    QStringList shown;
    shown.reserve(names.size());
    for (const QString& name : names)
        shown.append(shownName(name));
    addItems(shown);
    for (int i = 0; i < names.size(); ++i)
        item(i)->setData(kNameRole, names[i]);
    setCurrentRow(-1);
}

QString FileListBox::List(int index) const
{
    const QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    return it ? it->text() : QString();
}

QString FileListBox::Name(int index) const
{
    const QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    if (!it)
        return QString();
    // A line put in by hand, not read from the folder, is a plain name: its text is the name.
    const QVariant name = it->data(kNameRole);
    return name.isValid() ? name.toString() : it->text();
}

bool FileListBox::Selected(int index) const
{
    const QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    return it && it->isSelected();
}

void FileListBox::setSelected(int index, bool selected)
{
    QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    if (!it)
        return;
    if (selected) {
        // Selects and makes current in one step. Click runs inside it and may re-read the folder (a quarantine
        // does), so the item must not be touched afterwards.
        // A selection made from code that leaves the view scrolls it a page, the item on top, not a row: a run
        // selects each archive in turn, and moving the view one row per archive costs more than a small
        // archive's test.
        // Hidden, the view keeps its own scroll to the current item for when it is shown.
        const bool shown = isVisible();
        const bool wasAutoScroll = hasAutoScroll();
        setAutoScroll(wasAutoScroll && !shown);
        setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
        setAutoScroll(wasAutoScroll);
        if (shown && isVisible() && index < count()) {
            const QModelIndex at = model()->index(index, 0);
            if (!viewport()->rect().contains(visualRect(at)))
                scrollTo(at, QAbstractItemView::PositionAtTop);
        }
    } else {
        it->setSelected(false);
    }
}

void FileListBox::mouseReleaseEvent(QMouseEvent* event)
{
    QListWidget::mouseReleaseEvent(event);
    emit MouseUp();
}
