// Shutdown: Exit, the close box and the unload handler.

#include "app/Form1.h"
#include "zip/FileOps.h"
#include "zip/ZipComponent.h"

void Form1::exit_Click()
{
    const bool wasRunning = runFlag != 0;
    runFlag = 0;
    XceedZip1->Abort = true;
    Unload(wasRunning && unattended() ? 1 : runStatus());
}

void Form1::Form_Unload(qint16& cancel)
{
    Q_UNUSED(cancel); // the unload always goes on
    if (m_skipTempCleanup)
        return;
    const QString temp = dataPath(QStringLiteral("temp"));
    // One description file per shutdown, then every information file. A file that cannot be deleted is
    // passed over, so the loop always ends.
    const QString diz = fileops::firstOrdinaryFile(temp, QStringLiteral("*.diz"));
    if (!diz.isEmpty())
        fileops::removeFile(temp + QLatin1Char('/') + diz);
    for (const QString& nfo : fileops::ordinaryFiles(temp, QStringLiteral("*.nfo")))
        fileops::removeFile(temp + QLatin1Char('/') + nfo);
}

void Form1::Unload(int status)
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    qint16 cancel = 0;
    Form_Unload(cancel);
    // A rewrite interrupted in the event pump never resumes: its temporary file must not stay beside the archive.
    ZipComponent::discardPendingWrites();
    runReport.finish(status);
    hide();
    if (services().exitProcess)
        services().exitProcess(status);
}
