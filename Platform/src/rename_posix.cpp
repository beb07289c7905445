// Renames that never replace, and a copy that replaces its target whole: the
// two ways the shared-folder protocol hands a file to the other side.  Bytes
// written over a file whole (the agent's slot report) take the copy's path.
//
// The no-replace rename is renameat2(RENAME_NOREPLACE) where the file system
// offers it.  sshfs and other FUSE file systems refuse rename flags but have
// hard links, and link() never replaces its target either, so link + unlink
// gives the same answer there.  The one thing it cannot give is atomicity:
// two sides may link the same source to two names before either unlinks it.
// Then only one unlink succeeds, and the side whose unlink fails removes its
// new name again, so one claim wins as on the atomic path.  Falling back to
// plain rename() was turned down: it replaces an existing target silently.
//
// The copy goes to an exclusively created temporary beside the target, is
// synced, and is renamed over the target: rename() replaces atomically within
// a folder, and the sync keeps a crash from leaving the new name on an empty
// file.  The temporary's name ends in digits, so a suffix filter such as
// platform_dir_open's ".ptx" never lists it.
#define _FILE_OFFSET_BITS 64

#include "platform.h"
#include "syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Numbers the temporaries of this process.
uint32_t temporary_counter;

bool refuses_rename_flags(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

int rename_by_link(const char *from, const char *to)
{
    if (sys_link(from, to) != 0)
        return fail();
    if (sys_unlink(from) != 0) {
        int error = errno;
        sys_unlink(to);
        return fail_with(error);
    }
    return 0;
}

// Creates `to` + ".tmp<pid>.<n>" exclusively and writes its name into name.
// A leftover of an earlier process that had the same id only costs a try.
int create_temporary(char *name, size_t size, const char *to)
{
    enum { attempts = 16 };
    for (int i = 0; i < attempts; ++i) {
        uint32_t n = __atomic_add_fetch(&temporary_counter, 1, __ATOMIC_RELAXED);
        int length = snprintf(name, size, "%s.tmp%ld.%u", to, (long)getpid(), n);
        if (length < 0 || (size_t)length >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = sys_open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1; // errno is EEXIST
}

// Copies the rest of `in` to `out`.  0, or -1 with errno set.
int copy_content(int in, int out)
{
    enum { chunk = 64 * 1024 }; // what sshfs moves in one request
    char *buffer = static_cast<char *>(malloc(chunk));
    if (!buffer) {
        errno = ENOMEM;
        return -1;
    }
    int error = 0;
    for (;;) {
        ssize_t n = sys_read(in, buffer, chunk);
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        if (platform_file_write_all(out, buffer, (size_t)n, platform_file_at_position) != 0) {
            error = platform_last_error();
            break;
        }
    }
    free(buffer);
    errno = error;
    return error ? -1 : 0;
}

// Fills the temporary `out` with the new content: 0, or -1 with errno set.
typedef int fill_fn(int out, void *context);

// Makes `to` + a temporary suffix, fills and syncs it, and renames it over
// `to`; on any failure the temporary goes and `to` stays as it was.
int replace_through_temporary(const char *to, fill_fn *fill, void *context)
{
    char temporary[PATH_MAX];
    int out = create_temporary(temporary, sizeof temporary, to);
    if (out < 0)
        return fail();
    int error = 0;
    if (fill(out, context) != 0 || sys_fsync(out) != 0)
        error = errno;
    if (sys_close(out) != 0 && error == 0)
        error = errno;
    if (error == 0 && sys_rename(temporary, to) != 0)
        error = errno;
    if (error != 0) {
        sys_unlink(temporary);
        return fail_with(error);
    }
    return 0;
}

// The source of a copy, closed as soon as it is copied (before the
// temporary is synced and closed).
struct open_source {
    int fd;
    bool closed;
};

int fill_from_file(int out, void *context)
{
    open_source *source = static_cast<open_source *>(context);
    int result = copy_content(source->fd, out);
    int error = errno;
    sys_close(source->fd);
    source->closed = true;
    errno = error;
    return result;
}

struct byte_span {
    const void *bytes;
    size_t size;
};

int fill_from_bytes(int out, void *context)
{
    const byte_span *span = static_cast<const byte_span *>(context);
    if (platform_file_write_all(out, span->bytes, span->size, platform_file_at_position) != 0) {
        errno = platform_last_error();
        return -1;
    }
    return 0;
}

} // namespace

extern "C" int platform_file_rename_noreplace(const char *from, const char *to)
{
    if (sys_rename_noreplace(from, to) == 0)
        return 0;
    if (!refuses_rename_flags(errno))
        return fail();
    return rename_by_link(from, to);
}

extern "C" int platform_file_copy_replace(const char *from, const char *to)
{
    open_source source = {sys_open(from, O_RDONLY | O_CLOEXEC, 0), false};
    if (source.fd < 0)
        return fail();
    int result = replace_through_temporary(to, fill_from_file, &source);
    if (!source.closed)
        sys_close(source.fd);
    return result;
}

extern "C" int platform_file_write_replace(const char *to, const void *bytes, size_t size)
{
    byte_span span = {bytes, size};
    return replace_through_temporary(to, fill_from_bytes, &span);
}
