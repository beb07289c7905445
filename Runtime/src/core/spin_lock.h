// The runtime's one busy-waiting lock.
//
// Contract: a spin lock is one machine word, 0 free and 1 held.  Acquiring is
// one compare-exchange when the lock is free (acquire order), then polling
// with a pause and plain loads until it is.  Releasing is a plain store of 0 (release order).
// Any thread may release a held lock, not only the one that took it: sync
// hands a held cell over to the waiter it wakes, and that waiter releases it
// once it runs.  There is no owner, no recursion and no fairness; holders keep
// the lock for a few instructions (list links, counters) and never sleep or
// wait for another thread while they hold it, so polling beats sleeping.  The
// one exception is the pool's set-up lock, held once per mapping while the
// first workers are started; whoever polls on it then waits only for that.
//
// A word rather than a mutex because locks live inside records whose layout
// is fixed (SyncCell) and in static storage that is valid before any
// constructor runs, and because the hand-over above is not allowed on a mutex.
#ifndef ZEQ_SPIN_LOCK_H
#define ZEQ_SPIN_LOCK_H

#include <stdint.h>

typedef volatile intptr_t spin_lock_word;

enum : intptr_t {
    spin_lock_free = 0,
    spin_lock_held = 1,
};

static inline void spin_lock_acquire(spin_lock_word *lock)
{
    // Polling with plain loads keeps the line shared while the holder works on
    // it; a compare-exchange per poll would take it away from the holder each time.
    intptr_t expected = spin_lock_free;
    while (!__atomic_compare_exchange_n(lock, &expected, spin_lock_held, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        do
            __builtin_ia32_pause();
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != spin_lock_free);
        expected = spin_lock_free;
    }
}

static inline void spin_lock_release(spin_lock_word *lock)
{
    __atomic_store_n(lock, spin_lock_free, __ATOMIC_RELEASE);
}

#endif
