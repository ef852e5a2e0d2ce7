#include "zip/ListOrder.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// What QString::compare with Qt::CaseInsensitive compares, one value per UTF-16 unit: the case-folded
// character, the whole code point at the low half of a pair. Sorting on it folds each name once, not once
// per comparison, for the same order.
std::u32string foldedKey(const QString& s)
{
    std::u32string key;
    key.reserve(size_t(s.size()));
    char16_t last = 0;
    for (const QChar ch : s) {
        char32_t c = ch.unicode();
        if (ch.isLowSurrogate() && QChar::isHighSurrogate(last))
            c = QChar::surrogateToUcs4(last, ch.unicode());
        last = ch.unicode();
        key.push_back(QChar::toCaseFolded(c));
    }
    return key;
}

} // namespace

QStringList sortedLines(const QStringList& lines)
{
    std::vector<std::u32string> keys;
    keys.reserve(size_t(lines.size()));
    for (const QString& line : lines)
        keys.push_back(foldedKey(line));
    std::vector<qsizetype> order(size_t(lines.size()));
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = qsizetype(i);
    std::stable_sort(order.begin(), order.end(), [&](qsizetype x, qsizetype y) {
        const int c = keys[size_t(x)].compare(keys[size_t(y)]);
        return c != 0 ? c < 0 : lines[x] < lines[y];
    });
    QStringList sorted;
    sorted.reserve(lines.size());
    for (const qsizetype i : order)
        sorted.append(lines[i]);
    return sorted;
}
