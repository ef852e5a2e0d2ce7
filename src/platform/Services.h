#pragma once
// The outside services the window's handlers call: message boxes, sounds, launched programs and the
// single-instance check. Each is a small interface with a real implementation (RealServices.h) and a
// recording fake for tests (FakeServices.h).

#include <QString>
#include <functional>

class MessageBox
{
public:
    virtual ~MessageBox() = default;
    // style 16: OK with the stop icon; 48: OK with the exclamation icon. The answer is never used.
    virtual void show(const QString& text, int style, const QString& title) = 0;
};

class SoundPlayer
{
public:
    virtual ~SoundPlayer() = default;
    // flags 1: return at once, the sound plays on; flags 0: return when the sound has ended, handling no user
    // input meanwhile. A missing file is silence.
    virtual void play(const QString& path, int flags) = 0;
};

class Launcher
{
public:
    virtual ~Launcher() = default;
    // Starts a separate program without waiting. `program` is the name the handlers use ("notepad.exe",
    // "winhelp.exe", "webdial.exe"); `argument` is one argument, whatever blanks it holds. `failed` runs when
    // no program could open it, at once or once the desktop's opener has given up.
    virtual void start(const QString& program, const QString& argument, std::function<void()> failed) = 0;
};

class InstanceGuard
{
public:
    virtual ~InstanceGuard() = default;
    // True when an instance of this program, for this user and program folder, is already running.
    // When false, this instance becomes the one that later starts will find.
    virtual bool previousInstance() = 0;
    // Asks the running instance to restore and raise its window.
    virtual void activatePrevious() = 0;
    // Called in the running instance when a later start asks it to come to the front.
    virtual void onActivateRequest(std::function<void()> handler) = 0;
};

struct Services
{
    MessageBox* messageBox = nullptr;
    SoundPlayer* sound = nullptr;
    Launcher* launcher = nullptr;
    InstanceGuard* instanceGuard = nullptr;
    // Ends the process with the given status. The real one never returns; the test one records and returns.
    std::function<void(int)> exitProcess;
};
