/* Loads a library that uses libZeq, runs regions and a coload call (which
 * starts the service threads) through it and unloads it, twenty times or as
 * many as the third argument says.  After each unload libZeq must be gone and
 * every worker thread must have ended: a worker left behind would run unmapped
 * code.  With a fourth argument "driver-threads" the thread count to return to
 * is taken after the first cycle instead of before it, since a device driver
 * that libZeq loaded keeps threads of its own (and stays loaded).  Prints "ok"
 * and exits 0 on success. */
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int thread_count(void)
{
    DIR *dir = opendir("/proc/self/task");
    int n = 0;
    if (!dir)
        return -1;
    for (struct dirent *e; (e = readdir(dir));)
        n += e->d_name[0] != '.';
    closedir(dir);
    return n;
}

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: unload_probe user-library zeq-library [cycles [driver-threads]]\n");
        return 2;
    }
    int cycles = argc > 3 ? atoi(argv[3]) : 20;
    int settle_first = argc > 4 && strcmp(argv[4], "driver-threads") == 0;
    int baseline = thread_count();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        void *user = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        if (!user) {
            fprintf(stderr, "cycle %d: %s\n", cycle, dlerror());
            return 1;
        }
        int (*run)(int) = (int (*)(int))dlsym(user, "unload_user_run");
        if (!run || run(200) != 8) {
            fprintf(stderr, "cycle %d: regions did not run every member\n", cycle);
            return 1;
        }
        if (dlclose(user) != 0) {
            fprintf(stderr, "cycle %d: %s\n", cycle, dlerror());
            return 1;
        }
        if (dlopen(argv[2], RTLD_NOW | RTLD_NOLOAD)) {
            fprintf(stderr, "cycle %d: libZeq is still loaded\n", cycle);
            return 1;
        }
        /* A joined thread can linger in /proc for a moment while the kernel
         * (or an emulator) finishes its exit: allow it a second to go. */
        if (cycle == 0 && settle_first) {
            usleep(200000); /* our own threads leave /proc meanwhile */
            baseline = thread_count();
        }
        int now = thread_count();
        for (int tries = 0; now != baseline && tries < 100; ++tries) {
            usleep(10000);
            now = thread_count();
        }
        if (now != baseline) {
            fprintf(stderr, "cycle %d: %d threads after unload, %d before load\n", cycle, now, baseline);
            return 1;
        }
    }
    puts("ok");
    return 0;
}
