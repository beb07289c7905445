// The tree's paths: root/<tag>/, root/<tag>/<n>/ and a file of a folder.
//
// Every path is formed here so that both sides name the same files, and so
// that a path that would not fit is refused rather than cut short: a cut
// path names some other file.  Folder paths end with '/', which lets a file
// name be appended as it is and makes "folder length + name length" the
// length of the file's path, the sum the request checks bound.
#include "server_folder.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

__attribute__((format(printf, 3, 4))) int format_path(char *out, size_t size, const char *format, ...)
{
    if (!out || size == 0)
        return server_path_unfit;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out, size, format, args);
    va_end(args);
    if (n < 0 || (size_t)n >= size) {
        out[0] = 0;
        return server_path_unfit;
    }
    return n;
}

} // namespace

int server_platform_folder(char *out, size_t size, const char *root)
{
    // An empty root names no folder: "/" + tag would be a folder of the
    // file system's root, which nobody meant.
    if (!root || !root[0]) {
        if (out && size)
            out[0] = 0;
        return server_path_unfit;
    }
    const char *separator = root[strlen(root) - 1] == '/' ? "" : "/";
    return format_path(out, size, "%s%s%s/", root, separator, SERVER_PLATFORM_TAG);
}

int server_agent_folder(char *out, size_t size, const char *root, int32_t number)
{
    if (number < 0 || number >= server_agent_count || server_platform_folder(out, size, root) < 0) {
        if (out && size)
            out[0] = 0;
        return server_path_unfit;
    }
    size_t n = strlen(out);
    int added = format_path(out + n, size - n, "%d/", (int)number);
    if (added < 0) {
        out[0] = 0;
        return server_path_unfit;
    }
    return (int)n + added;
}

int server_file_path(char *out, size_t size, const char *folder, const char *name)
{
    return format_path(out, size, "%s%s", folder, name);
}
