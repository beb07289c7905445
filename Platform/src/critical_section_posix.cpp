// Recursive critical section: a recursive pthread mutex kept inside the
// caller's record, so that a record carries its lock without a separate handle.
#include "platform.h"

#include <new>
#include <pthread.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(platform_critical_section), "mutex must fit its storage");

static pthread_mutex_t *as_mutex(platform_critical_section *cs)
{
    return reinterpret_cast<pthread_mutex_t *>(cs->storage);
}

extern "C" void platform_critical_section_init(platform_critical_section *cs)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (cs->storage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

extern "C" void platform_critical_section_enter(platform_critical_section *cs)
{
    pthread_mutex_lock(as_mutex(cs));
}

extern "C" void platform_critical_section_leave(platform_critical_section *cs)
{
    pthread_mutex_unlock(as_mutex(cs));
}

extern "C" void platform_critical_section_delete(platform_critical_section *cs)
{
    pthread_mutex_destroy(as_mutex(cs));
}
