// The pool's set-up and shutdown, and the per-thread record.
//
// library.cpp calls these from the ELF constructor and destructor.  The
// destructor runs both at process exit and at dlclose, and the two need
// different endings: at exit nothing may wait for threads that could be busy,
// while an unload must not leave any worker running code that is about to be
// unmapped.  They are told apart by an atexit handler of this library: dlclose
// runs a library's atexit handlers only after its destructors, while exit()
// runs every handler registered after the program's start before any
// destructor.  A library loaded with the program is set up before the start
// registers the destructors' own handler, so the handler is registered a
// second time when the first thread other than a pool worker gets its record,
// which is after the start for any ordinary program.  Should a program exit
// with the flag still unset, the unload path waits for busy workers only for a
// bounded time, so exit can be late but never hangs.
//
// Records of ended threads are kept for reuse rather than freed.  Another
// thread may still be signalling a record's event just after the record's
// thread went on and ended (the member that finished a region, the slot that
// finished a request): on a kept record that is only a spurious wake-up, which
// every waiter allows for, where a freed one would be written after free.
// They are freed when the library is unloaded.
//
// After shutdown the thread-local slot stays allocated until the very end, so
// that the device teardown (which sleeps in timed waits on its own record) gets
// a record lazily without setting up a new pool.
#include "runtime.h"

#include <stdlib.h>

extern "C" void *__dso_handle;
extern "C" int __cxa_atexit(void (*handler)(void *), void *argument, void *library);

pool_state pool = {0, 1, 0, 0, 0, {}, {}, nullptr, spin_lock_free};

namespace {

enum pool_phase_value : int32_t {
    phase_unset = 0,   // no slot, no semaphores, no workers
    phase_running = 1, // set up; lookups make records on first use
    phase_closed = 2,  // shut down; records are still made, the pool is not re-created
};

platform_tls tls_slot;
volatile int32_t pool_phase = phase_unset;
spin_lock_word setup_lock = spin_lock_free; // guards pool_phase changes and the slot's allocation
volatile int32_t process_exiting = 0;
volatile int32_t exit_hook_late = 0;
__thread int32_t is_pool_worker __attribute__((tls_model("initial-exec")));
// The calling thread's record, the same value as its entry in tls_slot, so
// that a lookup is one load instead of a library call.  Initial-exec suits a
// library loaded with the program (its static TLS block is reserved at start);
// one loaded later takes its few bytes from the surplus the loader keeps.  The
// slot stays the source of truth for the thread-exit destructor; both are set
// and cleared together in make_record and release_record, on the thread itself.
__thread thread_record *cached_record __attribute__((tls_model("initial-exec")));

// Registers mark_process_exiting as this library's own handler: what atexit()
// in a library does, spelled out, since an interposer may drop the tie to the
// library (ThreadSanitizer's atexit keeps every handler for the process's
// exit, and would call this one after an unload unmapped it).
void arm_exit_hook(void);

// Kept records, linked through wait_prev (a kept record is in no waiter ring).
thread_record *spare_records = nullptr;
spin_lock_word spare_lock = spin_lock_free; // guards spare_records

void keep_spare_record(thread_record *rec)
{
    spin_lock_acquire(&spare_lock);
    rec->wait_prev = spare_records;
    spare_records = rec;
    spin_lock_release(&spare_lock);
}

// A kept record, as good as new (its lock stays initialised), or null.
thread_record *take_spare_record(void)
{
    spin_lock_acquire(&spare_lock);
    thread_record *rec = spare_records;
    if (rec)
        spare_records = rec->wait_prev;
    spin_lock_release(&spare_lock);
    if (rec) {
        rec->current_region = nullptr;
        rec->wait_prev = nullptr;
        rec->rest_region = nullptr;
        rec->wait_next = nullptr;
        __atomic_store_n(&rec->wake_event.signalled, 0, __ATOMIC_RELAXED);
    }
    return rec;
}

void free_spare_records(void)
{
    while (thread_record *rec = take_spare_record()) {
        platform_critical_section_delete(&rec->region_lock);
        platform_free(rec);
    }
}

void thread_exit_destructor(void *value)
{
    release_record(static_cast<thread_record *>(value));
}

thread_record *make_record(void)
{
    int32_t expected = 0;
    if (!is_pool_worker && __atomic_compare_exchange_n(&exit_hook_late, &expected, 1, false, __ATOMIC_SEQ_CST,
                                                       __ATOMIC_SEQ_CST))
        arm_exit_hook();
    thread_record *rec = take_spare_record();
    if (!rec) {
        rec = static_cast<thread_record *>(platform_alloc_zeroed(sizeof(thread_record)));
        if (!rec)
            return nullptr;
        platform_critical_section_init(&rec->region_lock);
    }
    if (platform_tls_set(tls_slot, rec) != 0) {
        keep_spare_record(rec);
        return nullptr;
    }
    cached_record = rec;
    return rec;
}

void mark_process_exiting(void *)
{
    process_exiting = 1;
}

void arm_exit_hook(void)
{
    __cxa_atexit(mark_process_exiting, nullptr, &__dso_handle);
}

} // namespace

void mark_pool_worker(void)
{
    is_pool_worker = 1;
}

int attach_pool(void)
{
    arm_exit_hook();
    return init_pool();
}

int process_is_exiting(void)
{
    return process_exiting;
}

void release_pool_after_unload(void)
{
    // Idle workers leave at once; a worker still inside a job is waited for,
    // within reason.  If one does not come back, the slot stays allocated, so
    // that no thread-exit destructor points into freed storage.
    if (join_workers(unload_wait_ms) != 0)
        return;
    thread_record *rec = static_cast<thread_record *>(platform_tls_get(tls_slot));
    if (rec)
        release_record(rec);
    platform_tls_free(tls_slot);
    free_spare_records();
    pool_phase = phase_unset;
}

int init_pool(void)
{
    spin_lock_acquire(&setup_lock);
    int result = 0;
    if (pool_phase == phase_unset) {
        if (platform_tls_alloc(&tls_slot, thread_exit_destructor) != 0) {
            result = -1;
        } else {
            platform_semaphore_init(&pool.park_semaphore, 0, semaphore_count_max);
            platform_semaphore_init(&pool.job_semaphore, 0, semaphore_count_max);
            pool.park_semaphore.spin = 0; // parked workers have nothing to hurry for
            pool.pool_size = platform_processor_count();
            // The lock table is zero in static storage when the library is mapped,
            // and the pool is never set up twice in one mapping.
            __atomic_store_n(&pool_phase, phase_running, __ATOMIC_RELEASE);
            intptr_t i = 1;
            while (i < pool.pool_size && add_worker() == 0)
                ++i;
            // The workers just started read the size as they loop.
            __atomic_store_n(&pool.pool_size, i, __ATOMIC_RELAXED);
        }
    }
    spin_lock_release(&setup_lock);
    return result;
}

thread_record *get_thread_record(void)
{
    if (thread_record *rec = cached_record)
        return rec;
    if (__atomic_load_n(&pool_phase, __ATOMIC_ACQUIRE) == phase_unset) {
        if (init_pool() != 0)
            return nullptr;
    } else {
        thread_record *rec = static_cast<thread_record *>(platform_tls_get(tls_slot));
        if (rec)
            return rec;
    }
    thread_record *rec = static_cast<thread_record *>(platform_tls_get(tls_slot));
    return rec ? rec : make_record();
}

int release_record(thread_record *rec)
{
    if (!rec || rec->current_region)
        return -1;
    platform_tls_set(tls_slot, nullptr);
    cached_record = nullptr;
    keep_spare_record(rec);
    return 0;
}

int shutdown_pool(void)
{
    if (pool_phase != phase_running)
        return -1;
    thread_record *rec = static_cast<thread_record *>(platform_tls_get(tls_slot));
    if (rec && release_record(rec) != 0)
        return -1; // inside a region: the pool keeps running
    // Running workers read shutdown_count and lower live_workers as they leave.
    intptr_t live = __atomic_load_n(&pool.live_workers, __ATOMIC_SEQ_CST);
    __atomic_store_n(&pool.shutdown_count, live, __ATOMIC_SEQ_CST);
    platform_semaphore_release(&pool.park_semaphore, (int32_t)live);
    platform_semaphore_release(&pool.job_semaphore, (int32_t)live);
    platform_thread_yield();
    // The semaphores are plain words in static storage: they stay valid for any
    // worker still on its way out, so there is nothing to close here.
    __atomic_store_n(&pool_phase, phase_closed, __ATOMIC_RELEASE);
    return 0;
}
