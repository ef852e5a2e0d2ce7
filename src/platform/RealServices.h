#pragma once
// The services as the desktop provides them.

#include "platform/Services.h"

#include <QObject>
#include <memory>

class QFont;
class QLocalServer;
class QMessageBox;
class QWidget;

// The width a title bar needs to show `title` whole, in pixels, for a desktop font like `font`.
int titleBarWidth(const QString& title, const QFont& font);
// Widens a message box, where its text and buttons leave it narrower, so that its title shows whole.
void widenForTitle(QMessageBox& box);

// Keeps a box from being answered by a key that was already held down when it appeared (Enter or Space that
// pressed the button whose work ends in this box): the key's repeats would press its default button at once,
// and the box would come and go unseen.
void ignoreHeldKeys(QWidget& box);

class DesktopMessageBox : public MessageBox
{
public:
    explicit DesktopMessageBox(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }
    void show(const QString& text, int style, const QString& title) override;

private:
    QWidget* m_parent;
};

class WaveSoundPlayer : public SoundPlayer
{
public:
    void play(const QString& path, int flags) override;
};

class DesktopLauncher : public Launcher
{
public:
    void start(const QString& program, const QString& argument, std::function<void()> failed) override;
};

// The socket lies in a folder only this user can write in ($XDG_RUNTIME_DIR, or a folder of this user's
// numeric id in the temp folder), so no other user can take its name first.
class LocalSocketInstanceGuard : public InstanceGuard
{
public:
    explicit LocalSocketInstanceGuard(const QString& dataFolder);
    ~LocalSocketInstanceGuard() override;
    bool previousInstance() override;
    void activatePrevious() override;
    void onActivateRequest(std::function<void()> handler) override;
    // The socket's full path; empty when no private folder could be had (see problem()).
    QString serverName() const { return m_name; }
    QString problem() const { return m_problem; }
    // Ends the guard and removes its socket; for an end of the process that runs no destructor.
    void release();
    // The folder for the socket; empty, with the reason, when none is private to this user.
    static QString socketFolder(QString* problem = nullptr);

private:
    QString m_name;
    QString m_problem;
    std::unique_ptr<QLocalServer> m_server;
    std::function<void()> m_handler;
};
