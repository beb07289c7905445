// The system calls behind the file, folder and module services, for the
// Platform sources only.
//
// Every such call goes through one of these wrappers so that a test can make
// its Nth call fail (syscalls_posix.cpp holds the table and says how).  Each
// wrapper returns what the system call returns and leaves errno as it does;
// the ones that can be interrupted retry EINTR here and nowhere above.
// Every includer defines _FILE_OFFSET_BITS 64 first: the i386 flavour would
// otherwise see a 32-bit off_t and a different struct stat from the wrappers.
#ifndef ZEQ_PLATFORM_SYSCALLS_H
#define ZEQ_PLATFORM_SYSCALLS_H

#include <dirent.h>
#include <poll.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

static_assert(sizeof(off_t) == 8, "define _FILE_OFFSET_BITS 64 before any include");

int sys_open(const char *path, int flags, mode_t mode);
// Releases the descriptor even when it reports a failure (never retried).
int sys_close(int fd);
ssize_t sys_read(int fd, void *buffer, size_t size);
ssize_t sys_pread(int fd, void *buffer, size_t size, off_t offset);
ssize_t sys_write(int fd, const void *buffer, size_t size);
ssize_t sys_pwrite(int fd, const void *buffer, size_t size, off_t offset);
int sys_fsync(int fd);
int sys_fstat(int fd, struct stat *st);
// fstatat following links; folder is a folder's fd or AT_FDCWD.
int sys_stat_at(int folder, const char *path, struct stat *st);
// lstat: the name itself when it is a link.  Counted under "stat" with the
// call above, so that one entry makes any question about a name fail.
int sys_lstat(const char *path, struct stat *st);
int sys_ftruncate(int fd, off_t size);
int sys_futimens(int fd, const struct timespec times[2]);
int sys_rename(const char *from, const char *to);
// renameat2 with RENAME_NOREPLACE, both paths relative to the working folder.
int sys_rename_noreplace(const char *from, const char *to);
int sys_link(const char *from, const char *to);
int sys_unlink(const char *path);
int sys_mkdir(const char *path, mode_t mode);
DIR *sys_opendir(const char *path);
// Null at the end of the listing with errno untouched, null with errno set on failure.
struct dirent *sys_readdir(DIR *dir);
int sys_inotify_init1(int flags);
int sys_inotify_add_watch(int fd, const char *path, uint32_t mask);
// An interrupted poll is resumed with the time that was left.
int sys_poll(struct pollfd *fds, nfds_t count, int timeout_ms);
void *sys_dlopen(const char *name, int flags);
int sys_dlclose(void *library);

// The one exit of a failing file, folder or module call: records the reason
// for platform_last_error and returns -1.
int fail_with(int error);
// As fail_with(errno).
int fail(void);

#endif
