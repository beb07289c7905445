// The bounded wait for changes in the tree, over Platform's folder watch.
//
// Notifications are hints (none arrives for what another machine did on a
// network file system), so callers look at the files after every return.
// What this adds is the stand-in for a watch that could not be set up, or
// that fails: a sleep, so that a caller's loop of look-and-wait never spins.
#include "server_folder.h"

void server_watch_open(server_watch *watch, const char *folder, int subtree, uint32_t what)
{
    watch->open = platform_watch_open(&watch->watch, folder, subtree, what) == 0;
    watch->spare = 0;
}

void server_watch_wait(server_watch *watch, uint32_t timeout_ms, uint32_t fallback_ms)
{
    if (watch->open && platform_watch_wait(&watch->watch, timeout_ms) >= 0)
        return;
    platform_sleep_ms(fallback_ms < timeout_ms ? fallback_ms : timeout_ms);
}

void server_watch_close(server_watch *watch)
{
    if (watch->open)
        platform_watch_close(&watch->watch);
    watch->open = 0;
}

namespace {

struct look_phase {
    uint32_t until_ms; // since the last activity
    uint32_t every_ms;
};
const look_phase look_phases[] = {
    {100, 1},
    {1000, 10},
};

} // namespace

uint32_t server_look_interval(uint64_t last_activity_ms)
{
    if (last_activity_ms == 0)
        return server_wait_ms;
    uint64_t since = platform_monotonic_ms() - last_activity_ms;
    for (const look_phase &phase : look_phases)
        if (since < phase.until_ms)
            return phase.every_ms;
    return server_wait_ms;
}
