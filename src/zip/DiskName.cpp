#include "zip/DiskName.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace diskname {

namespace {

constexpr char16_t kEscapeBase = 0xdc00; // byte b (0x80..0xff) is carried as U+DC00 + b

// The length of the valid UTF-8 sequence at bytes[i] (1..4), or 0 when the byte starts none: overlong forms,
// surrogates and code points past U+10FFFF are not valid.
int validLength(const QByteArray& bytes, qsizetype i)
{
    const auto at = [&](qsizetype k) { return k < bytes.size() ? uchar(bytes[k]) : 0u; };
    const uint b0 = at(i);
    const auto cont = [&](qsizetype k) { return (at(k) & 0xc0) == 0x80; };
    if (b0 < 0x80)
        return 1;
    if (b0 >= 0xc2 && b0 <= 0xdf)
        return cont(i + 1) ? 2 : 0;
    if (b0 >= 0xe0 && b0 <= 0xef) {
        const uint b1 = at(i + 1);
        if ((b0 == 0xe0 && b1 < 0xa0) || (b0 == 0xed && b1 >= 0xa0))
            return 0;
        return cont(i + 1) && cont(i + 2) ? 3 : 0;
    }
    if (b0 >= 0xf0 && b0 <= 0xf4) {
        const uint b1 = at(i + 1);
        if ((b0 == 0xf0 && b1 < 0x90) || (b0 == 0xf4 && b1 >= 0x90))
            return 0;
        return cont(i + 1) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

bool isEscape(char16_t c)
{
    return c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xff;
}

// True when carried[i] stands for a byte: a low surrogate of the escape range that is not half of a pair.
bool escapedAt(const QString& carried, qsizetype i)
{
    return isEscape(carried[i].unicode()) && !(i > 0 && carried[i - 1].isHighSurrogate());
}

// Hands each stretch of text between escaped bytes to `text` and each escaped byte to `byte`, in order.
template <typename Text, typename Byte> void walk(const QString& carried, Text text, Byte byte)
{
    qsizetype run = 0;
    for (qsizetype i = 0; i < carried.size(); ++i) {
        if (!escapedAt(carried, i))
            continue;
        text(QStringView(carried).mid(run, i - run));
        byte(char(carried[i].unicode() - kEscapeBase));
        run = i + 1;
    }
    text(QStringView(carried).mid(run));
}

} // namespace

QString fromDisk(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    qsizetype run = 0; // where the current stretch of valid UTF-8 began
    qsizetype i = 0;
    while (i < bytes.size()) {
        const int length = validLength(bytes, i);
        if (length > 0) {
            i += length;
            continue;
        }
        out += QString::fromUtf8(bytes.constData() + run, i - run);
        out += QChar(char16_t(kEscapeBase + uchar(bytes[i])));
        run = ++i;
    }
    out += QString::fromUtf8(bytes.constData() + run, i - run);
    return out;
}

QByteArray toDisk(const QString& carried)
{
    QByteArray out;
    out.reserve(carried.size());
    walk(
        carried, [&](QStringView text) { out += text.toUtf8(); }, [&](char b) { out += b; });
    return out;
}

bool isUtf8(const QString& carried)
{
    for (qsizetype i = 0; i < carried.size(); ++i)
        if (escapedAt(carried, i))
            return false;
    return true;
}

QString lowered(const QString& carried)
{
    QString out;
    out.reserve(carried.size());
    walk(
        carried, [&](QStringView text) { out += text.toString().toLower(); },
        [&](char b) { out += QChar(char16_t(kEscapeBase + uchar(b))); });
    return out;
}

QString matchable(const QString& carried)
{
    QString out = carried;
    for (qsizetype i = 0; i < out.size(); ++i)
        if (escapedAt(carried, i))
            out[i] = QChar::ReplacementCharacter;
    return out;
}

QString utf8Ancestor(QString path)
{
    while (!isUtf8(path) && QFileInfo(path).path() != path)
        path = QFileInfo(path).path();
    return path;
}

QString hexBytes(const QString& carried)
{
    return QString::fromLatin1(toDisk(carried).toHex());
}

int openRaw(const QString& path, int flags, mode_t mode)
{
    return ::open(toDisk(path).constData(), flags | O_CLOEXEC, mode);
}

bool openFile(QFile& file, const QString& path, QIODevice::OpenMode mode, mode_t permissions)
{
    int flags = O_RDONLY;
    if (mode & QIODevice::WriteOnly) {
        flags = (mode & QIODevice::ReadOnly) ? O_RDWR : O_WRONLY;
        flags |= O_CREAT;
        if (mode & QIODevice::NewOnly)
            flags |= O_EXCL;
        if (mode & QIODevice::Truncate)
            flags |= O_TRUNC;
        if (mode & QIODevice::Append)
            flags |= O_APPEND;
    }
    const int fd = openRaw(path, flags, permissions);
    if (fd < 0)
        return false;
    struct stat st;
    // A folder opens for reading on Linux; Qt refuses one by name, and so does this.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return false;
    }
    const QIODevice::OpenMode kept = mode & ~(QIODevice::NewOnly | QIODevice::Truncate | QIODevice::ExistingOnly);
    if (!file.open(fd, kept, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool statOf(const QString& path, struct stat* st, bool followLinks)
{
    const QByteArray bytes = toDisk(path);
    return (followLinks ? ::stat(bytes.constData(), st) : ::lstat(bytes.constData(), st)) == 0;
}

bool exists(const QString& path)
{
    struct stat st;
    return statOf(path, &st, false);
}

bool isFolder(const QString& path)
{
    struct stat st;
    return statOf(path, &st) && S_ISDIR(st.st_mode);
}

bool isFile(const QString& path)
{
    struct stat st;
    return statOf(path, &st) && S_ISREG(st.st_mode);
}

bool isLink(const QString& path)
{
    struct stat st;
    return statOf(path, &st, false) && S_ISLNK(st.st_mode);
}

qint64 sizeOf(const QString& path)
{
    struct stat st;
    return statOf(path, &st) && S_ISREG(st.st_mode) ? qint64(st.st_size) : -1;
}

QString canonical(const QString& path)
{
    char* resolved = ::realpath(toDisk(path).constData(), nullptr);
    if (!resolved)
        return {};
    const QString out = fromDisk(QByteArray(resolved));
    std::free(resolved);
    return out;
}

QString absolute(const QString& path)
{
    if (path.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(path);
    QByteArray here(PATH_MAX, '\0');
    if (!::getcwd(here.data(), size_t(here.size())))
        return QDir::cleanPath(path);
    here.truncate(qsizetype(qstrlen(here.constData())));
    return QDir::cleanPath(fromDisk(here) + QLatin1Char('/') + path);
}

QStringList entries(const QString& folder, bool* ok)
{
    QStringList names;
    DIR* dir = ::opendir(toDisk(folder).constData());
    if (ok)
        *ok = dir != nullptr;
    if (!dir)
        return names;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name != "." && name != "..")
            names << fromDisk(name);
    }
    ::closedir(dir);
    return names;
}

bool makeFolder(const QString& path, mode_t mode)
{
    return ::mkdir(toDisk(path).constData(), mode) == 0;
}

bool removeFile(const QString& path)
{
    return ::unlink(toDisk(path).constData()) == 0;
}

} // namespace diskname
