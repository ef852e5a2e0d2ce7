#include "app/DisplayCheck.h"

#include <QStringList>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool connectsTo(const QByteArray& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const qsizetype room = qsizetype(sizeof(address.sun_path)) - 1;
    if (path.isEmpty() || path.size() > room)
        return false;
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

// Wayland has no authentication: a compositor that accepts the connection is one Qt can use.
bool waylandUsable()
{
    const QByteArray display =
        qgetenv("WAYLAND_DISPLAY").isEmpty() ? QByteArray("wayland-0") : qgetenv("WAYLAND_DISPLAY");
    if (display.startsWith('/'))
        return connectsTo(display);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && connectsTo(runtime + '/' + display);
}

// X needs the whole handshake: a socket that answers may still refuse this user (sudo, a stale ssh -X
// cookie). libxcb is what Qt's xcb platform uses; without it Qt could not open the display either.
bool xcbUsable()
{
    if (qgetenv("DISPLAY").isEmpty())
        return false;
    void* xcb = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!xcb)
        return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool usable = false;
    if (connect && hasError && disconnect) {
        void* connection = connect(nullptr, nullptr);
        usable = connection && hasError(connection) == 0;
        if (connection)
            disconnect(connection);
    }
    ::dlclose(xcb);
    return usable;
}

} // namespace

bool displayUsable(QString* why)
{
    QStringList platforms = qEnvironmentVariable("QT_QPA_PLATFORM").split(u';', Qt::SkipEmptyParts);
    if (platforms.isEmpty()) {
        // Qt's own choice on Linux: Wayland first in a Wayland session, X otherwise and as the fallback.
        if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
            platforms << QStringLiteral("wayland");
        platforms << QStringLiteral("xcb");
    }
    QStringList tried;
    for (QString platform : platforms) {
        platform = platform.section(u':', 0, 0).trimmed(); // "xcb:option" carries options after a colon
        if (platform == QLatin1String("xcb")) {
            if (xcbUsable())
                return true;
            tried << QStringLiteral("X display \"%1\"").arg(qEnvironmentVariable("DISPLAY"));
        } else if (platform.startsWith(QLatin1String("wayland"))) {
            if (waylandUsable())
                return true;
            tried << QStringLiteral("Wayland display \"%1\"").arg(qEnvironmentVariable("WAYLAND_DISPLAY"));
        } else {
            return true; // offscreen, minimal, eglfs, vnc, ...: no display server to ask
        }
    }
    if (why)
        *why = qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                   ? QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set")
                   : tried.join(QStringLiteral(", "));
    return false;
}
