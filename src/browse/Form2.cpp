#include "browse/Form2.h"

#include "app/Icons.h"
#include "platform/Twips.h"

#include <QEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QStringDecoder>

namespace {

// Code page 437 as the text-mode font draws it: glyphs for the control bytes, box drawing above 0x80.
constexpr char16_t kCp437[256] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, //
    0x25D8, 0x0009, 0x000A, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C, // tab and line feed keep their meaning
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8, //
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC, //
    0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027, //
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F, //
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, //
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F, //
    0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047, //
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F, //
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057, //
    0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F, //
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, //
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F, //
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077, //
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x2302, //
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, //
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, //
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, //
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, //
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, //
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, //
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, //
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, //
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, //
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, //
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, //
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, //
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, //
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, //
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, //
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0, //
};

// Length of a trailing UTF-8 sequence that the end of the bytes cuts short (0 when none is).
int cutSequenceLength(const QByteArray& bytes)
{
    const int n = int(bytes.size());
    for (int back = 1; back <= 4 && back <= n; ++back) {
        const uchar c = uchar(bytes[n - back]);
        if ((c & 0xC0) == 0x80)
            continue; // continuation byte: look further back for the lead byte
        const int need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? back : 0;
    }
    return 0;
}

QFont terminalFont()
{
    QFont font(QStringLiteral("Terminal"), 9);
    if (!QFontDatabase::families().contains(font.family(), Qt::CaseInsensitive)) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(9);
    }
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace

Form2::Form2(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowIcon(programIcon());
    resize(twips(this, 9825), twips(this, 5730));
    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twipsRect(this, 0, 15, 9825, 5700));
    Text1->setFont(terminalFont());
    Text1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The text is never saved, so typing into it would only mislead; selecting and copying still work.
    Text1->setReadOnly(true);
    Text1->setUndoRedoEnabled(false);
    Text1->viewport()->installEventFilter(this);
}

void Form2::Form_Resize()
{
    // The text box fills the client area to its right and bottom edges. Frames and title bars differ from one
    // window manager to the next and are not known before the first show, so the client size is the measure,
    // not the outer size less a fixed frame. A tiny window leaves an empty box, not a negative one.
    Text1->resize(qMax(0, width() - Text1->x()), qMax(0, height() - Text1->y()));
}

void Form2::Text1_DblClick()
{
    if (windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen))
        showNormal();
    else
        showMaximized();
}

void Form2::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Form2::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_placed)
        return;
    m_placed = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - frameGeometry().center() + pos());
    Form_Resize();
}

bool Form2::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Text1->viewport() && event->type() == QEvent::MouseButtonDblClick)
        Text1_DblClick();
    return QWidget::eventFilter(watched, event);
}

QChar Form2::cp437(uchar byte)
{
    return QChar(kCp437[byte]);
}

QString Form2::convertText(QByteArray bytes, bool cutShort)
{
    bytes.removeIf([](char c) { return c == '\r'; });
    // Bytes cut off in the middle of a character must not turn a UTF-8 text into code page 437.
    if (cutShort)
        bytes.chop(cutSequenceLength(bytes));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) {
        text.resize(bytes.size());
        QChar* out = text.data();
        for (const char c : std::as_const(bytes))
            *out++ = cp437(uchar(c));
        return text;
    }
    // Control characters other than tab and line feed show as the text-mode glyphs, as in code page 437.
    for (QChar& c : text)
        if (c.unicode() < 0x20)
            c = cp437(uchar(c.unicode()));
    return text;
}
