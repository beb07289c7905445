// Waiting for changes in a folder tree with inotify.
//
// The protocol folder holds one subfolder per agent, so a subtree watch is
// the folder and its immediate subfolders, not a whole tree: one inotify
// instance with a watch on each.  A subfolder made later is seen as a create
// (or a move into the folder) on the folder's own watch and gets a watch of
// its own then.  Whatever happened in it before that watch existed would be
// missed, so its appearance itself counts as a change.
//
// Notifications only shorten a wait that callers bound with a time-out and
// follow with a look of their own: a network file system sends none for
// changes made elsewhere.  The instance is non-blocking so that a wake-up can
// take everything pending in one go; a burst of changes is then one change.
#define _FILE_OFFSET_BITS 64

#include "platform.h"
#include "syscalls.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>

namespace {

uint32_t events_for(uint32_t what)
{
    uint32_t events = 0;
    if (what & platform_watch_names)
        events |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (what & platform_watch_contents)
        events |= IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
    return events;
}

// Lost notifications and a watch that ended: anything may have changed.
const uint32_t always_a_change = IN_Q_OVERFLOW | IN_IGNORED;
// What the folder's own watch needs to see subfolders appear.
const uint32_t subfolder_appears = IN_CREATE | IN_MOVED_TO;

// Watches folder/name if that is a folder.  A name that is gone or is no
// folder is not a failure; anything else (no watches left) is.
int watch_subfolder(platform_watch *watch, const char *name)
{
    char path[platform_watch_path_max + NAME_MAX + 2];
    snprintf(path, sizeof path, "%s/%s", watch->folder, name);
    if (sys_inotify_add_watch(watch->fd, path, watch->events | IN_ONLYDIR) >= 0)
        return 0;
    return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

// Watches the subfolders there are now.  The folder's own watch is already
// in place, so one made meanwhile is listed here or announced there.
int watch_subfolders(platform_watch *watch)
{
    DIR *dir = sys_opendir(watch->folder);
    if (!dir)
        return -1;
    int result = 0;
    for (;;) {
        errno = 0;
        struct dirent *entry = sys_readdir(dir);
        if (!entry) {
            result = errno ? -1 : 0;
            break;
        }
        bool may_be_folder = entry->d_type == DT_DIR || entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN;
        bool self_or_parent = strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0;
        if (may_be_folder && !self_or_parent && watch_subfolder(watch, entry->d_name) != 0) {
            result = -1;
            break;
        }
    }
    int error = errno;
    closedir(dir);
    errno = error;
    return result;
}

// Takes every pending notification.  1 when one of them is a change the
// caller asked about, 0 when none was, -1 when reading failed.
int take_pending(platform_watch *watch)
{
    alignas(struct inotify_event) char buffer[4096];
    int changed = 0;
    for (;;) {
        ssize_t n = sys_read(watch->fd, buffer, sizeof buffer);
        if (n < 0)
            return errno == EAGAIN ? changed : fail();
        for (ssize_t at = 0; at < n;) {
            const struct inotify_event *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
            at += (ssize_t)(sizeof *event + event->len);
            if (event->mask & (watch->events | always_a_change))
                changed = 1;
            bool new_subfolder = watch->subtree && event->wd == watch->folder_watch &&
                                 (event->mask & IN_ISDIR) && (event->mask & subfolder_appears) && event->len > 0;
            if (new_subfolder) {
                watch_subfolder(watch, event->name); // without a watch the caller's look still finds it
                changed = 1;
            }
        }
    }
}

} // namespace

extern "C" int platform_watch_open(platform_watch *watch, const char *folder, int subtree, uint32_t what)
{
    watch->fd = -1;
    watch->folder_watch = -1;
    watch->events = events_for(what);
    watch->subtree = subtree != 0;
    watch->folder[0] = 0;
    size_t length = folder ? strlen(folder) : 0;
    if (watch->events == 0 || length == 0)
        return fail_with(EINVAL);
    if (length >= sizeof watch->folder)
        return fail_with(ENAMETOOLONG);
    memcpy(watch->folder, folder, length + 1);

    watch->fd = sys_inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch->fd < 0)
        return fail();
    uint32_t folder_events = watch->events | (watch->subtree ? subfolder_appears : 0) | IN_ONLYDIR;
    watch->folder_watch = sys_inotify_add_watch(watch->fd, folder, folder_events);
    if (watch->folder_watch < 0 || (watch->subtree && watch_subfolders(watch) != 0)) {
        int error = errno;
        platform_watch_close(watch);
        return fail_with(error);
    }
    return 0;
}

extern "C" int platform_watch_wait(platform_watch *watch, uint32_t timeout_ms)
{
    if (watch->fd < 0)
        return fail_with(EBADF);
    uint64_t deadline = platform_monotonic_ms() + timeout_ms;
    for (;;) {
        uint64_t now = platform_monotonic_ms();
        uint64_t left = deadline > now ? deadline - now : 0;
        int slice = left > INT_MAX ? INT_MAX : (int)left;
        struct pollfd ready = {watch->fd, POLLIN, 0};
        int n = sys_poll(&ready, 1, slice);
        if (n < 0)
            return fail();
        if (n == 0) {
            if ((uint64_t)slice == left)
                return 0;
            continue; // a time-out longer than one poll can wait
        }
        int changed = take_pending(watch);
        if (changed != 0)
            return changed;
        // Only notifications nobody asked about: wait on for the rest.
    }
}

extern "C" void platform_watch_close(platform_watch *watch)
{
    if (watch->fd >= 0)
        sys_close(watch->fd);
    watch->fd = -1;
    watch->folder_watch = -1;
}
