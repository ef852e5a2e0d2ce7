#include "platform/FocusLook.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QGuiApplication>

namespace {

void applyLook(QAbstractItemView* list, bool focused)
{
    const QWidget* parent = list->parentWidget();
    QPalette palette = parent ? parent->palette() : QGuiApplication::palette();
    if (!focused) {
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            palette.setColor(group, QPalette::Highlight, palette.color(group, QPalette::Window).darker(125));
            palette.setColor(group, QPalette::HighlightedText, palette.color(group, QPalette::Text));
        }
    }
    list->setPalette(palette);
}

class FocusLook : public QObject
{
public:
    explicit FocusLook(QAbstractItemView* list) : QObject(list), m_list(list) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_list && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
            applyLook(m_list, event->type() == QEvent::FocusIn);
        return false;
    }

private:
    QAbstractItemView* m_list;
};

} // namespace

void showFocusOnSelection(QAbstractItemView* list)
{
    list->installEventFilter(new FocusLook(list));
    applyLook(list, list->hasFocus());
}
