// The runtime's internal records and process-wide state, shared by the files of
// libZeq.  Records keep the field order of the library's interface; the i386
// flavour asserts the sizes that compiled code relies on word for word.
#ifndef ZEQ_RUNTIME_H
#define ZEQ_RUNTIME_H

#include <zeq_runtime.h>
#include "platform.h"
#include "spin_lock.h"

#include <stddef.h>
#include <stdint.h>

#define ZEQ_EXPORT extern "C" __attribute__((visibility("default")))

// One per thread that calls the runtime, made by that thread on first use.  Its
// address is the thread's identity (pid).
struct thread_record {
    qiv_parallel_region *volatile current_region; // innermost region this thread runs in
    platform_critical_section region_lock;       // default lock of regions this thread owns
    platform_event wake_event;                   // auto-reset; set by others, waited on by the owner
    thread_record *wait_prev;                    // sync waiter ring, under the cell's spin lock
    thread_record *volatile wait_next;           // sync waiter ring; else the pushed OpenMP thread-count word
    // A narrowed range for this thread's own share: after a coload call
    // whose devices computed part of it, the host's loop over n items in
    // rest_region covers [rest_start, rest_end) alone.  Set by the call,
    // cleared by the next call and once both ends were asked (rest_asked
    // bits 1 and 2).
    qiv_parallel_region *rest_region;
    intptr_t rest_n;
    intptr_t rest_start;
    intptr_t rest_end;
    intptr_t rest_asked;
};
static_assert(offsetof(thread_record, current_region) == 0, "compiled code writes the first word");

static_assert(sizeof(qiv_exec_context) == 12 * sizeof(void *), "ExecContext is twelve words");
static_assert(sizeof(qiv_parallel_region) == 33 * sizeof(void *), "ParallelRegion is 33 words");
static_assert(offsetof(qiv_parallel_region, context) == 13 * sizeof(void *), "context starts at word 14");
static_assert(offsetof(qiv_exec_context, saved) == 4 * sizeof(void *), "registers start at word 5");
static_assert(offsetof(qiv_exec_context, stack_pointer) == 10 * sizeof(void *), "stack pointer is word 11");
#if defined(__i386__)
static_assert(sizeof(qiv_parallel_region) == 132, "i386 ParallelRegion is 132 bytes");
static_assert(sizeof(qiv_exec_context) == 48, "i386 ExecContext is 48 bytes");
#endif

// ---- pool state (pool.cpp, lifecycle.cpp) -----------------------------------

// The semaphores' maximum count, which no number of releases reaches.
const int32_t semaphore_count_max = 0x7FFFFFFF;

struct pool_state {
    volatile intptr_t pool_size;      // threads allowed in the active phase; default member count
    volatile intptr_t active_count;   // threads in the active phase (the loading thread counts)
    volatile intptr_t parked_count;   // workers parked on park_semaphore, less pid releases
    volatile intptr_t live_workers;   // workers created and not yet finished
    volatile intptr_t shutdown_count; // 0 while running; workers still to leave after shutdown
    platform_semaphore park_semaphore;
    platform_semaphore job_semaphore;
    qiv_parallel_region *volatile job_list; // newest region first, under job_lock
    // Guards job_list and every listed region's unclaimed count: pickers and
    // device slots claim members under it.
    spin_lock_word job_lock;
};
extern pool_state pool;

// The calling thread's record, made on first use; null if none can be made.
thread_record *get_thread_record(void);
// Frees the record if the thread is outside every region: 0, else -1 (kept).
int release_record(thread_record *rec);
int add_worker(void);
void worker_main(void *ignored);
int init_pool(void);
int shutdown_pool(void);
// Library load: arms the exit hook and sets the pool up (0, or -1).
int attach_pool(void);
// Nonzero once exit() has begun: the unload is the process's end.
int process_is_exiting(void);
// After an unload's shutdown_pool and device teardown: joins the workers and
// frees the thread-local slot and the kept records, unless a worker stays busy.
void release_pool_after_unload(void);
// Waits up to timeout_ms for every worker thread to have left the library's
// code; returns the number still running then (0: all joined).
int join_workers(uint32_t timeout_ms);
// Runs the next unclaimed member of the listed region home on this thread:
// 1, or 0 when it has none left to hand out.  Unlike helping, it never runs
// another region's member, which may not end soon (a monitor's, say).
int pick_member_of(qiv_parallel_region *home);
// Runs member `index` of home (1 .. count-1) on this thread once more: a
// member that a device or an agent claimed and failed.  The caller is the
// region's runner, inside a coload call of it.  1 when it ran.
int run_member_again(qiv_parallel_region *home, intptr_t index);
// Marks the calling thread as a pool worker (its records do not arm the exit hook).
void mark_pool_worker(void);

static inline void job_lock_acquire(void)
{
    spin_lock_acquire(&pool.job_lock);
}

static inline void job_lock_release(void)
{
    spin_lock_release(&pool.job_lock);
}

// ---- work ranges (identity.cpp and the offload part) ---------------------------

// Member `index` of `count` over n items: the owner (index 0) takes the
// remainder, every other member n / count items.  The one definition of the
// split that qiv_exported_range_start/_end answer with and that the remote
// client's shares must reproduce.
static inline void work_range(intptr_t n, intptr_t index, intptr_t count, intptr_t *start, intptr_t *end)
{
    intptr_t q = n / count, m = n % count;
    *start = index == 0 ? 0 : index * q + m;
    *end = index == 0 ? q + m : (index + 1) * q + m;
}

// The calling thread's own share of n items in region: its work range, or
// the rest a coload call left it (thread_record.rest_*).  asked is 1 for the
// start, 2 for the end.
void own_range(qiv_parallel_region *region, intptr_t n, intptr_t asked, intptr_t *start, intptr_t *end);

// ---- address-keyed locks (sync.cpp) ------------------------------------------

// One cell of the lock table.  waiter_ring and the waiters' links are under
// spin_lock; contenders changes only atomically (a free cell is taken, and an
// unqueued one freed, by one compare-exchange without the spin lock); depth
// and owner are written only by the owner or by the unsync handing it the cell.
struct sync_cell {
    volatile intptr_t depth;      // how often the owner has taken the lock without releasing it
    spin_lock_word spin_lock;     // guards the cell; handed over, still held, to the next owner
    volatile intptr_t contenders; // the owner plus its queued waiters; 0 when the lock is free
    thread_record *waiter_ring;   // the oldest waiter, or null; the ring runs through wait_next
    thread_record *owner;         // the thread that holds the lock, or null
};
static_assert(sizeof(sync_cell) == 5 * sizeof(void *), "SyncCell is five words");
#if defined(__i386__)
static_assert(sizeof(sync_cell) == 20, "i386 SyncCell is 20 bytes");
#endif

enum : uint32_t { sync_table_cells = 65536 }; // a power of two: the hash masks with it
extern sync_cell sync_table[sync_table_cells];

static inline uint32_t sync_hash(const volatile void *address)
{
    return (((uint32_t)(uintptr_t)address * 127u) >> 8) & (sync_table_cells - 1u);
}

// How long an unload waits for a pool worker, or a device slot's service
// thread, that is still busy: past it the thread is left running and what it
// may touch stays allocated, rather than hanging the unload for ever.
const uint32_t unload_wait_ms = 10000;

// ---- devices (the offload part of the library) ------------------------------

// Load-time device set-up and unload-time teardown; teardown waits for the
// service threads in 100 ms steps, at most unload_wait_ms in all, unless the
// process is exiting.
void devices_attach(void);
void devices_detach(int process_exiting);

#endif
