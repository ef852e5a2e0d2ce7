#pragma once
// Names as the disk holds them. A Unix name is bytes; most are UTF-8, but names copied from DOS and Windows
// machines, CD-ROMs and old FAT mounts are often Latin-1 or code page 437 bytes. The engine carries every
// path as a QString in which each byte that is not part of valid UTF-8 stands as one code point of
// U+DC80..U+DCFF (the "surrogate escape" Python uses for the same purpose). The carrier is exact both ways, and
// a UTF-8 name is carried as the text it is, so sorting, matching and showing UTF-8 names do not change.
//
// Qt's own file classes turn such a code point into '?', naming a different file; every file operation on a
// carried path therefore goes through these functions, which hand the system the exact bytes.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <sys/types.h>

struct stat;

namespace diskname {

// The carried form of a name or path the system gave as bytes.
QString fromDisk(const QByteArray& bytes);
// The exact bytes of a carried name or path.
QByteArray toDisk(const QString& carried);
// True when the carried text holds no escaped byte: its bytes are its UTF-8.
bool isUtf8(const QString& carried);
// The name lower-cased, its carried bytes kept (QString::toLower makes each of them U+FFFD): bytes have no case.
QString lowered(const QString& carried);
// The text a regular expression can look at: it refuses text that is not valid UTF-16, and a carried byte is
// a lone surrogate, so each carried byte becomes U+FFFD, which only a wildcard matches.
QString matchable(const QString& carried);
// The nearest folder at or above path whose name holds no carried byte: Qt finds a volume by a name it can pass
// on, and a mount point is almost never a name that is not UTF-8, so that folder lies on the same volume.
QString utf8Ancestor(QString path);
// The exact bytes in hex ("4341..."), for a report a script reads.
QString hexBytes(const QString& carried);

// open(2) with the exact bytes; -1 and errno as open sets them.
int openRaw(const QString& path, int flags, mode_t mode = 0);
// Opens a QFile through a descriptor of the exact name (QFile::fileName() stays empty; callers keep the
// path). Read-only unless the mode asks to write; WriteOnly|NewOnly creates a new file of `permissions`.
bool openFile(QFile& file, const QString& path, QIODevice::OpenMode mode, mode_t permissions = 0666);
// stat(2) or, not following a link, lstat(2); false when the name is not there.
bool statOf(const QString& path, struct stat* st, bool followLinks = true);

bool exists(const QString& path);   // anything at the name, a dangling link included
bool isFolder(const QString& path); // a folder, through links
bool isFile(const QString& path);   // an ordinary file, through links
bool isLink(const QString& path);
qint64 sizeOf(const QString& path); // -1 when there is no file
// The path with every link and ./.. resolved, or "" when it does not exist.
QString canonical(const QString& path);
// The path made absolute against the working folder, without touching the disk.
QString absolute(const QString& path);
// The folder's entries (not . or ..), carried, in the order the disk gives them.
QStringList entries(const QString& folder, bool* ok = nullptr);
bool makeFolder(const QString& path, mode_t mode = 0777);
bool removeFile(const QString& path);

} // namespace diskname
