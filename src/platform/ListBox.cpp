#include "platform/ListBox.h"

#include "platform/ShownName.h"
#include "zip/ListOrder.h"

namespace {

// The line as added, kept beside the item only where what is shown differs from it.
constexpr int kLineRole = Qt::UserRole;

} // namespace

ListBox::ListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemDoubleClicked, this, [this] { emit DblClick(); });
}

bool ListBox::lessThan(const QString& a, const QString& b)
{
    const int c = QString::compare(a, b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a < b;
}

void ListBox::AddItem(const QString& text)
{
    if (m_pending.isEmpty())
        QMetaObject::invokeMethod(
            this, [this] { flush(); }, Qt::QueuedConnection);
    m_pending.append(text);
}

void ListBox::flush() const
{
    if (m_pending.isEmpty())
        return;
    auto* self = const_cast<ListBox*>(this);
    const QStringList added = sortedLines(m_pending);
    m_pending.clear();
    if (count() == 0) {
        self->fill(added);
        return;
    }
    // Merge with what is shown, keeping the selection of the lines already there.
    QStringList merged;
    QList<bool> selected;
    merged.reserve(count() + added.size());
    int a = 0;
    for (int i = 0; i < count(); ++i) {
        const QString t = Line(i);
        while (a < added.size() && lessThan(added[a], t)) {
            merged.append(added[a++]);
            selected.append(false);
        }
        merged.append(t);
        selected.append(item(i)->isSelected());
    }
    while (a < added.size()) {
        merged.append(added[a++]);
        selected.append(false);
    }
    const QSignalBlocker block(self);
    self->QListWidget::clear();
    self->fill(merged);
    for (int i = 0; i < selected.size(); ++i)
        if (selected[i])
            item(i)->setSelected(true);
}

void ListBox::fill(const QStringList& lines)
{
    QStringList shown;
    shown.reserve(lines.size());
    for (const QString& line : lines)
        shown.append(shownName(line));
    addItems(shown);
    const int first = count() - int(lines.size());
    for (int i = 0; i < lines.size(); ++i)
        if (shown[i] != lines[i])
            item(first + i)->setData(kLineRole, lines[i]);
}

void ListBox::RemoveItem(int index)
{
    flush();
    if (index >= 0 && index < count())
        delete takeItem(index);
}

void ListBox::Clear()
{
    m_pending.clear();
    QListWidget::clear();
}

int ListBox::ListCount() const
{
    flush();
    return count();
}

QString ListBox::List(int index) const
{
    flush();
    const QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    return it ? it->text() : QString();
}

QString ListBox::Line(int index) const
{
    flush();
    const QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    if (!it)
        return QString();
    const QVariant line = it->data(kLineRole);
    return line.isValid() ? line.toString() : it->text();
}

bool ListBox::Selected(int index) const
{
    flush();
    const QListWidgetItem* it = index >= 0 ? item(index) : nullptr;
    return it && it->isSelected();
}

void ListBox::setSelected(int index, bool selected)
{
    flush();
    if (QListWidgetItem* it = index >= 0 ? item(index) : nullptr)
        it->setSelected(selected);
}

int ListBox::ListIndex() const
{
    flush();
    return currentRow();
}
