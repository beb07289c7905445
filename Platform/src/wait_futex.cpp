// Counting semaphore and auto-reset event on Linux futexes.
//
// Both are plain words that need no creation or closing, so they can live in
// static storage or inside a record and can never be "waited on after close".
// A sleeper announces itself in `sleepers` before it sleeps; the waking side
// changes the state word first and then looks at `sleepers`.  With sequentially
// consistent atomics either the waker sees the sleeper or the sleeper's futex
// wait sees the new state and returns at once, so no wake-up is lost.
// The semaphore polls briefly before it sleeps: a fork-join region usually hands
// out its next job within microseconds, far sooner than a futex wake-up takes.
#include "platform.h"

#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

int futex_wait(volatile int32_t *word, int32_t expected, const struct timespec *relative)
{
    return (int)syscall(SYS_futex, (int32_t *)word, FUTEX_WAIT_PRIVATE, expected, relative, nullptr, 0);
}

void futex_wake(volatile int32_t *word, int32_t count)
{
    syscall(SYS_futex, (int32_t *)word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

bool take_one(volatile int32_t *count)
{
    int32_t c = __atomic_load_n(count, __ATOMIC_SEQ_CST);
    while (c > 0) {
        if (__atomic_compare_exchange_n(count, &c, c - 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return true;
    }
    return false;
}

bool consume_signal(volatile int32_t *signalled)
{
    int32_t expected = 1;
    return __atomic_compare_exchange_n(signalled, &expected, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

} // namespace

extern "C" void platform_semaphore_init(platform_semaphore *sem, int32_t initial, int32_t maximum)
{
    sem->count = initial;
    sem->sleepers = 0;
    sem->maximum = maximum;
    sem->spin = platform_spin_polls;
}

extern "C" int platform_semaphore_release(platform_semaphore *sem, int32_t n)
{
    if (n < 1)
        return 0;
    int32_t c = __atomic_load_n(&sem->count, __ATOMIC_SEQ_CST);
    do {
        if (c > sem->maximum - n)
            return 0;
    } while (!__atomic_compare_exchange_n(&sem->count, &c, c + n, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    if (__atomic_load_n(&sem->sleepers, __ATOMIC_SEQ_CST) > 0)
        futex_wake(&sem->count, n);
    return 1;
}

extern "C" void platform_semaphore_wait(platform_semaphore *sem)
{
    for (int32_t i = 0; i < sem->spin; ++i) {
        if (__atomic_load_n(&sem->count, __ATOMIC_RELAXED) > 0 && take_one(&sem->count))
            return;
        __builtin_ia32_pause();
    }
    for (;;) {
        if (take_one(&sem->count))
            return;
        __atomic_add_fetch(&sem->sleepers, 1, __ATOMIC_SEQ_CST);
        futex_wait(&sem->count, 0, nullptr);
        __atomic_sub_fetch(&sem->sleepers, 1, __ATOMIC_SEQ_CST);
    }
}

extern "C" int platform_event_set(platform_event *event)
{
    if (__atomic_exchange_n(&event->signalled, 1, __ATOMIC_SEQ_CST) == 0 &&
        __atomic_load_n(&event->sleepers, __ATOMIC_SEQ_CST) > 0)
        futex_wake(&event->signalled, 1);
    return 1;
}

extern "C" void platform_event_wait(platform_event *event)
{
    for (;;) {
        if (consume_signal(&event->signalled))
            return;
        __atomic_add_fetch(&event->sleepers, 1, __ATOMIC_SEQ_CST);
        futex_wait(&event->signalled, 0, nullptr);
        __atomic_sub_fetch(&event->sleepers, 1, __ATOMIC_SEQ_CST);
    }
}

extern "C" int platform_event_wait_timeout(platform_event *event, uint32_t timeout_ms)
{
    uint64_t deadline = platform_monotonic_ns() + (uint64_t)timeout_ms * 1000000ull;
    for (;;) {
        if (consume_signal(&event->signalled))
            return 1;
        uint64_t now = platform_monotonic_ns();
        if (now >= deadline)
            return 0;
        uint64_t left = deadline - now;
        struct timespec relative = {(time_t)(left / 1000000000ull), (long)(left % 1000000000ull)};
        __atomic_add_fetch(&event->sleepers, 1, __ATOMIC_SEQ_CST);
        futex_wait(&event->signalled, 0, &relative);
        __atomic_sub_fetch(&event->sleepers, 1, __ATOMIC_SEQ_CST);
    }
}
