// Start-up: the window's load handler.

#include "app/Form1.h"
#include "platform/FileListBox.h"
#include "zip/FileOps.h"

#include <QApplication>
#include <QDir>

namespace {

bool isRootFolder(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\')) || QDir(folder).isRoot();
}

} // namespace

void Form1::Form_Load()
{
    // 1. Never from a drive's root: the data files and the temp folder would be strewn over it. Unattended,
    //    the message goes to stderr (showMessage): nobody could close a box.
    if (isRootFolder(programFolder())) {
        showMessage(QStringLiteral("Tamsor can NOT be run from a root directory"), 16, QStringLiteral("Error"));
        m_skipTempCleanup = true; // this start never used a temp folder; what lies in /temp is not ours
        Unload(2);
        return;
    }

    // 2. One instance per user and program folder: bring the running one to the front instead.
    if (services().instanceGuard && services().instanceGuard->previousInstance()) {
        if (unattended()) {
            // Nothing was cleaned, and a run from cron must not pull the user's window to the front.
            m_skipTempCleanup = true;
            consoleLine(QStringLiteral("tamsorel: refused: Tamsorel is already running from this program folder"),
                        true);
            Unload(2);
            return;
        }
        const QString keptTitle = QApplication::applicationDisplayName();
        QApplication::setApplicationDisplayName(QStringLiteral("... duplicate instance."));
        setWindowTitle(QStringLiteral("... duplicate instance."));
        Q_UNUSED(keptTitle);
        services().instanceGuard->activatePrevious();
        m_skipTempCleanup = true; // the running instance works with the temp folder
        Unload(0);
        return;
    }

    // 3. Selected-names table.
    const int files = File1->ListCount();
    if (selectedNames.size() < files)
        selectedNames.resize(files);
    for (int i = 0; i < files; ++i)
        selectedNames[i] = QString::number(File1->ListIndex());

    // 4. The first archive of the start folder is shown. Not before an unattended run: that folder is not
    //    the one named, and the run lists each archive of the named folder itself.
    if (files > 0 && !unattended())
        File1->setSelected(0, true);

    // 5. A staging file of an Add that did not finish is discarded. Not by an unattended run: it only reads
    //    the purge list, and the staging file may be the open window's Add in progress.
    if (!unattended() && fileops::isOrdinaryFile(purgeEntries.stagingPath()))
        fileops::removeFile(purgeEntries.stagingPath());

    // 6. One leftover of the temp folder goes per start; one that cannot be deleted is passed over.
    const QString temp = dataPath(QStringLiteral("temp"));
    const QString leftover = fileops::firstOrdinaryFile(temp, QStringLiteral("*"));
    if (!leftover.isEmpty())
        fileops::removeFile(temp + QLatin1Char('/') + leftover);

    // 7. Unattended: one clean-all run, then the end.
    if (unattended()) {
        show();
        pumpEvents();
        Command2_Click();
        Unload(runStatus());
    }
}
