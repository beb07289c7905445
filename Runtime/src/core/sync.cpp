// Locks keyed by any address, and sleeping on / waking a thread's own event.
//
// Addresses hash onto a fixed static table of cells, so a lock needs no
// allocation, registration or destruction.  Waiters queue in a ring through
// their thread records and are served strictly in arrival order: the unsync
// that frees the cell hands it to the oldest waiter directly and leaves the
// cell's spin lock held, which the new owner releases once it runs, as the
// spin lock's contract allows (spin_lock.h).
#include "runtime.h"

sync_cell sync_table[sync_table_cells];
#if defined(__i386__)
static_assert(sizeof(sync_table) == 1310720, "i386 lock table is 1,310,720 bytes");
#endif

namespace {

void cell_lock(sync_cell *cell)
{
    spin_lock_acquire(&cell->spin_lock);
}

void cell_unlock(sync_cell *cell)
{
    spin_lock_release(&cell->spin_lock);
}

// How many pauses a waiter polls its own ring link before it sleeps: about a
// few microseconds, longer than a short critical section on another core and
// far shorter than a futex sleep and wake-up.
const int hand_over_spins = 2000;

// Returns once the unsyncing thread has cleared rec's wait_next (made rec the
// owner).  The hand-over usually comes within a critical section's length, so
// the waiter polls first; a signal left on its event by a hand-over it saw
// while polling only makes a later wait wake spuriously, which every waiter
// allows for.  Wakes meant for other purposes end a sleep too: the ring link
// decides.
void wait_for_hand_over(thread_record *rec)
{
    for (int i = 0; i < hand_over_spins; ++i) {
        if (__atomic_load_n(&rec->wait_next, __ATOMIC_ACQUIRE) == nullptr)
            return;
        __builtin_ia32_pause();
    }
    while (__atomic_load_n(&rec->wait_next, __ATOMIC_ACQUIRE) != nullptr)
        platform_event_wait(&rec->wake_event);
}

} // namespace

ZEQ_EXPORT void qiv_exported_sync(const volatile void *address)
{
    thread_record *rec = get_thread_record();
    if (!rec)
        return;
    sync_cell *cell = &sync_table[sync_hash(address)];
    cell_lock(cell);
    if (++cell->contenders == 1) {
        cell->owner = rec;
        cell->depth = 1;
        cell_unlock(cell);
        return;
    }
    if (cell->owner == rec) {
        --cell->contenders;
        ++cell->depth;
        cell_unlock(cell);
        return;
    }
    // A waiter polls its own wait_next while others relink the ring around
    // it, so every store to a wait_next is atomic; only the store of null
    // (the hand-over) needs to order what came before it.
    thread_record *head = cell->waiter_ring;
    if (!head) {
        rec->wait_prev = rec;
        __atomic_store_n(&rec->wait_next, rec, __ATOMIC_RELAXED);
        cell->waiter_ring = rec;
    } else {
        __atomic_store_n(&rec->wait_next, head, __ATOMIC_RELAXED);
        rec->wait_prev = head->wait_prev;
        __atomic_store_n(&head->wait_prev->wait_next, rec, __ATOMIC_RELAXED);
        head->wait_prev = rec;
    }
    cell_unlock(cell);
    wait_for_hand_over(rec);
    // The unsyncing thread made us the owner and left the cell locked for us.
    cell_unlock(cell);
}

ZEQ_EXPORT int qiv_exported_unsync(const volatile void *address)
{
    sync_cell *cell = &sync_table[sync_hash(address)];
    cell_lock(cell);
    if (--cell->depth != 0) {
        cell_unlock(cell);
        return 0;
    }
    cell->owner = nullptr;
    if (--cell->contenders == 0) {
        cell->waiter_ring = nullptr;
        cell_unlock(cell);
        return 0;
    }
    thread_record *w = cell->waiter_ring;
    cell->owner = w;
    cell->depth = 1;
    if (cell->contenders == 1) {
        cell->waiter_ring = nullptr;
    } else {
        thread_record *next = __atomic_load_n(&w->wait_next, __ATOMIC_RELAXED);
        __atomic_store_n(&w->wait_prev->wait_next, next, __ATOMIC_RELAXED);
        next->wait_prev = w->wait_prev;
        cell->waiter_ring = next;
    }
    w->wait_prev = nullptr;
    __atomic_store_n(&w->wait_next, nullptr, __ATOMIC_RELEASE);
    // The cell stays locked until w runs again and releases it.
    return platform_event_set(&w->wake_event);
}

ZEQ_EXPORT int qiv_exported_trysync(const volatile void *address)
{
    thread_record *rec = get_thread_record();
    if (!rec)
        return 0;
    sync_cell *cell = &sync_table[sync_hash(address)];
    cell_lock(cell);
    int taken = 0;
    if (cell->contenders == 0) {
        cell->contenders = 1;
        cell->depth = 1;
        cell->owner = rec;
        taken = 1;
    }
    cell_unlock(cell);
    return taken;
}

namespace {

platform_critical_section *region_default_lock(void)
{
    thread_record *rec = get_thread_record();
    if (!rec || !rec->current_region)
        return nullptr;
    thread_record *owner = reinterpret_cast<thread_record *>(rec->current_region->owner);
    return owner ? &owner->region_lock : nullptr;
}

} // namespace

ZEQ_EXPORT void qiv_exported_sync_default(void)
{
    if (platform_critical_section *lock = region_default_lock())
        platform_critical_section_enter(lock);
}

ZEQ_EXPORT void qiv_exported_unsync_default(void)
{
    if (platform_critical_section *lock = region_default_lock())
        platform_critical_section_leave(lock);
}

ZEQ_EXPORT int qiv_exported_wait(int flag, int timeout_ms)
{
    thread_record *rec = get_thread_record();
    if (!rec)
        return 0;
    if (flag == 0) {
        platform_event_wait(&rec->wake_event);
        return 0;
    }
    uint32_t limit = timeout_ms < 0 ? 0xFFFFFFFFu : (uint32_t)timeout_ms;
    return platform_event_wait_timeout(&rec->wake_event, limit) ? 0 : 1;
}

ZEQ_EXPORT int qiv_exported_wake(void *pid)
{
    if (!pid)
        return 0;
    return platform_event_set(&static_cast<thread_record *>(pid)->wake_event);
}
