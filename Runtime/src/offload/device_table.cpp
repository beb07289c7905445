// The device table's life: built at library load, torn down at unload.
//
// Teardown stops every service thread and waits for each to release its
// modules and context.  A stopping thread wakes the detaching thread when it is
// done, so an unload normally waits only as long as the threads need, and at
// most unload_wait_ms; a table that a thread may still touch is left
// allocated rather than freed under it.  At process exit nothing is stopped.
#include "offload.h"

offload_state offload = {nullptr, 0, 0, 0, {}};

namespace {

// The thread that waits in shutdown_devices; service threads wake it as they end.
thread_record *volatile stop_waiter = nullptr;

bool all_slots_ended(device_slot *table, intptr_t count)
{
    for (intptr_t s = 0; s < count; ++s) {
        intptr_t owner = __atomic_load_n(&table[s].owner, __ATOMIC_ACQUIRE);
        if (owner != owner_none && owner != owner_unavailable)
            return false;
    }
    return true;
}

} // namespace

// Offload never keeps the library from loading: a discovery that finds
// nothing leaves the host alone to run every call.
void devices_attach(void)
{
    discover_devices();
}

void devices_detach(int process_exiting)
{
    shutdown_devices(process_exiting);
}

void notify_service_thread_ended(void)
{
    thread_record *waiter = __atomic_load_n(&stop_waiter, __ATOMIC_ACQUIRE); // set by the unloading thread
    if (waiter)
        qiv_exported_wake(waiter);
}

void shutdown_devices(int process_terminating)
{
    device_slot *table = offload.device_table;
    if (!table)
        return;
    // The process is ending, and its threads end with it.  Stopping the
    // service threads now would send them into the drivers' teardown while the
    // drivers' own exit handlers run on this thread (a crash seen with PoCL),
    // so they stay where they wait, and the table stays for any of them that
    // is still busy with a request.
    if (process_terminating)
        return;
    intptr_t count = offload.slot_count;
    bool ended = true;
    if (__atomic_load_n(&offload.devices_started, __ATOMIC_ACQUIRE) == 1) {
        __atomic_store_n(&stop_waiter, get_thread_record(), __ATOMIC_RELEASE);
        for (intptr_t s = 0; s < count; ++s) {
            intptr_t old = __atomic_load_n(&table[s].owner, __ATOMIC_ACQUIRE);
            // Only a running thread is told to stop: a slot that has none must
            // not be left in owner_stop, which nobody would ever turn into none.
            while (is_thread_owner(old) &&
                   !__atomic_compare_exchange_n(&table[s].owner, &old, owner_stop, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            }
            if (is_thread_owner(old))
                qiv_exported_wake(reinterpret_cast<void *>(old));
        }
        // Unloading: in 100 ms steps until every thread ended, within bounds.
        // A driver call that never returns (one that needs the loader's lock
        // this unload holds, say) must not hang the unload.
        uint64_t deadline = platform_monotonic_ms() + unload_wait_ms;
        while (!all_slots_ended(table, count) && platform_monotonic_ms() < deadline)
            qiv_exported_wait(1, owner_share_wait_ms);
        ended = all_slots_ended(table, count);
        __atomic_store_n(&stop_waiter, nullptr, __ATOMIC_RELEASE);
    }
    offload.device_table = nullptr;
    offload.slot_count = 0;
    if (ended)
        platform_free(table);
}
