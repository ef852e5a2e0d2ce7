#pragma once
// The program's one working window. It owns the controls, the menus and the state that the handlers
// share; each subsystem's handlers are members defined beside that subsystem (browse/, clean/, purge/).

#include "app/DataFolders.h"
#include "platform/Services.h"
#include "purge/PurgeList.h"
#include "zip/CleanRun.h"
#include "zip/CollectionSettings.h"
#include "zip/DriveInfo.h"
#include "zip/RunReport.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <functional>

class AnimatedIcon;
class DirListBox;
class DriveListBox;
class FileListBox;
class Form2;
class ListBox;
class Panel3D;
class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class ZipComponent;

struct Form1Config
{
    QString programFolder; // folder of the executable
    DataFolders folders;   // where the data files live; empty places mean the program folder
    QString commandLine;   // the arguments joined by single blanks; not empty means unattended
    QString startFolder;   // folder shown at start
    QString lockFolder;    // where the folder locks of runs are (RunLock); empty: the window's runs take none
    Services services;
};

// The callers of the quarantine differ in how they report and what they do around the rename.
enum class QuarantineCaller
{
    ContentsListing,
    RunListing,
    RunDeletion,
    EntryViewer
};

class Form1 : public QMainWindow
{
    Q_OBJECT
public:
    explicit Form1(Form1Config config, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls, under the names the handlers use.
    DriveListBox* Drive1 = nullptr;
    DirListBox* Dir1 = nullptr;
    FileListBox* File1 = nullptr;
    ListBox* List1 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QFrame* Line1 = nullptr;
    AnimatedIcon* AniIcon1 = nullptr;
    Panel3D* SSPanel1 = nullptr;
    Panel3D* SSPanel2 = nullptr;
    Panel3D* SSPanel3 = nullptr;
    DriveInfo DiskInfo1;
    ZipComponent* XceedZip1 = nullptr;

    // Menus (object names "file", "vpurge", "lastRun", "exit", ... for lookups by name).
    QMenu* file = nullptr;
    QAction* vpurge = nullptr;
    QAction* lastRun = nullptr; // the account of the last clean-all run, in Form2; disabled before any run
    QAction* dead3 = nullptr;
    QAction* exitItem = nullptr;
    QMenu* help = nullptr;
    QAction* contents = nullptr;
    QAction* dead1 = nullptr;
    QAction* web = nullptr;
    QAction* email = nullptr;
    QAction* dead2 = nullptr;
    QAction* about = nullptr;

    // Shared state.
    qint16 runFlag = 0;           // -1 while a clean-all run is in progress; 0 otherwise and to ask for an abort
    QString currentFolder;        // Dir1's path without its trailing separator
    QString currentArchive;       // last archive listed or in work (lower-cased where the handlers say so)
    QString currentArchiveOnDisk; // the same archive as its path stands on disk, for every file operation
    QStringList selectedNames;    // names taken from File1, carried; index 1 is the archive the listing shows
    PurgeList purgeEntries;       // the purge list as last loaded
    QString ViewedEntry;          // lower-cased name of the entry last chosen for viewing
    QString repairFailure;        // the last archive this run could not clean as asked, and why; shown at its end
    struct RunCounts
    {
        qint64 processed = 0, bad = 0, doubles = 0;
        bool aborted = false;
    };
    RunCounts lastRunCounts; // the counts of the last clean-all run's summary
    RunReport runReport;     // the account of the last run; for an unattended one its dry run, report file, progress
    // An unattended run's verdict cache and read-ahead workers, as the command line asks.
    CollectionSettings collection;

    // Start-up and shutdown.
    void Form_Load();
    void exit_Click();
    void Form_Unload(qint16& cancel);
    // Unloads the window: the unload handler's clean-up, then the end of the process with this status.
    void Unload(int status = 0);
    bool unloaded() const { return m_unloaded; }

    // Browsing and listing.
    void Drive1_Change();
    void Dir1_Change();
    void File1_Click();
    void File1_MouseUp();
    void ShowArchiveContents();
    void XceedZip1_Listing(const QString& name);
    void XceedZip1_Status(qint16 percent);

    // Archive cleaning.
    // Empty when the archive was renamed to NAME.bad (or needed no rename); otherwise why it was not.
    QString Quarantine(QuarantineCaller caller);
    QString renameToBad(const QString& onDisk);
    // Starts a clean-all run of the folder shown, or aborts the run in progress.
    void Command2_Click();
    // Whether File1 lists the folder of path and shows its archive at position i.
    bool fileListShows(int i, const QString& path) const;
    // The clean-all run in progress, for a look at how far it is; null when none runs.
    const CleanRun* cleanRun() const { return m_run; }

    // Purge list commands.
    void Command1_Click();
    void vpurge_Click();
    void lastRun_Click();

    // Keyboard, viewer, help and about.
    void Form_KeyDown(int keyCode, int shift);
    void List1_DblClick();
    void contents_Click();
    void web_Click();
    void about_Click();
    void SSPanel3_Click();

    // Small services the handlers share.
    QString programFolder() const { return m_config.programFolder; }
    // A data file or folder: purge.txt and purge.bak in the config place, temp in the cache place, the
    // shipped files in the shared place (all the program folder in the portable layout).
    QString dataPath(const QString& name) const;
    QString commandLine() const { return m_config.commandLine; }
    bool unattended() const { return !m_config.commandLine.isEmpty(); }
    const Services& services() const { return m_config.services; }
    void setMousePointer(int pointer); // 11 hourglass, 0 default
    int mousePointer() const { return m_busy ? 11 : 0; }
    void pumpEvents();
    // Paints what changed now, whatever the frame rate of a run allows: for a state that must be on screen
    // before work that may keep the pump waiting.
    void paintNow();
    static constexpr int kFrameMs = 20; // a run's window paints at most once in this time
    qint64 msSincePump() const { return m_sincePump.isValid() ? m_sincePump.elapsed() : INT64_MAX; }
    void playSound(const QString& name, int flags);
    void launch(const QString& program, const QString& argument);
    void showMessage(const QString& text, int style, const QString& title);
    static QString countText(qint64 count); // decimal with the sign place of a non-negative number
    // Dir1's path by the current-folder rule: a root loses its trailing separator.
    QString folderFromDir() const;
    // The path of an archive of the folder Dir1 shows: the current-folder rule, a separator and the name.
    QString archivePath(const QString& name) const { return folderFromDir() + QLatin1Char('/') + name; }
    // Exit status of an unattended run: 0 ended, 1 aborted, 2 refused or no such folder.
    int runStatus() const { return m_runStatus; }
    void setRunStatus(int status) { m_runStatus = status; }
    // Where an unattended run writes its lines (summary, refusals); empty means stdout and stderr.
    std::function<void(const QString& line, bool toStderr)> writeConsole;
    void consoleLine(const QString& line, bool toStderr) const; // one line, through writeConsole when set
    // Archive work (a listing, a view, a deletion, Add, a clean-all run) runs one at a time: the component
    // pumps events inside its calls, and work started there would act on the component, List1 and the
    // current archive under the work in progress. Refused work is named on SSPanel2 (see ArchiveWork.h).
    bool beginArchiveWork(const QString& what, const QString& asked);
    void endArchiveWork();
    // Names refused work on SSPanel2 until the next listing or command starts.
    void showRefusal(const QString& words);
    bool archiveWorkInProgress() const { return !m_work.isEmpty(); }
    // A listing asked for during other work waits; the archive then selected is listed when that work ends.
    void listingWaits();
    Form2* form2() const;
    Form2* ensureForm2();
    bool aboutShowing() const { return m_aboutShowing; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildMenus();
    void connectHandlers();
    void restoreFromAnotherStart();
    // True when the window's request to paint comes too soon after the last one during a run; it is then sent
    // again at the frame's end.
    bool paintDeferred();

    Form1Config m_config;
    bool m_busy = false;
    bool m_unloaded = false;
    bool m_aboutShowing = false;
    bool m_skipTempCleanup = false;
    int m_runStatus = 0;
    QString m_work;    // the archive work in progress, as SSPanel2 names it; empty when none
    QString m_refusal; // the last refusal SSPanel2 was given, cleared when the next work starts
    bool m_listingWaits = false;
    QString m_waitWord; // what SSPanel2 says while a listing waits
    QPointer<Form2> m_form2;
    CleanRun* m_run = nullptr;   // the clean-all run in progress, owned by the Command2_Click that started it
    QElapsedTimer m_frame;       // since the window last painted during a run
    QElapsedTimer m_sincePump;   // since the event pump last ran
    bool m_paintPending = false; // a held-back request to paint waits for the frame's end
};
