#include "zip/FileSystemKind.h"

#include "zip/DiskName.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#endif

namespace {

// statfs f_type values (linux/magic.h).
constexpr quint64 kMsdos = 0x4d44;
constexpr quint64 kExfat = 0x2011bab0;
constexpr quint64 kFuse = 0x65735546;
constexpr quint64 kNfs = 0x6969;
constexpr quint64 kSmb = 0x517b;
constexpr quint64 kCifs = 0xff534d42;
constexpr quint64 kSmb2 = 0xfe534d42;

#ifdef Q_OS_LINUX
// The type the mount table gives the mount of device dev ("fuse.exfat"); empty when not found.
QByteArray mountTypeOf(dev_t dev)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    const QByteArray wanted = QByteArray::number(major(dev)) + ':' + QByteArray::number(minor(dev));
    // "id parent major:minor root mountpoint options [optional fields] - type source super-options"
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3 || fields[2] != wanted)
            continue;
        const qsizetype dash = fields.indexOf("-");
        if (dash > 0 && dash + 1 < fields.size())
            return fields[dash + 1];
    }
    return {};
}
#endif

} // namespace

FileSystemKind fileSystemKind(quint64 fsType, const QByteArray& mountType)
{
    switch (fsType) {
    case kMsdos:
    case kExfat:
        return FileSystemKind::CoarseTimes;
    case kNfs:
    case kSmb:
    case kCifs:
    case kSmb2:
        return FileSystemKind::Network;
    case kFuse: {
        const QByteArray type = mountType.toLower();
        if (type.contains("fat") || type.contains("msdos"))
            return FileSystemKind::CoarseTimes;
        if (type.contains("nfs") || type.contains("smb") || type.contains("cifs") || type.contains("sshfs"))
            return FileSystemKind::Network;
        return FileSystemKind::Ordinary;
    }
    default:
        return FileSystemKind::Ordinary;
    }
}

FileSystemKind fileSystemKindOf(const QString& path)
{
#ifdef Q_OS_LINUX
    const QByteArray native = diskname::toDisk(path);
    struct statfs fs;
    struct stat st;
    if (::statfs(native.constData(), &fs) != 0 || ::stat(native.constData(), &st) != 0)
        return FileSystemKind::Ordinary;
    const quint64 type = quint64(fs.f_type) & 0xffffffffu;
    return fileSystemKind(type, type == kFuse ? mountTypeOf(st.st_dev) : QByteArray());
#else
    Q_UNUSED(path);
    return FileSystemKind::Ordinary;
#endif
}
