#pragma once
// The few file-system steps the handlers share, as the program needs them on every platform.

#include <QString>
#include <QStringList>

namespace fileops {

// Names of the ordinary files (no folders, hidden files or dangling links) in a folder that match a
// wildcard mask, ignoring letter case, sorted by name.
QStringList ordinaryFiles(const QString& folder, const QString& mask);
// The first of them, or "" when none.
QString firstOrdinaryFile(const QString& folder, const QString& mask);
// True when the path names an ordinary file.
bool isOrdinaryFile(const QString& path);
// Makes a file "normal" for the run: true when the path names an ordinary file (not a link). On Unix no mode
// changes, as a rewrite does not need the archive writable; on Windows the read-only attribute goes.
// False when that cannot be done.
bool clearAttributes(const QString& path);
// Clears the attributes, then deletes. False when the file stays.
bool removeFile(const QString& path);
// Renames a file (or link) without ever replacing a file at the new name, even one that appears meanwhile.
// False with *why set (strerror's text) when it is not renamed.
bool renameNoReplace(const QString& from, const QString& to, QString* why = nullptr);
// True when both name ordinary files (links not followed) of the same bytes.
bool sameBytes(const QString& a, const QString& b);

} // namespace fileops
