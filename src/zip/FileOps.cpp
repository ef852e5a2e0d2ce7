#include "zip/FileOps.h"

#include "zip/DiskName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fileops {

QStringList ordinaryFiles(const QString& folder, const QString& mask)
{
    const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(mask),
                                     QRegularExpression::CaseInsensitiveOption);
    QStringList names;
    for (const QString& name : diskname::entries(folder))
        if (!name.startsWith(QLatin1Char('.')) && pattern.match(diskname::matchable(name)).hasMatch() &&
            diskname::isFile(folder + QLatin1Char('/') + name))
            names << name;
    // By the lowered name, as a folder listing sorts without regard to case; a byte that is not UTF-8 sorts by
    // its value among the characters.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = diskname::lowered(a).compare(diskname::lowered(b));
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

QString firstOrdinaryFile(const QString& folder, const QString& mask)
{
    const QStringList names = ordinaryFiles(folder, mask);
    return names.isEmpty() ? QString() : names.first();
}

bool isOrdinaryFile(const QString& path)
{
    return diskname::isFile(path) && !path.section(QLatin1Char('/'), -1).startsWith(QLatin1Char('.'));
}

bool clearAttributes(const QString& path)
{
#ifdef Q_OS_UNIX
    // Nothing on disk changes: a rewrite writes its own file and gives it the archive's mode, so an archive
    // needs no write permission of its own. The file is looked at once, through a descriptor that never
    // follows a link and opens nothing (no device, no pipe), so what is checked is what is answered for.
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
#ifdef O_PATH
    flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
#endif
    const int fd = diskname::openRaw(path, flags);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ordinary = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ordinary;
#else
    const QFileInfo fi(path);
    if (!fi.exists() || fi.isSymLink())
        return false;
    const QFileDevice::Permissions p = fi.permissions();
    if (p & QFileDevice::WriteOwner)
        return true;
    return QFile::setPermissions(path, p | QFileDevice::WriteOwner);
#endif
}

bool removeFile(const QString& path)
{
    clearAttributes(path);
    return diskname::removeFile(path);
}

bool renameNoReplace(const QString& from, const QString& to, QString* why)
{
#ifdef Q_OS_UNIX
    const QByteArray a = diskname::toDisk(from);
    const QByteArray b = diskname::toDisk(to);
    int rc = -1;
#ifdef Q_OS_LINUX
    rc = ::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE);
    const bool tried = rc == 0 || (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP);
#else
    const bool tried = false;
#endif
    struct stat st;
    // Without a rename that refuses: a link refuses an existing name, then the old name goes. A folder or a
    // link cannot be linked; those are renamed when nothing is there.
    if (!tried && ::lstat(a.constData(), &st) == 0 && S_ISREG(st.st_mode))
        rc = ::link(a.constData(), b.constData()) == 0 ? ::unlink(a.constData()) : -1;
    else if (!tried)
        rc = ::lstat(b.constData(), &st) == 0 ? (errno = EEXIST, -1) : ::rename(a.constData(), b.constData());
    if (rc != 0 && why)
        *why = QString::fromLocal8Bit(std::strerror(errno));
    return rc == 0;
#else
    const bool done = !QFileInfo::exists(to) && QFile::rename(from, to);
    if (!done && why)
        *why = QStringLiteral("cannot be renamed");
    return done;
#endif
}

bool sameBytes(const QString& a, const QString& b)
{
    if (diskname::isLink(a) || diskname::isLink(b) || !diskname::isFile(a) || !diskname::isFile(b) ||
        diskname::sizeOf(a) != diskname::sizeOf(b))
        return false;
    QFile fa;
    QFile fb;
    if (!diskname::openFile(fa, a, QIODevice::ReadOnly) || !diskname::openFile(fb, b, QIODevice::ReadOnly))
        return false;
    while (!fa.atEnd()) {
        const QByteArray x = fa.read(1 << 20);
        if (x.isEmpty() || x != fb.read(x.size()))
            return false;
    }
    return fb.atEnd() && fa.error() == QFileDevice::NoError && fb.error() == QFileDevice::NoError;
}

} // namespace fileops
