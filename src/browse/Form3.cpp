#include "browse/Form3.h"

#include "app/Icons.h"
#include "platform/Twips.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

Form3::Form3(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QString());
    // Window systems put the application's name on a window whose title is empty; a blank title shows as
    // the empty caption it is.
    create();
    windowHandle()->setTitle(QStringLiteral(" "));
    setFixedSize(twips(this, 7200), twips(this, 5370));

    auto place = [this](QLabel* l, const char* name, int left, int top, int width, int height) {
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(twipsRect(this, left, top, width, height));
    };

    Image1 = new QLabel(this);
    place(Image1, "Image1", 360, 360, 480, 480);
    Image1->setPixmap(programIcon().pixmap(twips(this, 480), twips(this, 480)));

    Label1 = new QLabel(QStringLiteral("Tamsorel"), this);
    place(Label1, "Label1", 1080, 240, 5760, 1080);
    Label1->setFont(decorativeFont(36));

    Label2 = new QLabel(QStringLiteral("v1.18"), this);
    place(Label2, "Label2", 1110, 1380, 2400, 360);
    QFont version = font();
    version.setPointSize(12);
    version.setBold(true);
    Label2->setFont(version);

    Label3 = new QLabel(QStringLiteral("Written by the Tamsorel authors. Free to use and to share."), this);
    place(Label3, "Label3", 360, 4680, 6480, 360);

    for (QLabel* l : {Label1, Label2, Label3})
        l->setStyleSheet(QStringLiteral("color: #f4ecd8; background: transparent;"));
}

void Form3::paintEvent(QPaintEvent*)
{
    // The background picture: a dusk sky over a stack of archives held shut by zippers.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    QLinearGradient sky(r.topLeft(), r.bottomLeft());
    sky.setColorAt(0.0, QColor(24, 30, 64));
    sky.setColorAt(0.6, QColor(88, 58, 110));
    sky.setColorAt(1.0, QColor(190, 110, 70));
    p.fillRect(r, sky);

    // A lightning stroke, for the thunder that plays while the box is shown.
    QPainterPath bolt;
    const qreal w = r.width();
    const qreal h = r.height();
    bolt.moveTo(w * 0.78, 0);
    bolt.lineTo(w * 0.70, h * 0.30);
    bolt.lineTo(w * 0.76, h * 0.30);
    bolt.lineTo(w * 0.66, h * 0.62);
    bolt.lineTo(w * 0.80, h * 0.24);
    bolt.lineTo(w * 0.74, h * 0.24);
    bolt.lineTo(w * 0.84, 0);
    bolt.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 236, 140, 200));
    p.drawPath(bolt);

    // Three archives, each a box with a zipper down its middle.
    const qreal unit = h / 12;
    for (int i = 0; i < 3; ++i) {
        const QRectF box(w * 0.08 + i * unit * 0.6, h * 0.50 + i * unit * 1.2, w * 0.42, unit * 1.1);
        p.setPen(QPen(QColor(120, 90, 20), 1.5));
        p.setBrush(QColor(230, 190, 80));
        p.drawRoundedRect(box, 4, 4);
        p.setPen(QPen(QColor(70, 70, 70), 2));
        for (qreal x = box.left() + 6; x < box.right() - 6; x += 6)
            p.drawLine(QPointF(x, box.center().y() - 3), QPointF(x, box.center().y() + 3));
    }
}
