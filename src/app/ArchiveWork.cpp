// One piece of archive work at a time, and the console lines of an unattended run.

#include "app/ArchiveWork.h"
#include "platform/FileListBox.h"
#include "platform/Panel3D.h"
#include "zip/ShownText.h"

#include <QTimer>
#include <cstdio>

bool Form1::beginArchiveWork(const QString& what, const QString& asked)
{
    if (!m_work.isEmpty()) {
        showRefusal(QStringLiteral("Busy %1: %2 refused").arg(m_work, asked));
        return false;
    }
    // A refusal speaks of work that is over once the next work starts: its words go, whatever else the line says.
    if (!m_refusal.isEmpty() && SSPanel2->Caption() == m_refusal)
        SSPanel2->setCaption(QString());
    m_refusal.clear();
    m_work = what;
    return true;
}

void Form1::showRefusal(const QString& words)
{
    m_refusal = words;
    SSPanel2->setCaption(words);
}

void Form1::endArchiveWork()
{
    m_work.clear();
    if (!m_listingWaits)
        return;
    // From the event loop, once the handler that ends this work has returned: a listing that runs first
    // (the end of a run lists too) takes the waiting one's place.
    QTimer::singleShot(0, this, [this] {
        if (!m_listingWaits || archiveWorkInProgress() || unloaded() || runFlag != 0)
            return;
        const int index = File1->ListIndex();
        if (index >= 0 && File1->Selected(index)) {
            ShowArchiveContents();
        } else {
            // The archive asked for is gone from the list (the work quarantined it): nothing to list.
            m_listingWaits = false;
            if (SSPanel2->Caption() == m_waitWord)
                SSPanel2->setCaption(QString());
        }
    });
}

void Form1::listingWaits()
{
    m_listingWaits = true;
    m_waitWord = QStringLiteral("Busy %1: the listing waits").arg(m_work);
    SSPanel2->setCaption(m_waitWord);
}

void Form1::consoleLine(const QString& line, bool toStderr) const
{
    // Names in the line reach a terminal: their control characters are shown, never acted on.
    const QString one = consoleText(line);
    if (writeConsole) {
        writeConsole(one, toStderr);
        return;
    }
    std::FILE* stream = toStderr ? stderr : stdout;
    std::fputs(one.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
