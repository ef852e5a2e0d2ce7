/* A disk that makes writes wait, preloaded into the program by scripts/check-run-frames and the end-to-end
   tests: it holds every in-kernel copy, and every sync of a file over 1 MB, back for a while, as a busy or
   throttled disk does. SLOWDISK_COPY_MS and SLOWDISK_SYNC_MS set the waits (100 and 300 ms); a file named by
   SLOWDISK_MARK is made when such a sync begins, so a test can act while it lasts. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static unsigned waitMs(const char* name, unsigned fallback)
{
    const char* value = getenv(name);
    return value && *value ? (unsigned)strtoul(value, NULL, 10) : fallback;
}

ssize_t copy_file_range(int in, off_t* inAt, int out, off_t* outAt, size_t n, unsigned flags)
{
    static ssize_t (*real)(int, off_t*, int, off_t*, size_t, unsigned);
    if (!real)
        real = (ssize_t(*)(int, off_t*, int, off_t*, size_t, unsigned))dlsym(RTLD_NEXT, "copy_file_range");
    usleep(waitMs("SLOWDISK_COPY_MS", 100) * 1000u);
    return real(in, inAt, out, outAt, n, flags);
}

int fsync(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 1000000) {
        const char* mark = getenv("SLOWDISK_MARK");
        if (mark && *mark) {
            const int made = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (made >= 0)
                close(made);
        }
        usleep(waitMs("SLOWDISK_SYNC_MS", 300) * 1000u);
    }
    return real(fd);
}
