/* Exits while pool threads are busy: two members of a detached region block
 * for good (as service threads do) and a third spins in a long computation.
 * The process must end promptly all the same. */
#include <zeq_runtime.h>

#include <stdio.h>

static volatile int release_never;
static volatile int started;

QIV_REGION_OPENER static void start_blocked_members(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 4, QIV_LIMIT_TIGHT(0));
    qiv_exported_pid();
    if (qiv_exported_pix() != 0) {
        __atomic_add_fetch(&started, 1, __ATOMIC_SEQ_CST);
        if (qiv_exported_pix() == 3)
            for (volatile unsigned long i = 0; i < 4000000000ul; i = i + 1) {
            }
        while (!release_never)
            qiv_exported_wait(0, 0);
    }
    qiv_region_end_detached(self);
}

int main(void)
{
    start_blocked_members();
    while (__atomic_load_n(&started, __ATOMIC_SEQ_CST) != 3) {
    }
    puts("exiting with busy workers");
    return 0;
}
