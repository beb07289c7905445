// Service threads of the slots and their request loop, the same for every
// slot: what a request means to a slot is its service's (slot_service).
//
// Service threads are pool threads held for the life of the process: the first
// coload call opens a detached region of one member per slot plus itself, and
// every member declares itself blocking (qiv_exported_pid) so that the pool
// replaces it.  A member that could not be replaced gives its slot up
// (owner_unavailable) and is not counted in live_slots, so requests still
// complete.  A slot's service works only on the slot's own thread.  The first call returns only
// after every thread has set its slot up.
#include "offload.h"

namespace {

void give_slot_up(device_slot *slot)
{
    __atomic_sub_fetch(&offload.live_slots, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&slot->owner, owner_unavailable, __ATOMIC_RELEASE);
}

// Takes the newest request off slot s's queue, or null.
coload_request *take_request(int s, device_slot *slot)
{
    qiv_exported_sync(&slot->queue);
    coload_request *request = slot->queue;
    if (request)
        __atomic_store_n(&slot->queue, request->next[s], __ATOMIC_RELEASE); // as the push stores it
    qiv_exported_unsync(&slot->queue);
    return request;
}

// Requests still queued when the slot stops would keep their callers waiting
// for ever: they are finished unprocessed, and their callers run on the host.
void decline_queued(int s, device_slot *slot)
{
    while (coload_request *request = take_request(s, slot))
        finish_request(request);
}

// Serves the slot's queue until the slot is told to stop.
void serve_requests(int s, device_slot *slot)
{
    for (;;) {
        if (__atomic_load_n(&slot->owner, __ATOMIC_ACQUIRE) == owner_stop)
            break;
        if (!__atomic_load_n(&slot->queue, __ATOMIC_ACQUIRE))
            qiv_exported_wait(0, 0);
        if (__atomic_load_n(&slot->owner, __ATOMIC_ACQUIRE) == owner_stop)
            break;
        if (!__atomic_load_n(&slot->queue, __ATOMIC_ACQUIRE))
            continue;
        coload_request *request = take_request(s, slot);
        if (!request)
            continue;
        slot->service->serve(s, request);
    }
}

void serve_slot(int s, thread_record *rec, qiv_thread_record *starter)
{
    device_slot *slot = &offload.device_table[s];
    if (!rec) {
        give_slot_up(slot);
        qiv_exported_wake(starter);
        return;
    }
    // The slot is taken only once its context exists and its modules are
    // built: the starter waits for that, so no driver works while nobody
    // waits for it (a caller that returned at once could otherwise exit while
    // the driver still compiles on threads of its own).
    slot->service->start(s);
    intptr_t expected = owner_none;
    __atomic_compare_exchange_n(&slot->owner, &expected, reinterpret_cast<intptr_t>(rec), false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
    // The starter polls in 100 ms steps; a wake spares it most of that wait.
    qiv_exported_wake(starter);
    serve_requests(s, slot);
    slot->service->stop(s);
    decline_queued(s, slot);
    __atomic_store_n(&slot->owner, owner_none, __ATOMIC_RELEASE);
    notify_service_thread_ended();
}

// Serves slot s on a thread of a region this thread opens: member 1 serves
// (or hands the slot on again, see below); this thread, the owner, goes
// back once it has started.
QIV_REGION_OPENER void hand_slot_on(int s, qiv_thread_record *starter)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 2, QIV_LIMIT_TIGHT(0));
    thread_record *rec = static_cast<thread_record *>(qiv_exported_pid());
    if (self->index == 1) {
        if (self->enclosing)
            hand_slot_on(s, starter);
        else
            serve_slot(s, rec, starter);
    } else if (self->count != 2) {
        give_slot_up(&offload.device_table[s]);
        qiv_exported_wake(starter);
    }
    qiv_region_end_detached(self);
}

} // namespace

QIV_REGION_OPENER void start_device_threads(void)
{
    intptr_t slots = offload.slot_count;
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, (int)(slots + 1), QIV_LIMIT_TIGHT(0));
    thread_record *rec = static_cast<thread_record *>(qiv_exported_pid());
    if (self->index != 0) {
        // A thread that helped from inside a region of its own took the
        // member: its region could not end while it served the slot for
        // the life of the library, so it hands the slot on.
        if (self->enclosing)
            hand_slot_on((int)(self->index - 1), self->owner);
        else
            serve_slot((int)(self->index - 1), rec, self->owner);
    } else {
        // A caller without a record gets a region of one member: the slots
        // that no member serves have no thread.
        for (intptr_t s = self->count - 1; s < slots; ++s)
            give_slot_up(&offload.device_table[s]);
        for (intptr_t s = 0; s < slots; ++s) {
            while (__atomic_load_n(&offload.device_table[s].owner, __ATOMIC_ACQUIRE) == owner_none)
                qiv_exported_wait(1, owner_share_wait_ms);
        }
    }
    qiv_region_end_detached(self);
}
