#pragma once
// Whether the platform Qt would choose can open its display. Qt ends the process (SIGABRT) when it cannot,
// so the question is asked before QApplication exists: an unattended run then goes offscreen, the window
// says why it cannot open.

#include <QString>

// True when a platform of QT_QPA_PLATFORM (or Qt's default) can open its display, or is one that needs
// none. `why` names the display that was tried, for the message.
bool displayUsable(QString* why);
