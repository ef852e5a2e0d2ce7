// Help, web page and the About box.

#include "app/Form1.h"
#include "browse/Form3.h"

#include <QPointer>

namespace {

// The program's home page; "webdial.exe" gets it behind a "$".
const QString kWebAddress = QStringLiteral("https://tamsorel.example/");

} // namespace

void Form1::contents_Click()
{
    launch(QStringLiteral("winhelp.exe"), dataPath(QStringLiteral("Tamsorel.hlp")));
}

void Form1::web_Click()
{
    launch(QStringLiteral("webdial.exe"), QLatin1Char('$') + kWebAddress);
}

void Form1::about_Click()
{
    // The sound call ignores user input, but a timer or a socket could still reach here while it plays.
    if (m_aboutShowing)
        return;
    m_aboutShowing = true;
    QPointer<Form3> box = new Form3(this);
    box->show();
    box->repaint();
    // Flags 0: returns when the thunder has ended; the box is on the screen exactly that long.
    playSound(QStringLiteral("thunder.wav"), 0);
    delete box.data();
    m_aboutShowing = false;
}

void Form1::SSPanel3_Click()
{
    about_Click();
}
