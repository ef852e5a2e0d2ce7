#pragma once
// A tree of folders for the shard tests: the named folder, 40 folders below it and 4 below each of those but
// the last, which has 3 (200 folders), one archive in each, every seventh damaged and every third with an entry to
// purge. Two calls with the same seed make the same tree, so a sharded and an unsharded run can each have a copy.

#include "e2e/E2e.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace e2e {

inline QByteArray shardTreeArchive(int i)
{
    QList<testzip::Entry> entries{testzip::file("keep.txt", testzip::text(300 + i, i), false)};
    if (i % 3 == 0)
        entries.append(testzip::file("thumbs.db", "junk"));
    testzip::Layout layout;
    QByteArray bytes = testzip::build(entries, {}, &layout);
    if (i % 7 == 0) {
        const int at = int(layout.dataOffsets[0]) + 10;
        bytes[at] = char(bytes[at] ^ 0x20);
    }
    return bytes;
}

inline bool makeShardTree(const QString& root, int* damaged = nullptr)
{
    QStringList folders{root};
    for (int d = 0; d < 40; ++d) {
        const QString top = root + QStringLiteral("/d%1").arg(d, 2, 10, QLatin1Char('0'));
        folders << top;
        for (int s = 0; s < (d < 39 ? 4 : 3); ++s)
            folders << top + QStringLiteral("/s%1").arg(s);
    }
    int bad = 0;
    for (int i = 0; i < folders.size(); ++i) {
        if (!QDir().mkpath(folders[i]) ||
            !testzip::write(folders[i] + QStringLiteral("/a%1.zip").arg(i), shardTreeArchive(i)))
            return false;
        bad += i % 7 == 0;
    }
    if (damaged)
        *damaged = bad;
    return folders.size() == 200;
}

// The report's objects, the summary apart.
struct ShardReport
{
    QList<QJsonObject> archives;
    QJsonObject summary;
};

inline ShardReport readShardReport(const QString& path)
{
    ShardReport report;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return report;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value("summary").toBool())
            report.summary = o;
        else
            report.archives << o;
    }
    return report;
}

// An archive's object as "folder below root | name | verdict | code | entries removed | bytes before/after":
// what must be the same whichever run cleaned it.
inline QString archiveFact(const QJsonObject& o, const QString& root)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
        .arg(QDir(root).relativeFilePath(o.value("folder").toString()), o.value("name").toString(),
             o.value("verdict").toString())
        .arg(o.value("code").toInt())
        .arg(o.value("entries_removed").toInt())
        .arg(o.value("bytes_before").toInteger())
        .arg(o.value("bytes_after").toInteger());
}

// Every file below root with its contents' hash, by relative path.
inline QMap<QString, QByteArray> treeHashes(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), hashOf(path));
    }
    return files;
}

} // namespace e2e
