#pragma once
// The user's default application for plain text, found the way the desktop finds it: the text/plain entry
// of the mimeapps.list files (desktop-specific ones first), then the mimeinfo.cache of the application
// folders; its desktop entry's Exec line gives the command. A file is opened by that command whatever its
// own name or bytes suggest: a .diz or .nfo of CP437 art would otherwise go to a viewer chosen by content,
// or to none.

#include <QString>
#include <QStringList>

namespace texteditor {

struct Places
{
    QStringList configDirs; // $XDG_CONFIG_HOME first, then $XDG_CONFIG_DIRS
    QStringList dataDirs;   // $XDG_DATA_HOME first, then $XDG_DATA_DIRS
    QStringList desktops;   // $XDG_CURRENT_DESKTOP, lower-cased, in order
    static Places fromEnvironment();
};

// Desktop file ID of the default application for the MIME type; empty when none is installed.
QString defaultApplication(const Places& places, const QString& mimeType = QStringLiteral("text/plain"));
// Path of the desktop entry with this ID in the applications folders; empty when none.
QString desktopEntryPath(const Places& places, const QString& desktopId);
// Program and arguments that open `file` with the desktop entry; empty when the entry has no usable Exec.
// An entry that runs in a terminal gets x-terminal-emulator in front of it.
QStringList commandFor(const QString& desktopEntryPath, const QString& file);
// The Exec value split into arguments, field codes expanded for one file (desktop entry rules: \s \n \t
// \r \\ escapes, double-quoted arguments, %f %F %u %U the file, %c the name, %k the entry, %i the icon).
QStringList expandExec(const QString& exec, const QString& file, const QString& name = {}, const QString& icon = {},
                       const QString& entryPath = {});

} // namespace texteditor
