#pragma once
#include <QFile>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <functional>

// The purge list file "purge.txt" beside the executable and the in-memory table loaded from it.
// The file is UTF-8 text; CR LF, CR and LF each end a line on reading, the last line needs no end,
// and a line is kept whole (blanks and letter case included). Rows count from 1; the usable rows end
// at the first empty one, although every line of the file is loaded.
class PurgeList
{
public:
    explicit PurgeList(QString programFolder); // folder without trailing '/', e.g. "/opt/tamsorel"
    QString listPath() const;                  // programFolder + "/purge.txt"
    QString stagingPath() const;               // programFolder + "/purge.bak"

    // True when purge.txt is an ordinary file (not a folder, nor a link to one, not hidden), readable or not.
    bool exists() const;

    // Empties the table and reads every line of purge.txt into rows 1, 2, ..., calling pump (when set)
    // after every line. A missing or unreadable file leaves the table empty and returns false.
    bool load(const std::function<void()>& pump = {});

    int rowCount() const;        // usable rows: those before the first empty row
    int loadedLineCount() const; // every line read by the last load, including those after an empty one
    QString row(int j) const;    // line j as read, 1-based; "" for 0 and beyond the last line

    // Text of the first usable row whose lower case equals the entry name's lower case, exactly as stored;
    // a null QString when none. Answers through a lookup built once per load.
    QString match(const QString& entryName) const;
    QString matchByWalk(const QString& entryName) const; // the plain row walk, same answers

    // Number of the first usable row at or after fromRow that matches the entry name as match() does;
    // 0 when none. Lets a caller go on with the rows after a match without walking the table.
    int matchRow(const QString& entryName, int fromRow = 1) const;
    int matchRowByWalk(const QString& entryName, int fromRow = 1) const;

    // True when some line of purge.txt, read afresh from disk, equals name exactly (case-sensitive).
    bool isListed(const QString& name) const;

    // Lines of UTF-8 text as this file format splits them (a leading byte-order mark is skipped).
    static QStringList splitLines(const QByteArray& bytes);

private:
    QString m_programFolder;
    QStringList m_rows; // m_rows[0] is line 1
    int m_usable = 0;
    QHash<QString, int> m_firstRow; // lower-cased usable row -> first row number with that text
    QList<int> m_nextSame;          // [j-1]: next usable row after j with the same lower case, or 0
};

// The two-phase append through purge.bak. open() empties or creates purge.bak; stage() writes one name
// and CR LF to it; merge() closes it, appends its lines (each with CR LF) to the end of an existing
// purge.txt, and deletes purge.bak. purge.txt is never created, and an append that cannot complete is
// cut back to the file's former length. Failures return false; errorString() names the file.
class PurgeAppend
{
public:
    explicit PurgeAppend(const PurgeList& list);
    bool open();
    // Refuses a name that could not be read back as that one line: empty (an empty line ends the usable
    // list) or holding a CR or LF (it would become several entries).
    bool stage(const QString& name);
    bool merge();
    QString errorString() const;

    static bool canStore(const QString& name);

private:
    bool fail(const QString& path, const QString& reason);

    QString m_listPath;
    QString m_stagingPath;
    QFile m_staging;
    QString m_error;
};
