#pragma once
// What the window shows of a carried name (see zip/DiskName.h): a name whose bytes are all UTF-8 and that holds
// no control character shows as it is; any other shows as the command line prints it, each byte that is not
// UTF-8 as \xNN. The carried name itself stays beside what is shown, for every step that acts on the file.

#include <QString>

// A name or path as the window shows it (a path in Qt's separators; a message converts them first).
QString shownName(const QString& carried);
// Text that may hold carried names among its words (a message, a report): each carried byte becomes \xNN, and
// nothing else changes, line breaks included.
QString shownText(const QString& text);
