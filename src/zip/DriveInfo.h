#pragma once
// The class of the drive that holds a path (`DiskInfo1`), in the Windows drive-type numbers the handlers
// test against: 0 unknown, 1 no such path, 2 not writable, 3 local writable, 4 network file system,
// 6 RAM file system. Callers treat 2 or less as a drive on which nothing may be renamed or written.

#include <QString>

class DriveInfo
{
public:
    enum Class
    {
        Unknown = 0,
        NoRoot = 1,
        NotWritable = 2,
        Local = 3,
        Network = 4,
        RamDisk = 6
    };

    QString Drive; // a folder or a file; for a file its folder is tested
    int DriveClass() const;
};
