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

class LocalSocketInstanceGuard : public InstanceGuard
{
public:
    explicit LocalSocketInstanceGuard(const QString& programFolder);
    ~LocalSocketInstanceGuard() override;
    bool previousInstance() override;
    void activatePrevious() override;
    void onActivateRequest(std::function<void()> handler) override;
    QString serverName() const { return m_name; }

private:
    QString m_name;
    std::unique_ptr<QLocalServer> m_server;
    std::function<void()> m_handler;
};
