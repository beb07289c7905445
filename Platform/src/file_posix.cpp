// Folder listing with a case-insensitive suffix filter, whole-file reads and
// writes, and the single-name operations of the shared-folder protocol.
//
// The runtime looks for kernel files by extension ("*.ocl", "*.ptx"); file
// systems here are case-sensitive, so the filter compares the suffix without
// regard to ASCII case, which keeps "APP.OCL" a kernel file as it would be on a
// case-insensitive system.  The system calls go through syscalls_posix.cpp,
// which retries EINTR and lets tests make any of them fail.
// Write-through files are opened O_SYNC rather than synced after each write
// here: the kernel then syncs inside every write, so no handle needs to carry
// a mode of ours, and on FUSE the sync reaches the file system's daemon.
// 64-bit file offsets and inode numbers on the i386 flavour too: without them
// readdir and stat fail with EOVERFLOW on file systems with large inode numbers.
#define _FILE_OFFSET_BITS 64

#include "platform.h"
#include "syscalls.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool suffix_matches(const char *name, const char *suffix)
{
    size_t n = strlen(name), k = strlen(suffix);
    return n >= k && strcasecmp(name + n - k, suffix) == 0;
}

bool is_regular(DIR *dir, const struct dirent *entry)
{
    if (entry->d_type == DT_REG)
        return true;
    if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
        return false;
    struct stat st;
    return sys_stat_at(dirfd(dir), entry->d_name, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

extern "C" int platform_dir_open(platform_dir *dir, const char *path, const char *suffix)
{
    dir->handle = 0;
    size_t k = suffix ? strlen(suffix) : 0;
    if (k >= sizeof dir->suffix)
        return fail_with(ENAMETOOLONG);
    memcpy(dir->suffix, suffix ? suffix : "", k + 1);
    DIR *d = sys_opendir(path && path[0] ? path : ".");
    if (!d)
        return fail();
    dir->handle = reinterpret_cast<uintptr_t>(d);
    return 0;
}

extern "C" const char *platform_dir_next(platform_dir *dir)
{
    DIR *d = reinterpret_cast<DIR *>(dir->handle);
    if (!d)
        return nullptr;
    for (;;) {
        errno = 0; // readdir tells the end from a failure only by errno
        struct dirent *entry = sys_readdir(d);
        if (!entry) {
            if (errno != 0)
                fail();
            return nullptr;
        }
        if (suffix_matches(entry->d_name, dir->suffix) && is_regular(d, entry))
            return entry->d_name;
    }
}

extern "C" void platform_dir_close(platform_dir *dir)
{
    DIR *d = reinterpret_cast<DIR *>(dir->handle);
    if (d)
        closedir(d);
    dir->handle = 0;
}

extern "C" intptr_t platform_file_open_read(const char *path)
{
    int fd = sys_open(path, O_RDONLY | O_CLOEXEC, 0);
    return fd < 0 ? fail() : fd;
}

extern "C" int64_t platform_file_size(intptr_t file)
{
    struct stat st;
    if (file < 0)
        return fail_with(EBADF);
    if (sys_fstat((int)file, &st) != 0)
        return fail();
    if (!S_ISREG(st.st_mode))
        return fail_with(EINVAL);
    return (int64_t)st.st_size;
}

extern "C" int platform_file_read_all(intptr_t file, void *buffer, size_t size)
{
    char *p = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = sys_pread((int)file, p + done, size - done, (off_t)done);
        if (n < 0)
            return fail();
        if (n == 0)
            return fail_with(EIO); // the file is shorter than asked
        done += (size_t)n;
    }
    return 0;
}

extern "C" void platform_file_close(intptr_t file)
{
    if (file >= 0)
        sys_close((int)file);
}

extern "C" intptr_t platform_file_create(const char *path, uint32_t flags)
{
    int open_flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    open_flags |= (flags & platform_create_exclusive) ? O_EXCL : O_TRUNC;
    if (flags & platform_create_write_through)
        open_flags |= O_SYNC;
    int fd = sys_open(path, open_flags, 0666);
    return fd < 0 ? fail() : fd;
}

extern "C" int platform_file_write_all(intptr_t file, const void *buffer, size_t size, int64_t offset)
{
    if (offset < platform_file_at_position)
        return fail_with(EINVAL);
    const char *p = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = offset == platform_file_at_position
                        ? sys_write((int)file, p + done, size - done)
                        : sys_pwrite((int)file, p + done, size - done, (off_t)(offset + (int64_t)done));
        if (n < 0)
            return fail();
        if (n == 0)
            return fail_with(EIO); // no progress and no reason: do not spin
        done += (size_t)n;
    }
    return 0;
}

extern "C" int platform_file_sync(intptr_t file)
{
    return sys_fsync((int)file) == 0 ? 0 : fail();
}

extern "C" int platform_file_close_checked(intptr_t file)
{
    if (file < 0)
        return fail_with(EBADF);
    return sys_close((int)file) == 0 ? 0 : fail();
}

extern "C" int platform_file_exists(const char *path)
{
    struct stat st;
    if (sys_stat_at(AT_FDCWD, path, &st) == 0)
        return 1;
    if (errno == ENOENT || errno == ENOTDIR)
        return 0;
    return fail();
}

extern "C" int platform_file_delete(const char *path)
{
    return sys_unlink(path) == 0 ? 0 : fail();
}

extern "C" int platform_folder_create(const char *path)
{
    return sys_mkdir(path, 0777) == 0 ? 0 : fail();
}

extern "C" intptr_t platform_file_open_delete_on_close(const char *path)
{
    // POSIX cannot remove the name of an open file by its handle: a file put
    // under the name between the open and the unlink would lose its name
    // instead.  Callers give a name to a new file only once the old one has
    // been taken, which closes that window.
    int fd = sys_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return fail();
    if (sys_unlink(path) != 0) {
        int error = errno;
        sys_close(fd);
        return fail_with(error);
    }
    return fd;
}
