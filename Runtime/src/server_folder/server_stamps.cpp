// The 8-byte stamps of "tsc" (the agent's) and "busy" (the claim), the
// heartbeat that rewrites "tsc" in place, and the retirement that dates it
// back when the agent stops.
//
// A stamp is only ever compared, so reading one refuses anything that is not
// a regular file holding at least 8 bytes; a link under the name reads as
// "not a stamp" rather than as a failure worth retrying, since retrying
// cannot make a link into a file.  The heartbeat writes the same 8 bytes at
// offset 0 of the file it has just read them from: the content never
// changes, the modification time does, and it comes from the clock of the
// machine that stores the folder, so a reader on another machine can compare
// it with the time that machine gives a file of its own.  It opens without
// create and never truncates, so a "tsc" that was deleted stays deleted and
// one that now holds another stamp (another agent's) is left alone.
#include "server_folder.h"

#include <string.h>

namespace {

int open_failure(void)
{
    int error = platform_last_error();
    if (error == platform_error_not_found)
        return server_missing;
    return error == platform_error_link ? server_short : server_failed;
}

// Opens path and reads its stamp: server_ok with *file open, or a failure
// with nothing left open.
int open_stamp(const char *path, uint32_t flags, intptr_t *file, uint64_t *stamp)
{
    *file = platform_file_open_existing(path, flags);
    if (*file < 0)
        return open_failure();
    platform_file_info info;
    int result = server_ok;
    if (platform_file_info_of(*file, &info) != 0) {
        result = server_failed;
    } else if (info.kind != platform_kind_regular) {
        result = server_short;
    } else {
        // A read that fails (a network folder whose server stalls) says
        // nothing about what the file holds: only fewer than 8 bytes read
        // make it no stamp.  Taken for "no stamp", our own "busy" would read
        // as someone else's, and nobody would ever delete it.
        int64_t got = platform_file_read_at(*file, stamp, sizeof *stamp, 0);
        result = got < 0 ? server_failed : got != 8 ? server_short : server_ok;
    }
    if (result != server_ok) {
        platform_file_close(*file);
        *file = -1;
    }
    return result;
}

} // namespace

uint64_t server_new_stamp(void)
{
    return platform_timestamp();
}

int server_stamp_create(const char *tsc_path, uint64_t stamp)
{
    intptr_t file = platform_file_create(tsc_path, platform_create_exclusive);
    if (file < 0)
        return server_failed;
    int written = platform_file_write_all(file, &stamp, sizeof stamp, 0);
    // A network file system may report a lost write only when closing.
    int closed = platform_file_close_checked(file);
    return written == 0 && closed == 0 ? server_ok : server_short;
}

int server_stamp_read(const char *path, uint64_t *stamp)
{
    intptr_t file;
    int result = open_stamp(path, 0, &file, stamp);
    platform_file_close(file);
    return result;
}

namespace {

enum { stamp_rewrite = -1 };

// Touches "tsc" when it still holds stamp: rewrites the same bytes (a fresh
// write time) for stamp_rewrite, else sets the write time to set_ns.
int touch_own_stamp(const char *tsc_path, uint64_t stamp, int64_t set_ns)
{
    intptr_t file;
    uint64_t held = 0;
    int result = open_stamp(tsc_path, platform_open_read_write, &file, &held);
    if (result != server_ok)
        return result;
    if (held != stamp) {
        platform_file_close(file);
        return server_short;
    }
    int touched = set_ns == stamp_rewrite ? platform_file_write_all(file, &held, sizeof held, 0)
                                          : platform_file_set_modified(file, set_ns);
    if (touched != 0) {
        platform_file_close(file);
        return server_failed;
    }
    return platform_file_close_checked(file) == 0 ? server_ok : server_failed;
}

} // namespace

int server_stamp_refresh(const char *tsc_path, uint64_t stamp)
{
    return touch_own_stamp(tsc_path, stamp, stamp_rewrite);
}

int server_stamp_retire(const char *tsc_path, uint64_t stamp)
{
    // A day after the start of 1970, not the start itself: sshfs takes a
    // time of 0 for "now".
    return touch_own_stamp(tsc_path, stamp, 86400LL * 1000000000);
}
