// Folder listing with a case-insensitive suffix filter, and whole-file reads.
//
// The runtime looks for kernel files by extension ("*.ocl", "*.ptx"); file
// systems here are case-sensitive, so the filter compares the suffix without
// regard to ASCII case, which keeps "APP.OCL" a kernel file as it would be on a
// case-insensitive system.  Reads retry on EINTR at this level only.
// 64-bit file offsets and inode numbers on the i386 flavour too: without them
// readdir and stat fail with EOVERFLOW on file systems with large inode numbers.
#define _FILE_OFFSET_BITS 64

#include "platform.h"

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
    return fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

} // namespace

extern "C" int platform_dir_open(platform_dir *dir, const char *path, const char *suffix)
{
    dir->handle = 0;
    size_t k = suffix ? strlen(suffix) : 0;
    if (k >= sizeof dir->suffix)
        return -1;
    memcpy(dir->suffix, suffix ? suffix : "", k + 1);
    DIR *d = opendir(path && path[0] ? path : ".");
    if (!d)
        return -1;
    dir->handle = reinterpret_cast<uintptr_t>(d);
    return 0;
}

extern "C" const char *platform_dir_next(platform_dir *dir)
{
    DIR *d = reinterpret_cast<DIR *>(dir->handle);
    if (!d)
        return nullptr;
    while (struct dirent *entry = readdir(d)) {
        if (suffix_matches(entry->d_name, dir->suffix) && is_regular(d, entry))
            return entry->d_name;
    }
    return nullptr;
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
    int fd;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? -1 : fd;
}

extern "C" int64_t platform_file_size(intptr_t file)
{
    struct stat st;
    if (file < 0 || fstat((int)file, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return (int64_t)st.st_size;
}

extern "C" int platform_file_read_all(intptr_t file, void *buffer, size_t size)
{
    char *p = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread((int)file, p + done, size - done, (off_t)done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

extern "C" void platform_file_close(intptr_t file)
{
    if (file >= 0)
        close((int)file);
}
