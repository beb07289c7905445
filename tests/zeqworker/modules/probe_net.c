/* probe_net.so: a remote module of the agent's tests, one export per case.
 * Each export takes the argument words as a module made from zeqremote's
 * output does: word i points at argument i inside the agent's copy of the
 * data block. */
#define _GNU_SOURCE
#include <Zeq.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* The module's own folder (the agent folder it was loaded from) + name. */
static void path_beside_module(char *out, size_t size, const char *name)
{
    Dl_info info;
    out[0] = 0;
    if (!dladdr((void *)path_beside_module, &info) || !info.dli_fname)
        return;
    const char *slash = strrchr(info.dli_fname, '/');
    size_t folder = slash ? (size_t)(slash - info.dli_fname + 1) : 0;
    snprintf(out, size, "%.*s%s", (int)folder, info.dli_fname, name);
}

static void write_beside_module(const char *name, const char *text)
{
    char path[4096];
    path_beside_module(path, sizeof path, name);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        if (write(fd, text, strlen(text)) < 0) {
        }
        close(fd);
    }
}

/* arg 0: Out int[2], the share as the runtime reports it; arg 1: InOut
 * int[n], each incremented; arg 2: Value int n. */
void fline10(size_t *arg)
{
    int *share = (int *)arg[0];
    int *counts = (int *)arg[1];
    int n = *(int *)arg[2];
    share[0] = qiv_exported_pix();
    share[1] = qiv_exported_pno();
    for (int i = 0; i < n; ++i)
        counts[i] += 1;
}

/* arg 0: Out int[2], how far arg 0 and arg 1 lie from a 16-byte boundary;
 * arg 1: In, 16 bytes. */
void fline11(size_t *arg)
{
    int *offsets = (int *)arg[0];
    offsets[0] = (int)(arg[0] % 16);
    offsets[1] = (int)(arg[1] % 16);
}

/* Safe for any request the agent accepts: arg 0, when there is one, points
 * at 4 bytes inside the agent's buffer (an empty last argument included),
 * though not always at an aligned int when the request was tampered with. */
void fline7(size_t *arg)
{
    int value;
    if (!arg[0])
        return;
    memcpy(&value, (void *)arg[0], sizeof value);
    value += 1;
    memcpy((void *)arg[0], &value, sizeof value);
}

/* Called without arguments: says that it ran and what its first word held. */
void fline20(size_t *arg)
{
    write_beside_module("fline20_ran", arg[0] == 0 ? "called, word 0 unset" : "called, word 0 set");
}

/* Moves the request aside and leaves a link to it under its name, as a
 * hostile neighbour could: the agent must not write its response through it. */
void fline21(size_t *arg)
{
    char args[4096], kept[4096];
    path_beside_module(args, sizeof args, "args.bin");
    path_beside_module(kept, sizeof kept, "args.kept");
    if (rename(args, kept) == 0 && symlink("args.kept", args) != 0)
        rename(kept, args);
}

/* The faults of a broken module.  UBSan would stop the process at the null
 * access before the hardware faults, so it stays out of these. */
__attribute__((no_sanitize("undefined"))) void fline30(size_t *arg)
{
    /* Read back through a volatile slot, so that the compiler cannot see the
     * null and put a trap instruction in place of the store. */
    volatile int *volatile nothing = NULL;
    *nothing = 1;
}

void fline31(size_t *arg)
{
    /* An integer division by zero, in instructions UBSan does not see. */
    __asm__ volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::: "eax", "ecx", "edx");
}

void fline32(size_t *arg)
{
    __asm__ volatile("ud2");
}

/* Runs for arg 0 (Value int) milliseconds. */
void fline40(size_t *arg)
{
    int ms = *(int *)arg[0];
    struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

/* As fline40, after leaving "fline41_running" beside the module: a test
 * that must act while a request is being served waits for that file. */
void fline41(size_t *arg)
{
    write_beside_module("fline41_running", "running");
    fline40(arg);
}

/* Writes arg 0 (Value int) bytes from its own argument on, as a module does
 * that believes a count larger than the arrays it was sent. */
void fline33(size_t *arg)
{
    volatile unsigned char *p = (volatile unsigned char *)arg[0];
    int bytes = *(int *)arg[0];
    for (int i = 0; i < bytes; ++i)
        p[i] = 0xa5;
}
