#include "app/Signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_received = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onSignal(int number)
{
    // Only async-signal-safe calls here; errno is the interrupted code's.
    const int saved = errno;
    g_received = number;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void AbortSignals::installEarly()
{
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

void AbortSignals::restoreDefaults()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

AbortSignals::AbortSignals(std::function<void(int)> onSignalCallback) : m_onSignal(std::move(onSignalCallback))
{
    installEarly();
    if (g_pipe[0] < 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(g_pipe[0], &byte, 1) == 1)
            if (m_onSignal)
                m_onSignal(int(byte));
    });
    installEarly();
}

AbortSignals::~AbortSignals()
{
    restoreDefaults();
}

bool AbortSignals::received()
{
    return g_received != 0;
}
