// The remote client's set-up on its first request: the server's platform
// folder from QIV_NETLOAD_SERVER, and the monitor on a pool thread of its own.
//
// The monitor is started the way every long-lived runtime thread is: as
// member 1 of a detached region of two that slot 0's service thread opens,
// both members declaring themselves blocking so that the pool puts another
// thread in each one's place.  A dedicated platform thread would have no
// thread record, and so no wake event or address-keyed locks.
#include "remote_client.h"
#include "diagnostics.h"

#include <string.h>

remote_client_state remote_client;

namespace {

const char server_variable[] = "QIV_NETLOAD_SERVER";

// Opens the region; member 1 runs the monitor until slot 0 stops.  Returns
// whether the monitor was started.
QIV_REGION_OPENER bool start_monitor(void)
{
    // Set before the open so that slot 0's loop, should it end at once,
    // still waits for a monitor that has not reached its first line yet.
    __atomic_store_n(&remote_client.monitor_running, 1, __ATOMIC_RELEASE);
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 2, QIV_LIMIT_TIGHT(0));
    qiv_exported_pid();
    if (self->index == 1) {
        // A thread that helped from inside a region of its own took the
        // member: its region could not end while the monitor runs, so the
        // monitor is handed on, as member 1 of a region this thread opens.
        if (self->enclosing)
            start_monitor();
        else
            remote_monitor();
    }
    bool started = self->count == 2;
    qiv_region_end_detached(self);
    if (!started)
        __atomic_store_n(&remote_client.monitor_running, 0, __ATOMIC_RELEASE);
    return started;
}

} // namespace

int remote_setup(void)
{
    if (__atomic_load_n(&remote_client.server_length, __ATOMIC_ACQUIRE) != 0)
        return 0;
    char root[remote_root_limit + 1];
    int length = platform_environment_read(server_variable, root, sizeof root);
    if (length <= 0)
        return -1;
    int folder = server_platform_folder(remote_client.server_path, sizeof remote_client.server_path, root);
    if (folder <= 0)
        return -1;
    memcpy(remote_client.server_root, root, (size_t)length + 1);
    if (!start_monitor())
        return -1;
    __atomic_store_n(&remote_client.server_length, (intptr_t)folder, __ATOMIC_RELEASE);
    return 0;
}

int remote_client_accepts(void)
{
    if (__atomic_load_n(&remote_client.server_length, __ATOMIC_ACQUIRE) != 0)
        return 1;
    char root[remote_root_limit + 1];
    return platform_environment_read(server_variable, root, sizeof root) > 0;
}

int remote_monitor_running(void)
{
    return (int)__atomic_load_n(&remote_client.monitor_running, __ATOMIC_ACQUIRE);
}

bool remote_slot_stopping(void)
{
    device_slot *table = offload.device_table;
    return !table || __atomic_load_n(&table[remote_slot].owner, __ATOMIC_ACQUIRE) == owner_stop;
}

void remote_note_step(bool holding)
{
    __atomic_store_n(&remote_client.dispatch_step_ms, holding ? platform_monotonic_ms() : 0, __ATOMIC_RELEASE);
}

bool remote_stalled(void)
{
    static int32_t told;
    uint64_t now = platform_monotonic_ms();
    uint64_t step = __atomic_load_n(&remote_client.dispatch_step_ms, __ATOMIC_ACQUIRE);
    uint64_t round = __atomic_load_n(&remote_client.monitor_round_ms, __ATOMIC_ACQUIRE);
    bool stalled = (step != 0 && now > step + remote_stall_ms) ||
                   (__atomic_load_n(&remote_client.claimed_agents, __ATOMIC_ACQUIRE) > 0 && round != 0 &&
                    now > round + remote_stall_ms);
    // Told once a stall, not once a call.
    if (__atomic_exchange_n(&told, stalled ? 1 : 0, __ATOMIC_RELAXED) == 0 && stalled)
        zeq_log(zeq_log_decisions, "the server folder %s has not answered a step for %d ms: calls run without agents "
                "until it does", remote_client.server_root, (int)remote_stall_ms);
    return stalled;
}
