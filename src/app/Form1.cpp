#include "app/Form1.h"

#include "app/Icons.h"
#include "browse/Form2.h"
#include "platform/AnimatedIcon.h"
#include "platform/DirListBox.h"
#include "platform/DriveListBox.h"
#include "platform/FileListBox.h"
#include "platform/FocusLook.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/ShownName.h"
#include "platform/Twips.h"
#include "zip/ZipComponent.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>
#include <algorithm>

Form1::Form1(Form1Config config, QWidget* parent)
    : QMainWindow(parent), purgeEntries(config.folders.config.isEmpty() ? config.programFolder : config.folders.config),
      m_config(std::move(config))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Tamsorel"));
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    selectedNames.resize(20001);
    XceedZip1 = new ZipComponent(this);
    XceedZip1->setProgressHook([this] { pumpEvents(); });
    buildControls();
    buildMenus();
    connectHandlers();

    // Fixed client area, centred on the screen.
    const QSize client(twips(this, 6375), twips(this, 4200));
    centralWidget()->setFixedSize(client);
    setFixedSize(client.width(), client.height() + menuBar()->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    // Key preview: every key pressed in the window reaches Form_KeyDown before the focused control.
    qApp->installEventFilter(this);

    // The lists start on the start folder as the window opens, without running their change handlers:
    // the load handler chooses what is shown first.
    if (!m_config.startFolder.isEmpty()) {
        const QSignalBlocker driveQuiet(Drive1);
        const QSignalBlocker dirQuiet(Dir1);
        Drive1->setDriveFor(m_config.startFolder);
        Dir1->setPath(m_config.startFolder);
        File1->setPath(Dir1->Path());
    }
}

Form1::~Form1()
{
    qApp->removeEventFilter(this);
    if (m_busy)
        QApplication::restoreOverrideCursor();
}

namespace {

// Room between a button's edge and its picture, where the caption leaves room for it, in pixels.
constexpr int kButtonMargin = 3;
constexpr int kMaxPicture = 12;
constexpr int kMinPicture = 7; // smaller, the broom is a smudge

// Sizes the button's picture to what the longest of its captions leaves inside its border: the caption keeps
// the window's font, as every other button's does, and the style centres picture and caption together.
void fitPicture(QPushButton* button, const QStringList& captions)
{
    QStyleOptionButton option;
    option.initFrom(button);
    const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    const QFontMetrics metrics(button->font());
    int widest = 0;
    for (QString caption : captions)
        widest = qMax(widest, metrics.horizontalAdvance(caption.remove(QLatin1Char('&'))));
    const int spare = contents.width() - 4 - widest; // the style leaves 4 pixels between picture and caption
    const int withMargins = spare - 2 * kButtonMargin;
    const int picture = std::max(kMinPicture, std::min({kMaxPicture, contents.height() - 2 * kButtonMargin,
                                                        withMargins >= kMinPicture ? withMargins : spare}));
    button->setIconSize(QSize(picture, picture));
}

} // namespace

void Form1::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    // The layout is measured for a small dialog font; a larger desktop font would cut the captions.
    QFont small = client->font();
    small.setPointSizeF(8);
    client->setFont(small);
    auto place = [this](QWidget* w, const char* name, int l, int t, int wd, int h) {
        w->setObjectName(QString::fromLatin1(name));
        w->setGeometry(twipsRect(this, l, t, wd, h));
    };
    Drive1 = new DriveListBox(client);
    place(Drive1, "Drive1", 120, 105, 1950, 315);
    Dir1 = new DirListBox(client);
    place(Dir1, "Dir1", 105, 495, 1950, 3240);
    File1 = new FileListBox(client);
    place(File1, "File1", 2130, 510, 1950, 3210);
    List1 = new ListBox(client);
    place(List1, "List1", 4155, 525, 2085, 2595);
    Command2 = new QPushButton(cleanAllIcon(), QStringLiteral("&Clean all"), client);
    place(Command2, "Command2", 4200, 3330, 915, 345);
    fitPicture(Command2, {QStringLiteral("&Clean all"), QStringLiteral("&Abort")});
    Command1 = new QPushButton(QStringLiteral("&Add"), client);
    place(Command1, "Command1", 5295, 3330, 945, 345);
    Label1 = new QLabel(client);
    place(Label1, "Label1", 2085, 210, 1920, 525);
    Label2 = new QLabel(client);
    place(Label2, "Label2", 2730, 135, 2610, 255);
    Label2->setAlignment(Qt::AlignCenter);
    Line1 = new QFrame(client);
    Line1->setFrameShape(QFrame::VLine);
    place(Line1, "Line1", 5700, 3120, 15, 180);
    AniIcon1 = new AnimatedIcon(client);
    place(AniIcon1, "AniIcon1", 2235, 15, 480, 480);
    AniIcon1->hide();
    // Label1 lies over File1's first row and scroll bar: the controls without a handler let every click
    // through to what lies beneath them.
    for (QWidget* w : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(Label2), static_cast<QWidget*>(Line1),
                       static_cast<QWidget*>(AniIcon1)})
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
    Label1->lower();
    SSPanel1 = new Panel3D(client);
    place(SSPanel1, "SSPanel1", 90, 3840, 1965, 225);
    SSPanel2 = new Panel3D(client);
    place(SSPanel2, "SSPanel2", 2160, 3840, 4080, 225);
    // 225 twips cut the descenders and the underscore of the status line's names: the two panels grow
    // down into the window's bottom margin until their captions show at full line height.
    for (Panel3D* panel : {SSPanel1, SSPanel2})
        panel->resize(panel->width(), qBound(panel->height(), panel->captionHeight(), twips(this, 4200) - panel->y()));
    SSPanel3 = new Panel3D(client);
    place(SSPanel3, "SSPanel3", 5520, 75, 720, 330);
    SSPanel3->setCaption(QStringLiteral("TS"));
    // The initials as large as the panel shows them whole.
    QFont initials = decorativeFont(18);
    while (QFontMetrics(initials).height() > SSPanel3->captionRect().height() && initials.pointSizeF() > 8)
        initials.setPointSizeF(initials.pointSizeF() - 0.5);
    SSPanel3->setFont(initials);
    SSPanel3->setCursor(Qt::PointingHandCursor);

    showFocusOnSelection(File1);
    showFocusOnSelection(Dir1);
    setTabOrder(File1, Command2);
    setTabOrder(Command2, Drive1);
    setTabOrder(Drive1, Dir1);
    setTabOrder(Dir1, List1);
    setTabOrder(List1, Command1);
}

void Form1::buildMenus()
{
    auto item = [](QMenu* menu, const char* name, const QString& caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    auto separator = [](QMenu* menu, const char* name) {
        QAction* a = menu->addSeparator();
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("file"));
    vpurge = item(file, "vpurge", QStringLiteral("&View purge.txt..."));
    lastRun = item(file, "lastRun", QStringLiteral("&Last run..."));
    lastRun->setEnabled(false);
    dead3 = separator(file, "dead3");
    exitItem = item(file, "exit", QStringLiteral("E&xit"));
    help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("help"));
    contents = item(help, "contents", QStringLiteral("&Contents..."));
    dead1 = separator(help, "dead1");
    web = item(help, "web", QStringLiteral("&Web..."));
    email = item(help, "email", QStringLiteral("&Email..."));
    dead2 = separator(help, "dead2");
    about = item(help, "about", QStringLiteral("&About..."));
}

void Form1::connectHandlers()
{
    connect(Drive1, &DriveListBox::Change, this, &Form1::Drive1_Change);
    connect(Dir1, &DirListBox::Change, this, &Form1::Dir1_Change);
    connect(File1, &FileListBox::Click, this, &Form1::File1_Click);
    connect(File1, &FileListBox::MouseUp, this, &Form1::File1_MouseUp);
    connect(List1, &ListBox::DblClick, this, &Form1::List1_DblClick);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(SSPanel3, &Panel3D::Click, this, &Form1::SSPanel3_Click);
    connect(XceedZip1, &ZipComponent::Listing, this, &Form1::XceedZip1_Listing);
    connect(XceedZip1, &ZipComponent::Status, this, &Form1::XceedZip1_Status);
    connect(vpurge, &QAction::triggered, this, &Form1::vpurge_Click);
    connect(lastRun, &QAction::triggered, this, &Form1::lastRun_Click);
    connect(exitItem, &QAction::triggered, this, &Form1::exit_Click);
    connect(contents, &QAction::triggered, this, &Form1::contents_Click);
    connect(web, &QAction::triggered, this, &Form1::web_Click);
    connect(about, &QAction::triggered, this, &Form1::about_Click);
    if (m_config.services.instanceGuard)
        m_config.services.instanceGuard->onActivateRequest([this] { restoreFromAnotherStart(); });
}

void Form1::restoreFromAnotherStart()
{
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == this && event->type() == QEvent::UpdateRequest && paintDeferred())
        return true;
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto* w = static_cast<QWidget*>(watched);
        // Once per key: at the control that has the focus (or the window itself when none has), not again
        // while the key travels up to the parents.
        const QWidget* focus = focusWidget();
        if (w->window() == this && (w == focus || (!focus && w == this))) {
            const auto* key = static_cast<QKeyEvent*>(event);
            int code = 0;
            switch (key->key()) {
            case Qt::Key_Up:
                code = 38;
                break;
            case Qt::Key_Down:
                code = 40;
                break;
            case Qt::Key_Delete:
                code = 46;
                break;
            case Qt::Key_Escape:
                code = 27;
                break;
            case Qt::Key_F1:
                code = 112;
                break;
            default:
                break;
            }
            if (code) {
                const Qt::KeyboardModifiers m = key->modifiers();
                const int shift =
                    (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0) | (m & Qt::AltModifier ? 4 : 0);
                Form_KeyDown(code, shift);
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

QString Form1::dataPath(const QString& name) const
{
    const DataFolders& places = m_config.folders;
    QString folder = places.shared;
    if (name == QLatin1String("purge.txt") || name == QLatin1String("purge.bak"))
        folder = places.config;
    else if (name == QLatin1String("temp"))
        folder = places.cache;
    return (folder.isEmpty() ? m_config.programFolder : folder) + QLatin1Char('/') + name;
}

void Form1::setMousePointer(int pointer)
{
    // Absolute like the window's pointer property: 11 sets the hourglass, 0 takes it away, however often called.
    const bool busy = pointer == 11;
    if (busy == m_busy)
        return;
    m_busy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void Form1::pumpEvents()
{
    m_sincePump.start();
    QCoreApplication::processEvents();
}

void Form1::paintNow()
{
    if (!isVisible())
        return;
    m_frame.invalidate();
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(this, &request);
}

bool Form1::paintDeferred()
{
    // During a run the window paints at most once a frame: painting every small archive's lines and counts
    // cost more than cleaning it, and nobody sees the states between two frames. What is held back is the
    // window's one request to paint everything that changed, so a frame that is shown is always whole; a
    // timer sends the request at the frame's end, so the last state is shown, also after the run. It paints at
    // once, in the pump whose turn is due: a request posted from the timer would wait for one pump more, and a
    // pump can be a long while off when the disk makes a rewrite's writes wait.
    if (runFlag != -1)
        return false;
    if (!m_frame.isValid() || m_frame.elapsed() >= kFrameMs) {
        m_frame.start();
        return false;
    }
    if (!m_paintPending) {
        m_paintPending = true;
        QTimer::singleShot(kFrameMs - int(m_frame.elapsed()), this, [this] {
            m_paintPending = false;
            paintNow();
        });
    }
    return true;
}

void Form1::playSound(const QString& name, int flags)
{
    if (m_config.services.sound)
        m_config.services.sound->play(dataPath(name), flags);
}

void Form1::launch(const QString& program, const QString& argument)
{
    if (!m_config.services.launcher)
        return;
    // Where nothing can open the file or page, the message line says so; the launcher may find that out only
    // after this handler has ended.
    QString what;
    if (program == QLatin1String("webdial.exe"))
        what = argument.startsWith(QLatin1Char('$')) ? argument.mid(1) : argument;
    else if (program == QLatin1String("winhelp.exe"))
        what = QStringLiteral("the help");
    else
        what = shownName(QFileInfo(argument).fileName());
    m_config.services.launcher->start(program, argument, [self = QPointer<Form1>(this), what] {
        if (self)
            self->SSPanel2->setCaption(QStringLiteral("No program to open ") + what);
    });
}

void Form1::showMessage(const QString& text, int style, const QString& title)
{
    // Nobody is there to close a box in an unattended run: the message is a line on stderr, and the run
    // ends with status 2 so it is not taken for a clean success.
    if (unattended()) {
        consoleLine(QStringLiteral("tamsorel: %1: %2").arg(title, shownText(text)), true);
        m_runStatus = 2;
        return;
    }
    if (m_config.services.messageBox)
        m_config.services.messageBox->show(shownText(text), style, title);
}

QString Form1::countText(qint64 count)
{
    return QLatin1Char(' ') + QString::number(count);
}

QString Form1::folderFromDir() const
{
    QString path = Dir1->Path();
    if (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    return path;
}

Form2* Form1::ensureForm2()
{
    if (!m_form2) {
        m_form2 = new Form2(this);
        m_form2->setAttribute(Qt::WA_DeleteOnClose);
    }
    return m_form2;
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    Unload(unattended() && runFlag ? 1 : m_runStatus);
}

Form2* Form1::form2() const
{
    return m_form2;
}
