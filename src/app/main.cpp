// Tamsorel: keeps a folder of ZIP archives clean.

#include "app/CommandLine.h"
#include "app/DisplayCheck.h"
#include "app/Signals.h"
#include "app/UnattendedMain.h"

#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// The window lives in a library of its own, loaded only when the window is wanted: an unattended run loads
// neither Qt's widgets nor its graphics, and starts in a few milliseconds.
int windowMain(int argc, char* argv[])
{
    std::string folder(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", folder.data(), folder.size() - 1);
    folder.resize(n > 0 ? size_t(n) : 0);
    folder = folder.substr(0, folder.rfind('/') + 1);
    // Beside the program in the build tree, in the library folder once installed.
    void* window = nullptr;
    std::string problem;
    for (const char* place : {"", TAMSOREL_WINDOW_LIBRARY_DIR "/"}) {
        const std::string path = folder + place + "libtamsorel-window.so";
        if (::access(path.c_str(), F_OK) != 0)
            continue;
        window = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (window)
            break;
        problem = ::dlerror();
    }
    using Entry = int (*)(int, char**);
    const auto entry = window ? reinterpret_cast<Entry>(::dlsym(window, "tamsorelWindowMain")) : nullptr;
    if (!entry) {
        std::fprintf(stderr, "tamsorel: cannot load the window (%s); give a FOLDER to clean it without a window\n",
                     problem.empty() ? "libtamsorel-window.so is missing" : problem.c_str());
        return 2;
    }
    return entry(argc, argv);
}

} // namespace

int main(int argc, char* argv[])
{
    // First of all: a signal from here on asks an unattended run to stop, so it still ends with its report
    // and removes its temp folder.
    AbortSignals::installEarly();
#ifdef __GLIBC__
    // glibc gives each thread its own arena, and each arena keeps freed memory for later; the data test's
    // large buffers come from its own pool, so two arenas serve the rest as fast and keep less.
    mallopt(M_ARENA_MAX, 2);
#endif
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args.append(QByteArray(argv[i]));
    RunOptions options = parseCommandLine(args);
    if (options.help && args.size() == 1) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (options.version && args.size() == 1) {
        std::printf("Tamsorel %s\n%s", TAMSOREL_VERSION, licenceText());
        return 0;
    }
    if (!options.error.isEmpty() || options.help || options.version) {
        std::fprintf(
            stderr, "tamsorel: %s\nTry 'tamsorel --help'.\n",
            qPrintable(options.error.isEmpty() ? QStringLiteral("--help and --version stand alone") : options.error));
        return 2;
    }
    // With folders, the run needs no window: no widget, no display, no fonts.
    if (options.unattended())
        return unattendedMain(argc, argv, options);
    AbortSignals::restoreDefaults();
    // Qt ends the process when its platform cannot open the display (a stale ssh -X or tmux session, sudo):
    // the window cannot open and says so, before its library is loaded.
    QString display;
    if (!displayUsable(&display)) {
        std::fprintf(stderr, "tamsorel: cannot open the display (%s); give a FOLDER to clean it without a window\n",
                     display.toLocal8Bit().constData());
        return 2;
    }
    return windowMain(argc, argv);
}
