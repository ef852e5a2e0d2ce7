#include "platform/ShownName.h"

#include "zip/DiskName.h"
#include "zip/ShownText.h"

namespace {

bool plain(const QString& carried)
{
    for (const QChar c : carried)
        if (shown::isControl(c.unicode()))
            return false;
    return diskname::isUtf8(carried);
}

} // namespace

QString shownName(const QString& carried)
{
    return plain(carried) ? carried : shownPath(carried);
}

QString shownText(const QString& text)
{
    if (diskname::isUtf8(text))
        return text;
    // Only a carried byte changes: it becomes the \xNN the command line prints for it.
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QString one = text.mid(i, QChar::isHighSurrogate(text[i].unicode()) ? 2 : 1);
        if (diskname::isUtf8(one)) {
            out += one;
            i += one.size() - 1;
            continue;
        }
        out += QStringLiteral("\\x%1").arg(uint(uchar(diskname::toDisk(one).at(0))), 2, 16, QLatin1Char('0'));
    }
    return out;
}
