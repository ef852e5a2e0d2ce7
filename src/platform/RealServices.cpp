#include "platform/RealServices.h"

#include "platform/TextEditor.h"
#include "zip/ShownText.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QSoundEffect>
#include <QSpacerItem>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

int titleBarWidth(const QString& title, const QFont& font)
{
    // Window managers draw titles in a bold face of about the desktop's size, beside the window's icon and
    // its buttons.
    QFont bold = font;
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    return metrics.horizontalAdvance(title) + 5 * metrics.height() + 24;
}

void widenForTitle(QMessageBox& box)
{
    // A message box sizes itself for its text and buttons only, and a short text leaves the title cut.
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    const int needed = titleBarWidth(box.windowTitle(), box.font());
    if (!grid || box.sizeHint().width() >= needed)
        return;
    grid->addItem(new QSpacerItem(needed, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

void ignoreHeldKeys(QWidget& box)
{
    struct Filter : QObject
    {
        QWidget* box;
        explicit Filter(QWidget* b) : QObject(b), box(b) {}
        bool eventFilter(QObject* watched, QEvent* event) override
        {
            const auto type = event->type();
            if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride)
                return false;
            auto* widget = qobject_cast<QWidget*>(watched);
            return widget && widget->window() == box && static_cast<QKeyEvent*>(event)->isAutoRepeat();
        }
    };
    qApp->installEventFilter(new Filter(&box));
}

void DesktopMessageBox::show(const QString& text, int style, const QString& title)
{
    // Without a screen nobody can press OK and the box would wait for ever: the message goes to stderr.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        const QString line = shown::escapedControls(
            QStringLiteral("tamsorel: %1: %2")
                .arg(title, text.split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char(' '))));
        std::fputs(line.toLocal8Bit().constData(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        return;
    }
    const QMessageBox::Icon icon = style == 16 ? QMessageBox::Critical : QMessageBox::Warning;
    QMessageBox box(icon, title, text, QMessageBox::Ok, m_parent);
    widenForTitle(box);
    ignoreHeldKeys(box);
    box.exec();
}

namespace {

// Length of a PCM wave file from its header, so that a machine without sound output still waits about as
// long as the sound would play instead of forever.
int waveMilliseconds(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray head = f.read(44);
    if (head.size() < 44 || !head.startsWith("RIFF"))
        return 0;
    auto u32 = [&](int at) {
        return quint32(uchar(head[at])) | quint32(uchar(head[at + 1])) << 8 | quint32(uchar(head[at + 2])) << 16 |
               quint32(uchar(head[at + 3])) << 24;
    };
    const quint32 bytesPerSecond = u32(28);
    return bytesPerSecond ? int(qint64(f.size() - 44) * 1000 / bytesPerSecond) : 0;
}

} // namespace

void WaveSoundPlayer::play(const QString& path, int flags)
{
    if (!QFileInfo(path).isFile())
        return;
    auto* effect = new QSoundEffect;
    effect->setSource(QUrl::fromLocalFile(path));
    const int expected = waveMilliseconds(path);
    if (flags == 1) {
        // Plays on after the call; the effect deletes itself when done (or after its length if no device plays it).
        QObject::connect(effect, &QSoundEffect::playingChanged, effect, [effect] {
            if (!effect->isPlaying())
                effect->deleteLater();
        });
        QTimer::singleShot(expected + 5000, effect, &QObject::deleteLater);
        effect->play();
        return;
    }
    QEventLoop loop;
    QObject::connect(effect, &QSoundEffect::playingChanged, &loop, [&] {
        if (!effect->isPlaying())
            loop.quit();
    });
    QObject::connect(effect, &QSoundEffect::statusChanged, &loop, [&] {
        if (effect->status() == QSoundEffect::Error)
            loop.quit();
    });
    QTimer::singleShot(expected + 1000, &loop, &QEventLoop::quit);
    effect->play();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    delete effect;
}

namespace {

// Hands a file or an address to the desktop's opener. `failed` runs when nothing could open it: at once when
// there is no opener, or when the opener ends in failure (no application for the file's type).
void openOnDesktop(const QUrl& target, const std::function<void()>& failed)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (failed)
            failed();
        return;
    }
    // Not parented and never deleted while it runs: ending the program must not end the editor it opened.
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process, [process, failed](int code, QProcess::ExitStatus status) {
        if ((status != QProcess::NormalExit || code != 0) && failed)
            failed();
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, failed](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        if (failed)
            failed();
        process->deleteLater();
    });
    process->start(opener, {target.isLocalFile() ? target.toLocalFile() : target.toString()});
#else
    if (!QDesktopServices::openUrl(target) && failed)
        failed();
#endif
}

} // namespace

void DesktopLauncher::start(const QString& program, const QString& argument, std::function<void()> failed)
{
    if (program == QLatin1String("webdial.exe")) {
        const QString address = argument.startsWith(QLatin1Char('$')) ? argument.mid(1) : argument;
        openOnDesktop(QUrl(address), failed);
        return;
    }
    if (program == QLatin1String("winhelp.exe") && argument.endsWith(QLatin1String(".hlp"), Qt::CaseInsensitive)) {
        // Desktops hand ".hlp" to a WinHelp viewer, if to anything; our help is HTML and lies beside it
        // under that name as well.
        const QString html = argument.left(argument.size() - 4) + QStringLiteral(".html");
        if (QFileInfo(html).isFile()) {
            openOnDesktop(QUrl::fromLocalFile(html), failed);
            return;
        }
    }
    if (program == QLatin1String("notepad.exe")) {
        // The user's text editor, by its desktop entry: handing the file to the desktop would choose by
        // the file's name and bytes, and a .diz or .nfo may then open in no editor at all.
        const texteditor::Places places = texteditor::Places::fromEnvironment();
        const QString entry = texteditor::desktopEntryPath(places, texteditor::defaultApplication(places));
        const QStringList command = entry.isEmpty() ? QStringList() : texteditor::commandFor(entry, argument);
        if (!command.isEmpty() && QProcess::startDetached(command.first(), command.mid(1)))
            return;
    }
    if (program == QLatin1String("notepad.exe") || program == QLatin1String("winhelp.exe")) {
        openOnDesktop(QUrl::fromLocalFile(argument), failed);
        return;
    }
    if (!QProcess::startDetached(program, {argument}) && failed)
        failed();
}

namespace {

// True for a folder of this user that nobody else may write in: only there a socket name cannot be taken
// by another user first.
bool ownPrivateFolder(const QByteArray& path)
{
    struct stat st = {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

QString LocalSocketInstanceGuard::socketFolder(QString* problem)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && ownPrivateFolder(runtime))
        return QFile::decodeName(runtime);
    // No runtime folder (cron, su): one of our own in the temp folder, keyed by the numeric user id.
    const QByteArray own = QFile::encodeName(QDir::tempPath()) + "/tamsorel-" + QByteArray::number(::geteuid());
    ::mkdir(own.constData(), 0700);
    if (ownPrivateFolder(own))
        return QFile::decodeName(own);
    if (problem)
        *problem = QStringLiteral("%1 belongs to another user or is open to others; one instance per user is not "
                                  "enforced")
                       .arg(QFile::decodeName(own));
    return {};
}

LocalSocketInstanceGuard::LocalSocketInstanceGuard(const QString& dataFolder)
{
    // One name per data folder: two copies of the program with places of their own may run together.
    const QByteArray folderHash =
        QCryptographicHash::hash(QDir::cleanPath(dataFolder).toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    const QString folder = socketFolder(&m_problem);
    if (!folder.isEmpty())
        m_name = QStringLiteral("%1/tamsorel-%2.socket").arg(folder, QString::fromLatin1(folderHash));
}

LocalSocketInstanceGuard::~LocalSocketInstanceGuard()
{
    release();
}

void LocalSocketInstanceGuard::release()
{
    // Closing the server removes its socket file.
    if (m_server)
        m_server->close();
    m_server.reset();
}

bool LocalSocketInstanceGuard::previousInstance()
{
    if (m_name.isEmpty())
        return false;
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(500)) {
        probe.disconnectFromServer();
        return true;
    }
    // Nobody answers: a socket file left by a crashed instance must not block this one.
    QLocalServer::removeServer(m_name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name))
        return false;
    QObject::connect(m_server.get(), &QLocalServer::newConnection, m_server.get(), [this] {
        while (QLocalSocket* s = m_server->nextPendingConnection()) {
            QObject::connect(s, &QLocalSocket::readyRead, s, [this, s] {
                if (s->readAll().contains("raise") && m_handler)
                    m_handler();
            });
            QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    return false;
}

void LocalSocketInstanceGuard::activatePrevious()
{
    if (m_name.isEmpty())
        return;
    QLocalSocket s;
    s.connectToServer(m_name);
    if (!s.waitForConnected(1000))
        return;
    s.write("raise\n");
    s.waitForBytesWritten(1000);
    s.disconnectFromServer();
}

void LocalSocketInstanceGuard::onActivateRequest(std::function<void()> handler)
{
    m_handler = std::move(handler);
}
