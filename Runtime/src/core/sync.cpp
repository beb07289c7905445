// Locks keyed by any address, and sleeping on / waking a thread's own event.
//
// Addresses hash onto a fixed static table of cells, so a lock needs no
// allocation, registration or destruction.  Taking a free cell and freeing
// one nobody waits for are one compare-exchange each on contenders, without
// the spin lock; a free cell has no one queued, so this never overtakes a
// waiter.  Waiters queue in a ring through
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

// Joins the cell's queue, or nests or takes it, under the cell's spin lock.
// contenders changes atomically because the free-cell paths below change it
// without the spin lock; every other field changes under it, except depth
// and owner, which only the owner (or the unsync handing the cell to it)
// writes.
void sync_contended(sync_cell *cell, thread_record *rec)
{
    cell_lock(cell);
    if (__atomic_add_fetch(&cell->contenders, 1, __ATOMIC_ACQUIRE) == 1) {
        cell->depth = 1;
        __atomic_store_n(&cell->owner, rec, __ATOMIC_RELAXED);
        cell_unlock(cell);
        return;
    }
    // Only this thread ever stores rec as the owner, and every release clears
    // the owner before it frees the cell, so seeing rec means holding it.
    if (__atomic_load_n(&cell->owner, __ATOMIC_RELAXED) == rec) {
        __atomic_sub_fetch(&cell->contenders, 1, __ATOMIC_RELAXED);
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

// Hands the cell to its oldest waiter: the unsync whose compare-exchange found
// someone queued.  The owner's fields are already cleared.
int unsync_to_waiter(sync_cell *cell)
{
    cell_lock(cell);
    // Only the owner lowers contenders, so it is still at least 2 here.
    intptr_t left = __atomic_sub_fetch(&cell->contenders, 1, __ATOMIC_RELAXED);
    thread_record *w = cell->waiter_ring;
    __atomic_store_n(&cell->owner, w, __ATOMIC_RELAXED);
    cell->depth = 1;
    if (left == 1) {
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

// Takes a free cell with one compare-exchange.  A free cell has no waiters, so
// a newcomer never passes anyone queued: arrival order still decides.
bool take_free_cell(sync_cell *cell, thread_record *rec)
{
    intptr_t expected = 0;
    if (!__atomic_compare_exchange_n(&cell->contenders, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return false;
    cell->depth = 1;
    __atomic_store_n(&cell->owner, rec, __ATOMIC_RELAXED);
    return true;
}

} // namespace

ZEQ_EXPORT void qiv_exported_sync(const volatile void *address)
{
    thread_record *rec = get_thread_record();
    if (!rec)
        return;
    sync_cell *cell = &sync_table[sync_hash(address)];
    if (!take_free_cell(cell, rec))
        sync_contended(cell, rec);
}

ZEQ_EXPORT int qiv_exported_unsync(const volatile void *address)
{
    sync_cell *cell = &sync_table[sync_hash(address)];
    if (cell->depth > 1) {
        --cell->depth;
        return 0;
    }
    cell->depth = 0;
    __atomic_store_n(&cell->owner, nullptr, __ATOMIC_RELAXED);
    intptr_t expected = 1;
    if (__atomic_compare_exchange_n(&cell->contenders, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
        return 0;
    return unsync_to_waiter(cell);
}

ZEQ_EXPORT int qiv_exported_trysync(const volatile void *address)
{
    thread_record *rec = get_thread_record();
    if (!rec)
        return 0;
    return take_free_cell(&sync_table[sync_hash(address)], rec) ? 1 : 0;
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
