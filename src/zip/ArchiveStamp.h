#pragma once
// ArchiveStamp: what tells one state of an archive file from another, so a listing is only trusted for the
// file it was made from.

#include <QString>
#include <QtGlobal>

// What identifies one state of an archive file: a rewrite or a replacement changes at least one field. The
// change time is the one a writer cannot set back, so an in-place rewrite of the same size that restores
// the modification time is still seen.
struct ArchiveStamp
{
    qint64 size = -1; // -1: the file could not be looked at
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    quint64 device = 0;

    static ArchiveStamp of(const QString& path);
    // The stamp of an open file (its descriptor), whatever its name now points to; where descriptors cannot
    // be looked at, that of path.
    static ArchiveStamp ofOpen(int fd, const QString& path);
    // How many names the open file has (hard links); 1 where that cannot be told.
    static quint64 linkCount(int fd, const QString& path);
    bool valid() const { return size >= 0; }
    bool operator==(const ArchiveStamp&) const = default;
};
