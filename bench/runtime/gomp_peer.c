/* The peer of the fork-join benchmark: an empty parallel region on GCC's
 * OpenMP runtime.  The body is an empty asm statement so that the compiler
 * keeps the region. */
#include <omp.h>

void gomp_empty_region(void)
{
#pragma omp parallel
    {
        __asm__ volatile("");
    }
}

int gomp_threads(void)
{
    return omp_get_max_threads();
}
