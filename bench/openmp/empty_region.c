/* The timed program: N empty parallel regions back to back.  The same source
 * is built three times, for this runtime, for LLVM's OpenMP runtime and for
 * GCC's libgomp, because the three cannot share one process.  It prints the
 * mean time per region in nanoseconds. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

/* An empty statement the optimisers may not delete: both compilers remove a
 * region whose body has no effect, fork call and all. */
#define KEEP_REGION() __asm__ volatile("")

static double now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

int main(int argc, char **argv)
{
    long regions = argc > 1 ? atol(argv[1]) : 10000;
    /* Warm up: every runtime starts its threads on the first region. */
    for (int i = 0; i < 1000; ++i) {
#pragma omp parallel
        {
            KEEP_REGION();
        }
    }
    double start = now_ns();
    for (long i = 0; i < regions; ++i) {
#pragma omp parallel
        {
            KEEP_REGION();
        }
    }
    double elapsed = now_ns() - start;
    printf("%.3f\n", elapsed / (double)regions);
    return 0;
}
