// Whether an agent still lives, told through the shared folder alone.
//
// A live agent rewrites its "tsc" every server_heartbeat_ms, which gives the
// file a fresh modification time by the clock of the machine that stores the
// folder.  The reader needs a "now" by that same clock, not its own (the
// machines' clocks may disagree by more than the bound), so it creates a
// file of its own beside "tsc" and takes that file's modification time.
// "tsc" is opened and then asked for its time through the handle: on a
// network file system the open revalidates the attributes that a lookup by
// name may answer from a cache.  A "tsc" newer than the reference (the
// storing machine's times need not be ordered across two clients' writes
// within a tick) reads as alive.
#include "server_folder.h"

namespace {

// The storing machine's "now": the modification time of a file just created.
// False when it cannot be had.
bool reference_time(const char *dd_path, int64_t *now_ns)
{
    if (platform_file_delete(dd_path) != 0 && platform_last_error() != platform_error_not_found)
        return false;
    intptr_t file = platform_file_create(dd_path, platform_create_exclusive);
    if (file < 0)
        return false;
    platform_file_info info;
    bool told = platform_file_info_of(file, &info) == 0;
    platform_file_close(file);
    platform_file_delete(dd_path);
    if (told)
        *now_ns = info.modified_ns;
    return told;
}

} // namespace

int agent_is_alive(const char *agent_folder)
{
    char dd[server_path_room], tsc[server_path_room];
    if (server_file_path(dd, sizeof dd, agent_folder, SERVER_NAME_DD) < 0 ||
        server_file_path(tsc, sizeof tsc, agent_folder, SERVER_NAME_TSC) < 0)
        return agent_liveness_unknown;
    int64_t now_ns = 0;
    if (!reference_time(dd, &now_ns))
        return agent_liveness_unknown;
    intptr_t file = platform_file_open_existing(tsc, 0);
    if (file < 0) {
        int error = platform_last_error();
        // No stamp, or a link where the stamp should be: no agent beats here.
        return error == platform_error_not_found || error == platform_error_link ? agent_dead : agent_liveness_unknown;
    }
    platform_file_info info;
    int told = platform_file_info_of(file, &info);
    platform_file_close(file);
    if (told != 0)
        return agent_liveness_unknown;
    if (info.kind != platform_kind_regular)
        return agent_dead;
    return now_ns - info.modified_ns <= (int64_t)server_alive_bound_ms * 1000000 ? agent_alive : agent_dead;
}
