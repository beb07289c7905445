// One table of the system calls behind files, folders, watches and modules,
// so that a test can make the Nth call of any of them fail with a chosen errno.
//
// Failure paths of a file protocol cannot be reached on a healthy disk, so
// each wrapper below asks the table first whether this call is the one to
// fail, and if so returns what the system call returns on failure with errno
// set.  The caller cannot tell the difference, which is the point: its real
// error handling runs.  An injected EINTR is retried like a real one, because
// the check sits inside the retry loop.
//
// A row holds the entry's name and its fault state, not a pointer to the
// function: tests here only ever make a call fail, never replace it, and a
// table of untyped pointers cast back at every call site hides a wrong cast.
// The wrappers are typed and call the system directly.
//
// Cost when no test armed anything: one relaxed load of table_armed.  Counts
// are atomic so that concurrent callers see exactly one Nth call.
#define _FILE_OFFSET_BITS 64

#include "platform.h"
#include "syscalls.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

static_assert(platform_error_not_found == ENOENT && platform_error_exists == EEXIST && platform_error_link == ELOOP,
              "the named errors are the system's errno values");

namespace {

// The entries, in table order, each named after its system call.  The index
// enum and the rows are both made from this one list, so an entry cannot
// have a row without an index or the index of another entry's row.
#define SYSCALL_ENTRIES(X)                                                                                       \
    X(open) X(close) X(read) X(pread) X(write) X(pwrite) X(fsync) X(fstat) X(stat) X(rename) X(renameat2)       \
    X(link) X(unlink) X(mkdir) X(opendir) X(readdir) X(inotify_init1) X(inotify_add_watch) X(poll) X(dlopen)    \
    X(dlclose) X(ftruncate) X(futimens)

enum syscall_index {
#define SYSCALL_INDEX(name) call_##name,
    SYSCALL_ENTRIES(SYSCALL_INDEX)
#undef SYSCALL_INDEX
    call_count
};

// Fields other than name are read and written atomically.
struct syscall_entry {
    const char *name;
    uint32_t calls;   // calls counted since the table was armed or this entry injected
    uint32_t fail_at; // the call number (1-based) that fails; 0: none
    int32_t error;    // errno of that failure
};

syscall_entry syscall_table[call_count] = {
#define SYSCALL_ROW(name) {#name, 0, 0, 0},
    SYSCALL_ENTRIES(SYSCALL_ROW)
#undef SYSCALL_ROW
};

// Nonzero from the first injection until platform_fault_clear.
uint32_t table_armed;

// The calling thread's last failure of a file, folder or module call.
thread_local int last_error;

__attribute__((noinline)) bool count_and_check(syscall_index index)
{
    syscall_entry *entry = &syscall_table[index];
    uint32_t n = __atomic_add_fetch(&entry->calls, 1, __ATOMIC_RELAXED);
    if (n != __atomic_load_n(&entry->fail_at, __ATOMIC_RELAXED))
        return false;
    errno = __atomic_load_n(&entry->error, __ATOMIC_RELAXED);
    return true;
}

// True when this call is the one to fail; errno is set then.
inline bool injected(syscall_index index)
{
    return __atomic_load_n(&table_armed, __ATOMIC_RELAXED) != 0 && count_and_check(index);
}

syscall_entry *find_entry(const char *name)
{
    for (syscall_entry &entry : syscall_table)
        if (name && strcmp(entry.name, name) == 0)
            return &entry;
    return nullptr;
}

} // namespace

// ---- the wrappers ------------------------------------------------------------

int sys_open(const char *path, int flags, mode_t mode)
{
    int fd;
    do
        fd = injected(call_open) ? -1 : open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int sys_close(int fd)
{
    // Not retried: Linux releases the descriptor even when close reports
    // EINTR, and a second close could hit another thread's new file.  An
    // injected failure releases it too, as the real one does.
    if (!injected(call_close))
        return close(fd);
    int error = errno;
    close(fd);
    errno = error;
    return -1;
}

ssize_t sys_read(int fd, void *buffer, size_t size)
{
    ssize_t n;
    do
        n = injected(call_read) ? -1 : read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t sys_pread(int fd, void *buffer, size_t size, off_t offset)
{
    ssize_t n;
    do
        n = injected(call_pread) ? -1 : pread(fd, buffer, size, offset);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t sys_write(int fd, const void *buffer, size_t size)
{
    ssize_t n;
    do
        n = injected(call_write) ? -1 : write(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t sys_pwrite(int fd, const void *buffer, size_t size, off_t offset)
{
    ssize_t n;
    do
        n = injected(call_pwrite) ? -1 : pwrite(fd, buffer, size, offset);
    while (n < 0 && errno == EINTR);
    return n;
}

int sys_fsync(int fd)
{
    int r;
    do
        r = injected(call_fsync) ? -1 : fsync(fd);
    while (r < 0 && errno == EINTR);
    return r;
}

int sys_fstat(int fd, struct stat *st)
{
    return injected(call_fstat) ? -1 : fstat(fd, st);
}

int sys_stat_at(int folder, const char *path, struct stat *st)
{
    return injected(call_stat) ? -1 : fstatat(folder, path, st, 0);
}

int sys_lstat(const char *path, struct stat *st)
{
    return injected(call_stat) ? -1 : lstat(path, st);
}

int sys_ftruncate(int fd, off_t size)
{
    int r;
    do
        r = injected(call_ftruncate) ? -1 : ftruncate(fd, size);
    while (r < 0 && errno == EINTR);
    return r;
}

int sys_futimens(int fd, const struct timespec times[2])
{
    return injected(call_futimens) ? -1 : futimens(fd, times);
}

int sys_rename(const char *from, const char *to)
{
    return injected(call_rename) ? -1 : rename(from, to);
}

int sys_rename_noreplace(const char *from, const char *to)
{
    return injected(call_renameat2) ? -1 : renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int sys_link(const char *from, const char *to)
{
    return injected(call_link) ? -1 : link(from, to);
}

int sys_unlink(const char *path)
{
    return injected(call_unlink) ? -1 : unlink(path);
}

int sys_mkdir(const char *path, mode_t mode)
{
    return injected(call_mkdir) ? -1 : mkdir(path, mode);
}

DIR *sys_opendir(const char *path)
{
    return injected(call_opendir) ? nullptr : opendir(path);
}

struct dirent *sys_readdir(DIR *dir)
{
    return injected(call_readdir) ? nullptr : readdir(dir);
}

int sys_inotify_init1(int flags)
{
    return injected(call_inotify_init1) ? -1 : inotify_init1(flags);
}

int sys_inotify_add_watch(int fd, const char *path, uint32_t mask)
{
    return injected(call_inotify_add_watch) ? -1 : inotify_add_watch(fd, path, mask);
}

int sys_poll(struct pollfd *fds, nfds_t count, int timeout_ms)
{
    uint64_t deadline = platform_monotonic_ms() + (uint64_t)timeout_ms;
    for (;;) {
        int r = injected(call_poll) ? -1 : poll(fds, count, timeout_ms);
        if (r >= 0 || errno != EINTR)
            return r;
        uint64_t now = platform_monotonic_ms();
        timeout_ms = now >= deadline ? 0 : (int)(deadline - now);
    }
}

void *sys_dlopen(const char *name, int flags)
{
    return injected(call_dlopen) ? nullptr : dlopen(name, flags);
}

int sys_dlclose(void *library)
{
    // The loader reports a refusal through dlerror, not errno: an injected
    // failure looks the same to the caller.
    return injected(call_dlclose) ? -1 : dlclose(library);
}

// ---- errors ------------------------------------------------------------------

int fail_with(int error)
{
    last_error = error;
    return -1;
}

int fail(void)
{
    return fail_with(errno);
}

extern "C" int platform_last_error(void)
{
    return last_error;
}

// ---- the test-facing side ----------------------------------------------------

extern "C" int platform_fault_inject(const char *call, uint32_t nth, int error)
{
    syscall_entry *entry = find_entry(call);
    if (!entry || (nth > 0 && error <= 0))
        return -1;
    // Disarm the entry while its state changes, so that no call sees a new
    // count with an old error.
    __atomic_store_n(&entry->fail_at, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&entry->error, error, __ATOMIC_RELAXED);
    __atomic_store_n(&entry->calls, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&entry->fail_at, nth, __ATOMIC_RELEASE);
    __atomic_store_n(&table_armed, 1, __ATOMIC_RELEASE);
    return 0;
}

extern "C" void platform_fault_clear(void)
{
    __atomic_store_n(&table_armed, 0, __ATOMIC_RELEASE);
    for (syscall_entry &entry : syscall_table) {
        __atomic_store_n(&entry.fail_at, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&entry.error, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&entry.calls, 0, __ATOMIC_RELAXED);
    }
}

extern "C" uint32_t platform_fault_calls(const char *call)
{
    syscall_entry *entry = find_entry(call);
    return entry ? __atomic_load_n(&entry->calls, __ATOMIC_RELAXED) : 0;
}
