#pragma once
// Text on its way to a terminal: control characters (C0, DEL and C1) are shown as the bytes they are, \xNN, as
// ls -b and unzip show them, so a crafted file name can neither move the cursor nor retitle the window.

#include <QByteArray>
#include <QString>

namespace shown {

// True for the characters a terminal may act on: U+0000..U+001F, U+007F and U+0080..U+009F.
bool isControl(char32_t c);
// The text with each control character as the \xNN of its UTF-8 bytes, and each byte of a name that is not
// UTF-8 as \xNN of that byte.
QString escapedControls(const QString& text);

} // namespace shown

// A line for the console: one line (its line breaks made blanks) whose control characters are shown, never
// acted on.
QString consoleText(const QString& line);

// A name's bytes as they can be printed: bytes that are not UTF-8, control characters and \ become \xNN.
QString escapedName(const QByteArray& bytes);
// A path as it can be printed, each name escaped as escapedName does.
QString shownPath(const QString& path);
