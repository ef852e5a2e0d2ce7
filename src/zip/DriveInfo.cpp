#include "zip/DriveInfo.h"

#include "zip/DiskName.h"

#include <QFileInfo>
#include <QStorageInfo>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

int DriveInfo::DriveClass() const
{
    if (Drive.isEmpty())
        return Unknown;
    const QFileInfo target(diskname::absolute(Drive));
    struct stat st;
    if (!diskname::statOf(Drive, &st))
        return NoRoot;
    // Renames and new files need write permission on the folder, not only on the file.
    const QString given = diskname::isFolder(Drive) ? target.absoluteFilePath() : target.absolutePath();
    const QString canonical = diskname::canonical(given);
    const QString folder = canonical.isEmpty() ? given : canonical;
    const QStorageInfo volume(diskname::utf8Ancestor(folder));
    if (!volume.isValid() || !volume.isReady())
        return Unknown;
    struct statvfs fs;
    const QByteArray bytes = diskname::toDisk(folder);
    if (volume.isReadOnly() || (::statvfs(bytes.constData(), &fs) == 0 && (fs.f_flag & ST_RDONLY)) ||
        ::access(bytes.constData(), W_OK) != 0)
        return NotWritable;
    const QByteArray type = volume.fileSystemType();
    if (type == "tmpfs" || type == "ramfs")
        return RamDisk;
    static const QByteArray network[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs", "9p", "afs", "ncpfs"};
    for (const QByteArray& n : network)
        if (type == n)
            return Network;
    return Local;
}
