// Time sources: the processor's time-stamp counter and the monotonic clock.
#include "platform.h"

#include <time.h>
#include <x86intrin.h>

extern "C" uint64_t platform_timestamp(void)
{
    return __rdtsc();
}

extern "C" uint64_t platform_monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000ull + (uint64_t)now.tv_nsec;
}

extern "C" uint64_t platform_monotonic_ms(void)
{
    return platform_monotonic_ns() / 1000000ull;
}
