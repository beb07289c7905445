/* outside_net.so: a module that must never be loaded, placed outside the
 * agent folder by the tests.  Loading it leaves "outside_loaded" beside it,
 * before any export could be called. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void mark_loaded(void)
{
    Dl_info info;
    if (!dladdr((void *)mark_loaded, &info) || !info.dli_fname)
        return;
    char path[4096];
    const char *slash = strrchr(info.dli_fname, '/');
    size_t folder = slash ? (size_t)(slash - info.dli_fname + 1) : 0;
    snprintf(path, sizeof path, "%.*soutside_loaded", (int)folder, info.dli_fname);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0)
        close(fd);
}

void fline1(size_t *arg)
{
}
