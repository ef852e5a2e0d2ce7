#include "zip/ShownText.h"

#include "zip/DiskName.h"

#include <QDir>
#include <QFile>

namespace shown {

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

QString escapedControls(const QString& text)
{
    // A byte of a name that is not UTF-8 (carried as U+DC80..U+DCFF) is shown as the byte it is, too.
    const auto escaped = [&](qsizetype i) {
        const char16_t c = text[i].unicode();
        return isControl(c) || (c >= 0xdc80 && c <= 0xdcff && !(i > 0 && text[i - 1].isHighSurrogate()));
    };
    qsizetype i = 0;
    while (i < text.size() && !escaped(i))
        ++i;
    if (i == text.size())
        return text;
    QString out = text.left(i);
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (!escaped(i)) {
            out += c;
            continue;
        }
        for (const char byte : diskname::toDisk(QString(c)))
            out += QStringLiteral("\\x%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace shown

QString escapedName(const QByteArray& bytes)
{
    QString shown;
    for (qsizetype i = 0; i < bytes.size();) {
        // The longest prefix that is valid UTF-8 is kept as it is; a byte that starts none is escaped.
        qsizetype length = 1;
        const uchar lead = uchar(bytes[i]);
        if (lead >= 0xc2 && lead <= 0xdf)
            length = 2;
        else if (lead >= 0xe0 && lead <= 0xef)
            length = 3;
        else if (lead >= 0xf0 && lead <= 0xf4)
            length = 4;
        const QByteArray piece = bytes.mid(i, length);
        if (lead < 0x80 && !shown::isControl(lead) && lead != '\\') {
            shown += QLatin1Char(char(lead));
        } else if (length > 1 && piece.size() == length && nameRoundTrips(piece) &&
                   !shown::isControl(QString::fromUtf8(piece).toUcs4().value(0))) {
            shown += QString::fromUtf8(piece);
            i += length;
            continue;
        } else {
            shown += QStringLiteral("\\x%1").arg(lead, 2, 16, QLatin1Char('0'));
        }
        ++i;
    }
    return shown;
}

QString shownPath(const QString& path)
{
    return escapedName(diskname::toDisk(QDir::toNativeSeparators(path)));
}

bool nameRoundTrips(const QByteArray& bytes)
{
    return QFile::encodeName(QFile::decodeName(bytes)) == bytes;
}

QString consoleText(const QString& line)
{
    return shown::escapedControls(line.split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char(' ')));
}
