#include "zip/DriveInfo.h"

#include <QFileInfo>
#include <QStorageInfo>

int DriveInfo::DriveClass() const
{
    if (Drive.isEmpty())
        return Unknown;
    QFileInfo target(Drive);
    if (!target.exists())
        return NoRoot;
    // Renames and new files need write permission on the folder, not only on the file.
    const QString folder = target.isDir() ? target.absoluteFilePath() : target.absolutePath();
    const QFileInfo folderInfo(folder);
    const QStorageInfo volume(folder);
    if (!volume.isValid() || !volume.isReady())
        return Unknown;
    if (volume.isReadOnly() || !folderInfo.isWritable())
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
