// Threads, the thread-local slot, yielding, sleeping and processor count on
// POSIX threads.
//
// Threads are started joinable so that a library being unloaded can wait until
// none of its threads runs its code any more; callers that do not care detach.
#include "platform.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "pthread_t must fit the handle word");
static_assert(sizeof(pthread_key_t) <= sizeof(uint32_t), "pthread_key_t must fit the key word");

namespace {

struct start_block {
    platform_thread_routine routine;
    void *arg;
};

void *thread_trampoline(void *raw)
{
    start_block block = *static_cast<start_block *>(raw);
    free(raw);
    block.routine(block.arg);
    return nullptr;
}

} // namespace

extern "C" int platform_thread_start(platform_thread *thread, platform_thread_routine routine, void *arg)
{
    start_block *block = static_cast<start_block *>(malloc(sizeof(start_block)));
    if (!block)
        return -1;
    block->routine = routine;
    block->arg = arg;
    pthread_t id;
    if (pthread_create(&id, nullptr, thread_trampoline, block) != 0) {
        free(block);
        return -1;
    }
    thread->handle = (uintptr_t)id;
    return 0;
}

extern "C" int platform_thread_join(platform_thread thread)
{
    return pthread_join((pthread_t)thread.handle, nullptr) == 0 ? 0 : -1;
}

extern "C" int platform_thread_timed_join(platform_thread thread, uint32_t timeout_ms)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np((pthread_t)thread.handle, nullptr, &until) == 0 ? 0 : -1;
}

extern "C" void platform_thread_detach(platform_thread thread)
{
    pthread_detach((pthread_t)thread.handle);
}

extern "C" void platform_thread_yield(void)
{
    sched_yield();
}

extern "C" void platform_sleep_ms(uint32_t ms)
{
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

extern "C" int platform_processor_count(void)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int)n : 1;
}

// initial-exec: one load from the thread pointer, and no allocation on first
// use, which matters because the context capture calls this on every region.
static __thread uintptr_t cached_stack_base __attribute__((tls_model("initial-exec")));

extern "C" uintptr_t platform_stack_base(void)
{
    uintptr_t base = cached_stack_base;
    if (base)
        return base;
    pthread_attr_t attr;
    void *low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
    }
    // Without an answer, no clamp: the caller's limit stands.
    base = low ? (uintptr_t)low + size : UINTPTR_MAX;
    cached_stack_base = base;
    return base;
}

extern "C" uintptr_t platform_thread_id(void)
{
    return (uintptr_t)pthread_self();
}

extern "C" int platform_tls_alloc(platform_tls *slot, void (*destructor)(void *value))
{
    pthread_key_t key;
    if (pthread_key_create(&key, destructor) != 0)
        return -1;
    slot->key = (uint32_t)key;
    return 0;
}

extern "C" void *platform_tls_get(platform_tls slot)
{
    return pthread_getspecific((pthread_key_t)slot.key);
}

extern "C" int platform_tls_set(platform_tls slot, void *value)
{
    return pthread_setspecific((pthread_key_t)slot.key, value) == 0 ? 0 : -1;
}

extern "C" void platform_tls_free(platform_tls slot)
{
    pthread_key_delete((pthread_key_t)slot.key);
}

extern "C" void *platform_alloc_zeroed(size_t size)
{
    return calloc(1, size);
}

extern "C" void platform_free(void *block)
{
    free(block);
}
