#pragma once
// SIGINT, SIGTERM and SIGHUP as a request to abort: the handler only writes the signal's number into a
// pipe, and the event loop hands it to the callback, so the run stops at a point where stopping is safe.

#include <QObject>
#include <functional>

class QSocketNotifier;

class AbortSignals : public QObject
{
public:
    // Installs the handlers; `onSignal` runs in the event loop with the signal's number.
    explicit AbortSignals(std::function<void(int)> onSignal);
    ~AbortSignals() override;

    // True once a signal came, even before the event loop has passed it on.
    static bool received();
    // Installs the handlers with no event loop yet: a signal only sets received(). For the first instruction
    // of main(), so a signal at any time of a run asks it to stop instead of killing it.
    static void installEarly();
    // The handlers go: the signals do what they do by default again.
    static void restoreDefaults();
    bool installed() const { return m_notifier != nullptr; }

private:
    std::function<void(int)> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
};
