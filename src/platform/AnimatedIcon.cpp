#include "platform/AnimatedIcon.h"

#include <QPainter>

AnimatedIcon::AnimatedIcon(QWidget* parent) : QWidget(parent)
{
    m_timer.setInterval(90);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_frame = (m_frame + 1) % 12;
        update();
    });
}

void AnimatedIcon::paintEvent(QPaintEvent*)
{
    // A zipper pull going round: twelve spokes, the current one dark.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c = QRectF(rect()).center();
    const qreal radius = qMin(width(), height()) / 2.0 - 2;
    for (int i = 0; i < 12; ++i) {
        const int age = (m_frame - i + 12) % 12;
        QColor color = palette().color(QPalette::WindowText);
        color.setAlpha(255 - age * 18);
        p.setPen(QPen(color, 3, Qt::SolidLine, Qt::RoundCap));
        p.save();
        p.translate(c);
        p.rotate(i * 30);
        p.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius));
        p.restore();
    }
}

void AnimatedIcon::showEvent(QShowEvent*)
{
    m_timer.start();
}

void AnimatedIcon::hideEvent(QHideEvent*)
{
    m_timer.stop();
}
