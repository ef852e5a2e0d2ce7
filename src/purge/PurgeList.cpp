#include "purge/PurgeList.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <utility>

namespace {

// UTF-8 as the list is stored; the decoder drops a byte-order mark that a Windows editor may put first.
QString decode(const QByteArray& bytes)
{
    QStringDecoder toUnicode(QStringDecoder::Utf8);
    return toUnicode(bytes);
}

// Calls f(QStringView) for each line: CR LF, CR and LF each end a line; the last line needs no end.
template <typename F> void forEachLine(QStringView text, F&& f)
{
    const qsizetype n = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c != u'\r' && c != u'\n')
            continue;
        f(text.sliced(start, i - start));
        if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        f(text.sliced(start));
}

bool readFile(const QString& path, QByteArray* bytes)
{
    if (QFileInfo(path).isDir())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

} // namespace

PurgeList::PurgeList(QString programFolder) : m_programFolder(std::move(programFolder)) {}

QString PurgeList::listPath() const
{
    return m_programFolder + QStringLiteral("/purge.txt");
}

QString PurgeList::stagingPath() const
{
    return m_programFolder + QStringLiteral("/purge.bak");
}

bool PurgeList::exists() const
{
    const QFileInfo info(listPath());
    return info.exists() && info.isFile() && !info.isHidden();
}

QStringList PurgeList::splitLines(const QByteArray& bytes)
{
    QStringList lines;
    const QString text = decode(bytes);
    forEachLine(text, [&](QStringView line) { lines.append(line.toString()); });
    return lines;
}

bool PurgeList::load(const std::function<void()>& pump)
{
    m_rows.clear();
    m_usable = 0;
    m_firstRow.clear();
    m_nextSame.clear();

    QByteArray bytes;
    if (!readFile(listPath(), &bytes))
        return false;
    const QString text = decode(bytes);
    bytes = QByteArray();

    qsizetype lineCount = 0;
    forEachLine(text, [&](QStringView) { ++lineCount; });
    m_rows.reserve(lineCount);
    forEachLine(text, [&](QStringView line) {
        m_rows.append(line.toString());
        if (pump)
            pump();
    });

    while (m_usable < m_rows.size() && !m_rows[m_usable].isEmpty())
        ++m_usable;

    // Lookup over the usable rows only, so its answers are those of the walk that stops at the first
    // empty row. Rows with the same lower case are chained in row order for matchRow().
    m_firstRow.reserve(m_usable);
    m_nextSame.fill(0, m_usable);
    QHash<QString, int> lastRow;
    for (int j = 1; j <= m_usable; ++j) {
        const QString key = m_rows[j - 1].toLower();
        auto first = m_firstRow.find(key);
        if (first == m_firstRow.end()) {
            m_firstRow.insert(key, j);
            continue;
        }
        // Only case variants of an earlier row get here, which is rare; keep their chain ends aside.
        auto last = lastRow.find(key);
        int prev = last == lastRow.end() ? first.value() : last.value();
        m_nextSame[prev - 1] = j;
        lastRow.insert(key, j);
    }
    return true;
}

int PurgeList::rowCount() const
{
    return m_usable;
}

int PurgeList::loadedLineCount() const
{
    return int(m_rows.size());
}

QString PurgeList::row(int j) const
{
    if (j < 1 || j > m_rows.size())
        return QStringLiteral("");
    return m_rows[j - 1];
}

int PurgeList::matchRow(const QString& entryName, int fromRow) const
{
    const auto first = m_firstRow.constFind(entryName.toLower());
    if (first == m_firstRow.constEnd())
        return 0;
    int j = first.value();
    while (j != 0 && j < fromRow)
        j = m_nextSame[j - 1];
    return j;
}

int PurgeList::matchRowByWalk(const QString& entryName, int fromRow) const
{
    const QString name = entryName.toLower();
    for (int j = qMax(fromRow, 1); j <= m_usable; ++j) {
        if (m_rows[j - 1].toLower() == name)
            return j;
    }
    return 0;
}

QString PurgeList::match(const QString& entryName) const
{
    const int j = matchRow(entryName);
    return j == 0 ? QString() : m_rows[j - 1];
}

QString PurgeList::matchByWalk(const QString& entryName) const
{
    const int j = matchRowByWalk(entryName);
    return j == 0 ? QString() : m_rows[j - 1];
}

bool PurgeList::isListed(const QString& name) const
{
    QByteArray bytes;
    if (!readFile(listPath(), &bytes))
        return false;
    const QString text = decode(bytes);
    bool found = false;
    forEachLine(text, [&](QStringView line) {
        if (!found && line == name)
            found = true;
    });
    return found;
}

PurgeAppend::PurgeAppend(const PurgeList& list) : m_listPath(list.listPath()), m_stagingPath(list.stagingPath()) {}

bool PurgeAppend::fail(const QString& path, const QString& reason)
{
    m_error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), reason);
    return false;
}

QString PurgeAppend::errorString() const
{
    return m_error;
}

bool PurgeAppend::canStore(const QString& name)
{
    return !name.isEmpty() && !name.contains(u'\r') && !name.contains(u'\n');
}

bool PurgeAppend::open()
{
    m_error.clear();
    m_staging.close();
    m_staging.setFileName(m_stagingPath);
    // Unbuffered, so that stage() reports a failed write at the name that met it.
    if (!m_staging.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(m_stagingPath, m_staging.errorString());
    return true;
}

bool PurgeAppend::stage(const QString& name)
{
    if (!m_staging.isOpen())
        return fail(m_stagingPath, QStringLiteral("the staging file is not open"));
    if (!canStore(name))
        return fail(m_stagingPath, QStringLiteral("an empty name or one holding a line end cannot be listed"));
    const QByteArray line = name.toUtf8() + "\r\n";
    if (m_staging.write(line) != line.size())
        return fail(m_stagingPath, m_staging.errorString());
    return true;
}

bool PurgeAppend::merge()
{
    if (!m_staging.isOpen())
        return fail(m_stagingPath, QStringLiteral("the staging file is not open"));
    const bool staged = m_staging.flush();
    const QString stagingError = m_staging.errorString();
    m_staging.close();

    // Whatever happens below, purge.bak has served its purpose; a leftover one would only be deleted
    // unread at the next start.
    struct RemoveStaging
    {
        QString path;
        ~RemoveStaging() { QFile::remove(path); }
    } removeStaging{m_stagingPath};

    if (!staged)
        return fail(m_stagingPath, stagingError);
    QByteArray stagedBytes;
    {
        QFile in(m_stagingPath);
        if (!in.open(QIODevice::ReadOnly))
            return fail(m_stagingPath, in.errorString());
        stagedBytes = in.readAll();
        if (in.error() != QFileDevice::NoError)
            return fail(m_stagingPath, in.errorString());
    }
    QByteArray tail;
    for (const QString& line : PurgeList::splitLines(stagedBytes))
        tail += line.toUtf8() + "\r\n";

    // purge.txt is only ever appended to: never created here, never left longer by a part of the tail.
    if (!QFileInfo(m_listPath).isFile())
        return fail(m_listPath, QStringLiteral("the purge list does not exist"));
    // Unbuffered, so that after a failed write no buffered rest can reach the file once it is cut back.
    QFile out(m_listPath);
    if (!out.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return fail(m_listPath, out.errorString());
    if (tail.isEmpty())
        return true;

    const qint64 oldSize = out.size();
    if (oldSize > 0) {
        // A last line without a line end (typed in an editor) must not run into the first new name.
        char last = 0;
        if (!out.seek(oldSize - 1) || !out.getChar(&last))
            return fail(m_listPath, out.errorString());
        if (last != '\r' && last != '\n')
            tail.prepend("\r\n");
    }
    const bool written = out.seek(oldSize) && out.write(tail) == tail.size();
    if (!written) {
        const QString reason = out.errorString();
        if (!out.resize(oldSize))
            return fail(m_listPath, reason + QStringLiteral("; the partial append could not be removed"));
        return fail(m_listPath, reason);
    }
    out.close();
    if (out.error() != QFileDevice::NoError)
        return fail(m_listPath, out.errorString());
    return true;
}
