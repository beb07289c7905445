// Files that another side may have placed in a shared folder: opened without
// following a link, asked what they are, read at an offset and cut.
//
// A program that serves a shared folder must never be steered outside it by
// what it finds there.  O_NOFOLLOW makes a link in the last component fail
// with ELOOP instead of opening its target; the caller then asks the handle
// (fstat, not a second lookup of the name) whether it is a regular file with
// one name, so nothing can be swapped in between the question and the use.
// O_NONBLOCK keeps the open itself from hanging on a pipe that someone put
// under the name (a read-only open of a FIFO waits for a writer); it is
// cleared again at once, so that reads and writes of what was opened behave
// as usual.  That fcntl is not a call of the fault table: it cannot fail on a
// descriptor just opened, and a test has nothing to learn from it failing.
#define _FILE_OFFSET_BITS 64

#include "platform.h"
#include "syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint32_t kind_of(mode_t mode)
{
    if (S_ISREG(mode))
        return platform_kind_regular;
    if (S_ISDIR(mode))
        return platform_kind_folder;
    if (S_ISLNK(mode))
        return platform_kind_link;
    return platform_kind_other;
}

void fill_info(const struct stat *st, platform_file_info *info)
{
    info->size = (int64_t)st->st_size;
    info->modified_ns = (int64_t)st->st_mtim.tv_sec * 1000000000 + (int64_t)st->st_mtim.tv_nsec;
    info->kind = kind_of(st->st_mode);
    info->links = (uint32_t)st->st_nlink;
}

} // namespace

extern "C" intptr_t platform_file_open_existing(const char *path, uint32_t flags)
{
    int access = (flags & platform_open_read_write) ? O_RDWR : O_RDONLY;
    int fd = sys_open(path, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0)
        return fail();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

extern "C" int platform_file_info_of(intptr_t file, platform_file_info *info)
{
    struct stat st;
    if (file < 0)
        return fail_with(EBADF);
    if (sys_fstat((int)file, &st) != 0)
        return fail();
    fill_info(&st, info);
    return 0;
}

extern "C" int platform_path_info(const char *path, platform_file_info *info)
{
    struct stat st;
    if (sys_lstat(path, &st) != 0)
        return fail();
    fill_info(&st, info);
    return 0;
}

extern "C" int64_t platform_file_read_at(intptr_t file, void *buffer, size_t size, int64_t offset)
{
    if (offset < 0)
        return fail_with(EINVAL);
    char *p = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = sys_pread((int)file, p + done, size - done, (off_t)(offset + (int64_t)done));
        if (n < 0)
            return fail();
        if (n == 0)
            break; // the end of the file
        done += (size_t)n;
    }
    return (int64_t)done;
}

extern "C" int platform_file_truncate(intptr_t file, int64_t size)
{
    if (size < 0)
        return fail_with(EINVAL);
    return sys_ftruncate((int)file, (off_t)size) == 0 ? 0 : fail();
}

extern "C" int platform_file_set_modified(intptr_t file, int64_t modified_ns)
{
    if (modified_ns < 0)
        return fail_with(EINVAL);
    // The access time goes with it: an SFTP server sets both or neither.
    struct timespec when = {(time_t)(modified_ns / 1000000000), (long)(modified_ns % 1000000000)};
    struct timespec times[2] = {when, when};
    return sys_futimens((int)file, times) == 0 ? 0 : fail();
}
