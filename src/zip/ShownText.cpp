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
    // Bytes that are not UTF-8 and control characters come out as \xNN from escapedControls; a backslash is
    // escaped too, so that what is shown reads back as one set of bytes.
    QString carried = diskname::fromDisk(bytes);
    carried.replace(QLatin1Char('\\'), QLatin1String("\\x5c"));
    return shown::escapedControls(carried);
}

QString shownPath(const QString& path)
{
    return escapedName(diskname::toDisk(QDir::toNativeSeparators(path)));
}

QString consoleText(const QString& line)
{
    return shown::escapedControls(line.split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char(' ')));
}
