#include "app/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QIcon programIcon()
{
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(230, 190, 80));
    p.setPen(QPen(QColor(120, 90, 20), 1.5));
    p.drawRoundedRect(QRectF(2, 7, 28, 22), 3, 3);
    p.drawRoundedRect(QRectF(2, 4, 12, 6), 2, 2);
    p.setPen(QPen(QColor(60, 60, 60), 2));
    for (int y = 10; y < 28; y += 3)
        p.drawLine(QPointF(14, y), QPointF(18, y));
    p.setBrush(QColor(90, 90, 90));
    p.drawRect(QRectF(13, 24, 6, 5));
    return QIcon(pm);
}

QIcon cleanAllIcon()
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 70, 20), 2));
    p.drawLine(QPointF(13, 1), QPointF(7, 9));
    QPainterPath bristles;
    bristles.moveTo(5, 8);
    bristles.lineTo(9, 11);
    bristles.lineTo(5, 15);
    bristles.lineTo(1, 12);
    bristles.closeSubpath();
    p.setPen(QPen(QColor(150, 120, 30), 1));
    p.setBrush(QColor(220, 190, 70));
    p.drawPath(bristles);
    return QIcon(pm);
}
