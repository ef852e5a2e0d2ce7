#pragma once
// What the verdict cache's source files share: its columns, a statement that finalizes itself, and how a
// failure is judged and said. Only the cache's own files include this.

#include <QByteArray>
#include <QString>
#include <functional>
#include <sqlite3.h>

namespace verdictcache {

inline constexpr char kColumns[] =
    "folder, name, device, inode, size, mtime_ns, ctime_ns, directory_hash, verdict, tested_ns, "
    "version";

// What a failed call says about the file: only these make it unusable. A full disk, an I/O error, a busy
// lock or a read-only file are about the moment, not the rows.
inline bool unusableCode(int code)
{
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// Each line once a process: a run of a tree opens the cache for every folder.
void warnOnce(const std::function<void(const QString&)>& warn, const QString& line);

// A statement that finalizes itself.
struct Statement
{
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
    void bind(int i, const QByteArray& b) { sqlite3_bind_blob(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT); }
    void bind(int i, const QString& t)
    {
        const QByteArray u = t.toUtf8();
        sqlite3_bind_text(s, i, u.constData(), int(u.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, qint64 v) { sqlite3_bind_int64(s, i, v); }
    QByteArray blob(int i) const
    {
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(s, i)), sqlite3_column_bytes(s, i));
    }
    QString text(int i) const
    {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, i)), sqlite3_column_bytes(s, i));
    }
    qint64 integer(int i) const { return sqlite3_column_int64(s, i); }
};

} // namespace verdictcache
