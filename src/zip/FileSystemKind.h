#pragma once
// What a file system's times and locks are worth: the verdict cache trusts a listing only where a change of a
// file shows in its times, and keeps its own file only where SQLite's locks hold.

#include <QByteArray>
#include <QString>

enum class FileSystemKind
{
    Ordinary,
    CoarseTimes, // FAT, exFAT (and FUSE mounts of them): two-second or no change times, so a same-size
                 // change with the time set back leaves every compared field as it was
    Network      // NFS, SMB/CIFS: locks and change times depend on the server
};

// The kind of a file system from statfs's f_type and, for FUSE mounts, the mount's type as the mount table
// names it ("fuse.exfat", "fuseblk").
FileSystemKind fileSystemKind(quint64 fsType, const QByteArray& mountType);
// The kind of the file system that holds path (a folder or a file); Ordinary where it cannot be told.
FileSystemKind fileSystemKindOf(const QString& path);
