/* A file system that says it is another kind, preloaded into the program by the end-to-end tests where the
   real one cannot be mounted: statfs of a path under FAKEFS_ROOT answers FAKEFS_TYPE (hex, as statfs's
   f_type) and the rest as the real file system does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statfs.h>

static void pretend(const char* path, struct statfs* fs)
{
    const char* root = getenv("FAKEFS_ROOT");
    const char* type = getenv("FAKEFS_TYPE");
    if (root && *root && type && *type && strncmp(path, root, strlen(root)) == 0)
        fs->f_type = (__fsword_t)strtoul(type, NULL, 16);
}

int statfs(const char* path, struct statfs* fs)
{
    static int (*real)(const char*, struct statfs*);
    if (!real)
        real = (int (*)(const char*, struct statfs*))dlsym(RTLD_NEXT, "statfs");
    const int rc = real(path, fs);
    if (rc == 0)
        pretend(path, fs);
    return rc;
}

int statfs64(const char* path, struct statfs64* fs)
{
    static int (*real)(const char*, struct statfs64*);
    if (!real)
        real = (int (*)(const char*, struct statfs64*))dlsym(RTLD_NEXT, "statfs64");
    const int rc = real(path, fs);
    if (rc == 0)
        pretend(path, (struct statfs*)fs);
    return rc;
}
