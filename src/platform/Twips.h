#pragma once
// Geometry is given in twips (1/1440 inch): 15 twips make one pixel at 96 dpi; scale with the screen.

#include <QRect>
#include <QWidget>

inline int twips(const QWidget* w, int t)
{
    const int dpi = w ? w->logicalDpiX() : 96;
    return qRound(t * dpi / 1440.0);
}

inline QRect twipsRect(const QWidget* w, int left, int top, int width, int height)
{
    return QRect(twips(w, left), twips(w, top), twips(w, width), twips(w, height));
}

inline int pixelsToTwips(const QWidget* w, int px)
{
    const int dpi = w ? w->logicalDpiX() : 96;
    return qRound(px * 1440.0 / dpi);
}
