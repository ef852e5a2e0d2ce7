#include "platform/Panel3D.h"

#include <QMouseEvent>
#include <QPainter>

Panel3D::Panel3D(QWidget* parent) : QWidget(parent) {}

void Panel3D::setCaption(const QString& caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    update();
}

void Panel3D::setFloodType(int type)
{
    if (type == m_floodType)
        return;
    m_floodType = type;
    update();
}

void Panel3D::setFloodPercent(int percent)
{
    percent = qBound(0, percent, 100);
    if (percent == m_floodPercent)
        return;
    m_floodPercent = percent;
    update();
}

void Panel3D::repaintNow()
{
    if (m_lastPaint.isValid() && m_lastPaint.elapsed() < 40) {
        update();
        return;
    }
    repaint();
}

int Panel3D::captionHeight() const
{
    return fontMetrics().height() + 2 * kInset;
}

void Panel3D::paintEvent(QPaintEvent*)
{
    m_lastPaint.start();
    QPainter p(this);
    const QRect r = rect();
    const QPalette& pal = palette();
    p.fillRect(r, pal.window());
    // Sunken bevel: dark on top and left, light on bottom and right.
    p.setPen(pal.color(QPalette::Dark));
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(pal.color(QPalette::Light));
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
    const QRect inner = captionRect();
    if (m_floodType == 1 && m_floodPercent > 0) {
        QRect fill = inner;
        fill.setWidth(inner.width() * m_floodPercent / 100);
        p.fillRect(fill, pal.highlight());
    }
    p.setPen(pal.color(QPalette::WindowText));
    p.setFont(font());
    p.drawText(inner, Qt::AlignCenter | Qt::TextSingleLine,
               fontMetrics().elidedText(m_caption, Qt::ElideMiddle, inner.width()));
}

void Panel3D::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit Click();
}
