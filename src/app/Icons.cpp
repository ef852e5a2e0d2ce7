#include "app/Icons.h"

#include <QFontInfo>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <initializer_list>

namespace {

// Each picture is drawn on a grid of `design` units and rendered at every size the window may ask for, so
// that it stays sharp on a scaled screen instead of being blown up from one small bitmap.
template <typename Draw> QIcon renderedIcon(int design, std::initializer_list<int> sizes, Draw draw)
{
    QIcon icon;
    for (const int size : sizes) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(qreal(size) / design, qreal(size) / design);
        draw(p);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

} // namespace

QIcon programIcon()
{
    return renderedIcon(32, {16, 24, 32, 48, 64, 96, 128}, [](QPainter& p) {
        p.setBrush(QColor(230, 190, 80));
        p.setPen(QPen(QColor(120, 90, 20), 1.5));
        p.drawRoundedRect(QRectF(2, 7, 28, 22), 3, 3);
        p.drawRoundedRect(QRectF(2, 4, 12, 6), 2, 2);
        p.setPen(QPen(QColor(60, 60, 60), 2));
        for (int y = 10; y < 28; y += 3)
            p.drawLine(QPointF(14, y), QPointF(18, y));
        p.setBrush(QColor(90, 90, 90));
        p.drawRect(QRectF(13, 24, 6, 5));
    });
}

QIcon cleanAllIcon()
{
    return renderedIcon(16, {7, 8, 9, 10, 11, 12, 14, 16, 20, 24, 32, 48}, [](QPainter& p) {
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
    });
}

QFont decorativeFont(qreal pointSize)
{
    static const char* const faces[] = {"Chaucer", "Z003", "URW Chancery L", "URW Bookman", "URW Bookman L", "C059"};
    QFont font;
    font.setStyleHint(QFont::Serif);
    font.setFamily(QStringLiteral("serif"));
    for (const char* face : faces) {
        // The font database names families with their foundry ("Z003 [urw]"); what a face resolves to tells
        // whether it is there.
        const QFont candidate{QLatin1String(face)};
        if (QFontInfo(candidate).family().startsWith(QLatin1String(face), Qt::CaseInsensitive)) {
            font.setFamily(QLatin1String(face));
            break;
        }
    }
    font.setPointSizeF(pointSize);
    font.setItalic(true);
    return font;
}
