#pragma once
// Recording stand-ins for the outside services, for tests: they do nothing but remember what was asked.

#include "platform/Services.h"

#include <QList>
#include <QStringList>

struct RecordedMessage
{
    QString text;
    int style = 0;
    QString title;
};

class FakeMessageBox : public MessageBox
{
public:
    void show(const QString& text, int style, const QString& title) override
    {
        messages.append({text, style, title});
        if (onShow)
            onShow();
    }
    QList<RecordedMessage> messages;
    std::function<void()> onShow;
};

class FakeSoundPlayer : public SoundPlayer
{
public:
    void play(const QString& path, int flags) override
    {
        played.append(path);
        playedFlags.append(flags);
        if (whilePlaying)
            whilePlaying(path, flags);
    }
    QStringList played;
    QList<int> playedFlags;
    std::function<void(const QString&, int)> whilePlaying;
};

class FakeLauncher : public Launcher
{
public:
    void start(const QString& program, const QString& argument, std::function<void()> failed) override
    {
        programs.append(program);
        arguments.append(argument);
        if (nothingOpens && failed)
            failed();
    }
    QStringList programs;
    QStringList arguments;
    bool nothingOpens = false; // as on a desktop without an editor, help viewer or browser
};

class FakeInstanceGuard : public InstanceGuard
{
public:
    bool previousInstance() override { return running; }
    void activatePrevious() override { ++activations; }
    void onActivateRequest(std::function<void()> handler) override { activateHandler = std::move(handler); }
    bool running = false;
    int activations = 0;
    std::function<void()> activateHandler;
};

// All fakes together, with an exit that records the status instead of ending the test.
struct FakeServices
{
    FakeMessageBox messageBox;
    FakeSoundPlayer sound;
    FakeLauncher launcher;
    FakeInstanceGuard instanceGuard;
    QList<int> exits;

    Services services()
    {
        Services s;
        s.messageBox = &messageBox;
        s.sound = &sound;
        s.launcher = &launcher;
        s.instanceGuard = &instanceGuard;
        s.exitProcess = [this](int status) { exits.append(status); };
        return s;
    }
};
